#pragma once
// What the voice thread does with one datagram from the voice port. The thread
// itself only receives, calls this, and acts on the answer.

#include "voice/call_decoder.h"
#include "voice/call_log.h"
#include "voice/hytera_frame.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

struct voice_receiver_state {
    std::size_t time_slot = 0; // 0 TS1, 1 TS2
    std::array<bool, 2> stream_open{};
    std::array<std::uint32_t, 2> stream_id{};
    // The repeater's voice call on each slot, for the log, the call record and
    // the watchdog.
    std::array<slot_call, 2> calls{};
    std::array<call_decoder, 2> decoders{};
    // The repeater index whose calls these are, for the log and the record.
    std::uint8_t repeater = 0;
};

enum class voice_action {
    ignore,              // wrong length, or a frame filtered out
    answer_registration, // record the sender, send REGISTRATION_ANSWER back to it
    forward,             // convert the frame with `stream_id`
};

struct voice_reaction {
    voice_action action;
    std::uint32_t stream_id;
    // A talker alias block (DMRA) or position (DMRG) the frame completed, for
    // the peers that know them, sent after it; 0 bytes: none.
    std::size_t network_lc_length = 0;
    std::array<std::uint8_t, NETWORK_LC_MESSAGE_MAX> network_lc{};
};

// A source of random numbers like std::rand; tests pass a fixed sequence.
using voice_random = int (*)();

inline constexpr std::uint32_t VOICE_DESTINATION_MAX = 9999999;

// `now_ms` is any monotonic clock in milliseconds.
voice_reaction voice_receive(std::span<const std::uint8_t> datagram, voice_receiver_state &state,
                             voice_random random, std::int64_t now_ms);

// A repeater call the watchdog ended: the terminator the repeater never sent,
// as a repeater frame to convert and send with the call's stream ID.
struct voice_watchdog_end {
    hytera_frame::Frame terminator;
    std::uint32_t stream_id;
};
// The watchdog, run at least every 100 ms: ends every repeater call that has
// had no frame for CALL_WATCHDOG_MS and clears its slot's stream, so the next
// call draws a new stream ID. Returns how many entries of `out` it filled.
std::size_t voice_tick(voice_receiver_state &state, std::int64_t now_ms,
                       std::array<voice_watchdog_end, 2> &out);

// Printed once when the voice thread starts.
void voice_receiver_banner();
