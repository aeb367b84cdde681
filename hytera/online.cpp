#include "hytera/online.h"

#include "core/clock.h"
#include "core/log.h"

#include <cstring>

bool online_tick(repeater_table &table, std::size_t slot, std::time_t now, repeater_entry &gone) {
    bool timed_out = false;
    repeater_entry copy{};
    table.locked([&](auto &slots) {
        repeater_entry &e = slots[slot];
        if (!e.used()) {
            return;
        }
        if (e.Hytera_RPT_Timer > 0) {
            --e.Hytera_RPT_Timer;
        }
        if (e.Hytera_RPT_Timer != 0) {
            return;
        }
        timed_out = true;
        copy = e;
        // The next registration records fresh port addresses; the identity
        // fields stay until they are overwritten.
        e.Hytera_RPT_RDAC_OK = 0;
        e.Hytera_RPT_ip[0] = 0;
        e.Hytera_RPT_INDEX1 = 0;
        e.Hytera_RPT_INDEX2 = 0;
        e.Hytera_RPT_INDEX3 = 0;
    });
    if (!timed_out) {
        return false;
    }
    char when[32];
    asctime_text(now, when);
    ferrule_log("%sTime Out Hytera_RPT %8.8s IP:%15.15s TIMER: %2.2i with number %d \n\n", when,
                copy.Hytera_RPT_Callsign, copy.Hytera_RPT_ip, copy.Hytera_RPT_Timer,
                static_cast<int>(slot));
    gone = copy;
    return true;
}

bool online_close_due(const repeater_table &table, const repeater_entry &gone) {
    // Nobody logs in with the placeholder; its close says nothing to anyone.
    if (std::strcmp(gone.Hytera_RPT_DmrID, REPEATER_UNKNOWN_ID) == 0) {
        return true;
    }
    int holder = -1;
    table.locked([&](const auto &slots) {
        for (std::size_t i = 0; i < slots.size() && holder < 0; ++i) {
            const repeater_entry &e = slots[i];
            if (e.used() && std::strcmp(e.Hytera_RPT_DmrID, gone.Hytera_RPT_DmrID) == 0) {
                holder = static_cast<int>(i);
            }
        }
    });
    if (holder < 0) {
        return true;
    }
    ferrule_log("No RPTCL for %s: DMR ID %s is still held by the repeater at index %d\n",
                gone.Hytera_RPT_ip, gone.Hytera_RPT_DmrID, holder);
    return false;
}
