#pragma once
// The RDAC port: a fixed script of requests that walks each repeater through
// reporting its identity. The gateway reacts to each datagram by its length
// alone, after a two-byte header check.

#include "hytera/guard.h"
#include "hytera/outbox.h"
#include "hytera/repeater_table.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>

inline constexpr std::size_t RDAC_RECEIVE_SIZE = 300;
inline constexpr std::size_t RDAC_HEADER_LENGTH = 12;
inline constexpr std::size_t RDAC_IDENTITY_LENGTH = 225;
inline constexpr std::size_t RDAC_RADIO_DATA_LENGTH = 71;

extern const std::array<std::uint8_t, 1> ack;
extern const std::array<std::uint8_t, 12> next1_12;
extern const std::array<std::uint8_t, 12> next2_12;
extern const std::array<std::uint8_t, 25> next2_25;
extern const std::array<std::uint8_t, 12> next3_12;
extern const std::array<std::uint8_t, 25> next3_25;
extern const std::array<std::uint8_t, 25> next4_25;
extern const std::array<std::uint8_t, 12> next4_12;

// Header checksum over `length` bytes, written into bytes 10-11. For an odd
// length the last word is completed with a zero byte (the stored templates
// were made that way), so nothing past the packet is read.
void rdac_checksum(std::uint8_t *packet, int length);

// The generic acknowledgement; it keeps the sequence bytes last written.
struct rdac_state {
    std::array<std::uint8_t, 12> rssi_rdac_ack{0x7E, 0x04, 0x00, 0x10, 0x20, 0x10,
                                               0x00, 0x04, 0x00, 0x0C, 0x61, 0xCB};
};

// Reaction to one received RDAC datagram (a failed receive is not one). A
// sender the guard refuses, or one the full table cannot take, gets nothing;
// identity answers are taken only from the repeater's RDAC address and port.
void rdac_react(repeater_table &table, repeater_guard &guard,
                std::span<const std::uint8_t> datagram, const sockaddr_in &from,
                std::uint16_t rdac_port, rdac_state &state, std::time_t now, outbox &box);

// Store the identity texts of a 225-byte answer, and the DMR ID and
// frequencies of a 71-byte answer, into every entry of the sender's address.
// Texts keep printable ASCII only: they reach the log, and the call sign the
// network. A call sign or DMR ID that differs from the one an identified
// repeater reported before is logged as a change.
void rdac225(repeater_table &table, const char *an_ip,
             std::span<const std::uint8_t, RDAC_IDENTITY_LENGTH> packet);
void rdac71(repeater_table &table, const char *an_ip,
            std::span<const std::uint8_t, RDAC_RADIO_DATA_LENGTH> packet);
