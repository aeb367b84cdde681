#pragma once
// Repeater-side threads: the supervisor waits 5 s, starts one receiver thread
// per socket (control, voice, RDAC; opened by main) and ticks the online
// supervision once a second.

#include "hytera/online.h"
#include "hytera/repeater_table.h"
#include "network/messages.h"

#include <array>
#include <cstdint>
#include <ctime>
#include <netinet/in.h>
#include <span>

void *Hytera_main(void *);
void *Hytera_RPT_rdac(void *);
void *localHytera_RPT_handler(void *);

// One pass of the online supervision over the daemon's table; a repeater that
// timed out is reported to the network peer with a close message.
void InsertHytera_RPTOnlineTimer();

// One pass of the online supervision over `table`, stamped `now`: each
// repeater that timed out is handed to `send_close(id, bytes)`, in slot order,
// as the close message for the network peer with the ID its login carried.
template <class SendClose>
void online_pass(repeater_table &table, std::time_t now, SendClose &&send_close) {
    for (std::size_t slot = 0; slot < REPEATER_SLOTS; ++slot) {
        repeater_entry gone{};
        if (!online_tick(table, slot, now, gone)) {
            continue;
        }
        const std::int32_t id = link_msg::repeater_id(gone.Hytera_RPT_DmrID);
        std::array<std::uint8_t, link_msg::RPTCL_LENGTH> close{};
        link_msg::build_rptcl(id, close);
        send_close(id, std::span<const std::uint8_t>(close));
    }
}

// Registers or refreshes on the daemon's table and sends what that queues.
void InsertHytera_RPT(int portKind, sockaddr_in sourceAddress, const char *addressText);
