#pragma once
// Ageing of the repeater table: a repeater silent for its whole life is
// dropped. The caller tells the network peer, with the dropped entry's ID.

#include "hytera/repeater_table.h"

#include <cstddef>
#include <ctime>

// One pass over one slot: ages it, and when its life is over prints the
// time-out line (stamped `now`), frees the slot and copies the entry as it was
// into `gone`. True when the slot timed out.
bool online_tick(repeater_table &table, std::size_t slot, std::time_t now, repeater_entry &gone);
