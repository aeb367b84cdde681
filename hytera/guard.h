#pragma once
// Who may speak on the three repeater ports. With an allow-list configured, a
// datagram from any other address is not answered and changes nothing; the
// refusal is logged at most once a minute per address, with the count of
// datagrams refused from it in between. The guard is shared by the control,
// voice and RDAC threads.

#include "core/ipv4_allow.h"
#include "core/rate_limit.h"

#include <ctime>
#include <mutex>
#include <netinet/in.h>

class repeater_guard {
  public:
    explicit repeater_guard(const ipv4_allow_list &allow) : allow_(allow) {}

    // `port` names the port in the log line ("control", "voice", "RDAC");
    // `now` is the same clock for every caller (the daemon uses wall time).
    bool admits(const sockaddr_in &from, const char *port, std::time_t now);

  private:
    const ipv4_allow_list &allow_;
    std::mutex mutex_;
    rate_limiter<64> refusal_lines_{1, 60000};
};

// The daemon's guard, over the configured Hytera_RPT_allow.
extern repeater_guard Hytera_RPT_guard;
