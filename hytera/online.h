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

// Whether the network is to be told that `gone` has left. Not while another
// registered repeater holds the same DMR ID: the close would end that one's
// login, and a stranger that copied a repeater's ID and went quiet could
// otherwise log the real one out while it is on the air. Logs when it holds
// the close back.
bool online_close_due(const repeater_table &table, const repeater_entry &gone);
