#pragma once
// The master mode's links, one per repeater index: link i speaks for whatever
// identified repeater holds index i, from a local port of its own. The links
// live in fixed storage and are driven by one thread; the caller owns the
// sockets and only ticks a link whose socket is open.

#include "network/master_link.h"

#include <array>
#include <cstddef>
#include <optional>

class master_links {
  public:
    static_assert(LINK_SLOTS == REPEATER_SLOTS);

    master_links(const sockaddr_in &peer, const repeater_table &repeaters, const char *password,
                 const char *options);

    link_output receive(std::size_t index, std::span<const std::uint8_t> datagram,
                        const sockaddr_in &from, const link_clock &now);
    // A link whose repeater carries the ID another link already serves is
    // held back: two logins of one ID would keep ending each other at the
    // master. It starts once the other link lets the ID go.
    link_output tick(std::size_t index, const link_clock &now);
    link_output close(std::size_t index, const link_clock &now);

    const master_link &link(std::size_t index) const { return *links_[index]; }
    // The master's address for every link's next login.
    void set_peer(const sockaddr_in &peer);
    // Some link is between logins: a fresh look at the master's name is due.
    bool any_between_logins() const;

  private:
    // True when a link other than `index` is logging in or up under `id`.
    bool id_served_elsewhere(std::size_t index, std::uint32_t id) const;

    const repeater_table &repeaters_;
    std::array<std::optional<master_link>, LINK_SLOTS> links_;
    std::array<std::uint32_t, LINK_SLOTS> held_id_{}; // the ID last held back, for one line
};
