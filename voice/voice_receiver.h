#pragma once
// What the voice thread does with one datagram from the voice port. The thread
// itself only receives, calls this, and acts on the answer.

#include "voice/hytera_frame.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

struct voice_receiver_state {
    std::size_t time_slot = 0; // 0 TS1, 1 TS2
    std::array<bool, 2> stream_open{};
    std::array<std::uint32_t, 2> stream_id{};
};

enum class voice_action {
    ignore,              // wrong length, or a frame filtered out
    answer_registration, // record the sender, send REGISTRATION_ANSWER back to it
    forward,             // convert the frame with `stream_id`
};

struct voice_reaction {
    voice_action action;
    std::uint32_t stream_id;
};

// A source of random numbers like std::rand; tests pass a fixed sequence.
using voice_random = int (*)();

inline constexpr std::uint32_t VOICE_DESTINATION_MAX = 9999999;

voice_reaction voice_receive(std::span<const std::uint8_t> datagram, voice_receiver_state &state,
                             voice_random random);

// Printed once when the voice thread starts.
void voice_receiver_banner();
