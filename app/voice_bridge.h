#pragma once
// The voice threads' shell: what the voice thread and the link thread do with
// the sockets around the conversions. The conversions themselves take bytes
// and state only; here the state comes from the daemon's tables.

#include "hytera/repeater_table.h"
#include "network/link.h"
#include "network/link_state.h"
#include "network/peer_table.h"
#include "voice/dmrd_to_hytera.h"
#include "voice/hytera_to_dmrd.h"
#include "voice/voice_receiver.h"

#include <array>
#include <cstddef>
#include <netinet/in.h>
#include <span>
#include <string_view>

// Body of the voice thread: receives on the repeater voice port until the
// run flag is cleared.
void *audio_hytera_rpt(void *);

// Repeater index 0's destination, copied out of the table so the conversion
// reads no field while another thread writes it. `firmware` and `address`
// point into `copy`.
struct hytera_target_copy {
    repeater_entry copy;
    hytera_target target;
};
void repeater_target_of(const repeater_entry &slot0, hytera_target_copy &out);

// The peer slots, copied once per frame; the views handed to the conversion
// point into the copies.
struct peer_snapshots {
    std::array<peer_entry, MMDVM_PEER_SLOTS> entries;
};
peer_slot_view peer_view_of(const peer_entry &entry);

// Converts one repeater frame for every peer slot and sends each result to
// that peer on the link socket; `peer_key` is the key the frame is meant for.
void SEND_TO_MMDVM(std::span<const std::uint8_t> frame, std::string_view peer_key,
                   std::uint32_t stream_id);

// What the link thread does with one DMRD frame from the peer, received at
// `now_ms` (monotonic): convert it and send the result from the voice socket
// to repeater index 0.
void mmdvm_rx(std::span<const std::uint8_t> frame, std::int64_t now_ms);
// The link thread's tick for the calls towards the repeater: what the
// playout buffer has due, and the watchdog.
void mmdvm_tick(std::int64_t now_ms);

// The master mode, where each repeater has a link of its own: a DMRD frame
// that came in on repeater `index`'s link goes to that repeater alone, with
// call state of its own.
void mmdvm_rx_for(std::size_t index, std::span<const std::uint8_t> frame, std::int64_t now_ms);
// The tick towards every repeater of the master mode.
void mmdvm_tick_all(std::int64_t now_ms);
// Forgets every repeater's network call state, for tests.
void mmdvm_rx_reset_all();

// The voice thread's own state. In the master mode every repeater index has
// its own call and stream state and its own DMRD sequence; the other modes
// send every repeater's voice over the one link, with the one state of index 0.
struct voice_port_state {
    voice_port_state();
    std::array<voice_receiver_state, LINK_SLOTS> receivers;
    std::array<peer_sequence, LINK_SLOTS> sequences{};
    source_drop_log strangers;
};

// What the voice thread does with one received datagram, given its sender and
// the wall time `now` and the monotonic `now_ms`. Senders outside
// Hytera_RPT_allow get nothing. Voice frames are taken only from the address
// and port a repeater registered for voice:
// from anyone else they would go out to the network as calls, and would move
// the call state of the repeater's own call. They are dropped, logged at most
// once a minute a source.
void voice_port_datagram(std::span<const std::uint8_t> datagram, const sockaddr_in &from,
                         voice_port_state &state, std::time_t now, std::int64_t now_ms);
// The voice thread's watchdog tick for the repeater's calls.
void voice_port_tick(voice_port_state &state, std::int64_t now_ms);
