#pragma once
// The link's peer given by host name: every public master is published by
// name, and the address behind it changes. The name is looked up at start and
// again before the logins that follow, never on the voice path; a name that
// does not resolve (at boot the resolver may come up after the daemon) is
// tried again at the login's pace, each failure one log line.
//
// Plain logic: the resolver and the clock are handed in, so tests set both.

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

// Looks `host` up (IPv4). True with the address in `address`, else false with
// the resolver's reason in `reason` (NUL-terminated, cut to `reason_size`).
using resolve_function = bool (*)(const char *host, in_addr &address, char *reason,
                                  std::size_t reason_size);

class peer_lookup {
  public:
    static constexpr std::int64_t RETRY_MS = 10000; // the login interval

    // `host` must outlive the object.
    peer_lookup(const char *host, resolve_function resolve) : host_(host), resolve_(resolve) {}

    // Looks the name up when it is due: at the first call, every RETRY_MS
    // while it does not resolve, and, when `again` (a login is coming),
    // RETRY_MS after the last look. True when that gave a new address.
    bool step(std::int64_t now_ms, bool again);
    bool resolved() const { return resolved_; }
    in_addr address() const { return address_; }

  private:
    const char *host_;
    resolve_function resolve_;
    bool looked_ = false;
    bool resolved_ = false;
    std::int64_t last_ms_ = 0;
    in_addr address_{};
};
