#pragma once
// What the gateway and master modes of the link share. Each mode is an object
// driven by the datagrams the link receives and by a tick with the time; it
// never touches a socket and returns at most one datagram per call, always
// for the configured peer.

#include "hytera/repeater_table.h"
#include "network/link.h"
#include "network/link_state.h"
#include "network/messages.h"
#include "network/peer_table.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <span>

// The moment of a call into a link.
struct link_clock {
    std::int64_t ms = 0;        // link clock: monotonic milliseconds
    const char *time_text = ""; // wall clock as asctime text, for a new peer record
};

struct link_output {
    std::size_t length = 0; // 0: nothing to send
    std::array<std::uint8_t, link_msg::RPTC_LENGTH> bytes{};
    bool hand_on_dmrd = false; // the received datagram is a DMRD frame for the repeater

    std::span<const std::uint8_t> datagram() const { return {bytes.data(), length}; }
};

// A repeater entry as a link presents it: only an identified repeater is
// announced to the network.
struct link_repeater {
    bool announced = false;
    std::int32_t id = 0;
};
link_repeater link_repeater_of(const repeater_entry &entry);

// "address:port", as the link's log lines name the peer.
void endpoint_text(const sockaddr_in &address, char (&text)[24]);

// Records the peer for the voice path under the repeater's own ID and the
// station description of `entry`, replacing an earlier record of the peer.
void record_link_peer(peer_table &peers, const sockaddr_in &peer, std::int32_t id,
                      const repeater_entry &entry, const char *time_text);

// The record of the peer as record_link_peer would make it, for a link that
// keeps its own instead of a slot in the shared table.
peer_entry link_peer_record(const sockaddr_in &peer, std::int32_t id, const repeater_entry &entry,
                            const char *time_text);

// True when the datagram comes from the configured peer; a stranger is
// logged at most once a minute, naming the mode.
bool from_link_peer(const sockaddr_in &from, const sockaddr_in &peer, link_mode mode,
                    source_drop_log &drops, std::int64_t now_ms);
