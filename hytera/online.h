#pragma once
// Ageing of the repeater table: a repeater silent for its whole life is
// dropped, and the network peer is told with a close message.

#include "hytera/outbox.h"
#include "hytera/repeater_table.h"

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t RPTCL_LENGTH = 9;

// "RPTCL" and the ID, most significant byte first.
std::array<std::uint8_t, RPTCL_LENGTH> build_rptcl(std::uint32_t id);

// The DMR ID text as a number; text that does not start with digits is 0.
std::uint32_t repeater_id_number(const char *text);

// One pass over one slot: ages it, and when its life is over prints the
// time-out line, frees the slot and queues the close message to `peer` on the
// link socket. True when the slot timed out.
bool online_tick(repeater_table &table, std::size_t slot, const sockaddr_in &peer, outbox &box);
