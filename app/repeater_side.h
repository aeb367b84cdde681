#pragma once
// Repeater-side threads: the supervisor waits 5 s, starts one receiver thread
// per socket (control, voice, RDAC; opened by main) and ticks the online
// supervision once a second.

#include "hytera/online.h"
#include "hytera/repeater_table.h"
#include "network/messages.h"

#include <ctime>
#include <netinet/in.h>

void *Hytera_main(void *);
void *Hytera_RPT_rdac(void *);
void *localHytera_RPT_handler(void *);

// One pass of the online supervision over the daemon's table; a repeater that
// timed out is reported to the network peer with a close message.
void InsertHytera_RPTOnlineTimer();

// One pass of the online supervision over `table`, stamped `now`: for each
// repeater that timed out and whose close is due, the ID its login carried
// goes to `repeater_gone`, in slot order.
template <class Gone> void online_pass(repeater_table &table, std::time_t now, Gone &&repeater_gone) {
    for (std::size_t slot = 0; slot < REPEATER_SLOTS; ++slot) {
        repeater_entry gone{};
        if (online_tick(table, slot, now, gone) && online_close_due(table, gone)) {
            repeater_gone(link_msg::repeater_id(gone.Hytera_RPT_DmrID));
        }
    }
}

// Registers or refreshes on the daemon's table and sends what that queues.
void InsertHytera_RPT(int portKind, sockaddr_in sourceAddress, const char *addressText);
