#pragma once
// Ageing of the repeater table: a repeater silent for its whole life is
// dropped, and the network peer is told with a close message.

#include "hytera/outbox.h"
#include "hytera/repeater_table.h"

#include <array>
#include <cstddef>
#include <cstdint>

// One pass over one slot: ages it, and when its life is over prints the
// time-out line, frees the slot and queues the close message to `peer` on the
// link socket. True when the slot timed out.
bool online_tick(repeater_table &table, std::size_t slot, const sockaddr_in &peer, outbox &box);
