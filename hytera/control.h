#pragma once
// The repeaters' control port: announcements, port queries and keep-alives.

#include "hytera/guard.h"
#include "hytera/outbox.h"
#include "hytera/repeater_table.h"

#include <array>
#include <cstdint>
#include <ctime>
#include <span>

inline constexpr std::size_t CONTROL_RECEIVE_SIZE = 224;
inline constexpr std::size_t SERVICE_REQUEST_LENGTH = 24;
inline constexpr std::size_t KEEP_ALIVE_LENGTH = 20;
inline constexpr std::size_t SERVICE_SEQUENCE_OFFSET = 12;
inline constexpr std::size_t SERVICE_CODE_OFFSET = 20;
inline constexpr std::uint8_t SERVICE_ANNOUNCE = 0x10;
inline constexpr std::uint8_t SERVICE_VOICE_PORT = 0x11;
inline constexpr std::uint8_t SERVICE_RDAC_PORT = 0x12;

// Reply templates; the bytes the handler patches are overwritten per reply.
extern const std::array<std::uint8_t, 25> a24;
extern const std::array<std::uint8_t, 28> ret28;
extern const std::array<std::uint8_t, 20> ret20zzzz;

struct control_ports {
    std::uint16_t voice;
    std::uint16_t rdac;
};

// Reaction to one received control datagram: table updates, and every reply
// (plus the identity requests of a new registration) in `box`, in send order.
// A sender the guard refuses, or one the full table cannot take, gets nothing.
void control_react(repeater_table &table, repeater_guard &guard,
                   std::span<const std::uint8_t> datagram, const sockaddr_in &from,
                   const control_ports &ports, std::time_t now, outbox &box);
