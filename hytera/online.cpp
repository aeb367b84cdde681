#include "hytera/online.h"

#include "core/log.h"
#include "core/settings.h"
#include "hytera/service.h"
#include "network/messages.h"

#include <arpa/inet.h>
#include <ctime>

bool online_tick(repeater_table &table, std::size_t slot, const sockaddr_in &peer, outbox &box) {
    std::time_t now = std::time(nullptr);
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
    });
    if (!timed_out) {
        return false;
    }
    std::tm local{};
    char when[32] = "";
    if (localtime_r(&now, &local) != nullptr) {
        asctime_r(&local, when);
    }
    ferrule_log("%sTime Out Hytera_RPT %8.8s IP:%15.15s TIMER: %2.2i with number %d \n\n", when,
                copy.Hytera_RPT_Callsign, copy.Hytera_RPT_ip, copy.Hytera_RPT_Timer,
                static_cast<int>(slot));
    // The same ID the login and keep-alive messages carried for this repeater.
    const std::int32_t id = link_msg::repeater_id(copy.Hytera_RPT_DmrID);
    std::array<std::uint8_t, link_msg::RPTCL_LENGTH> close{};
    link_msg::build_rptcl(id, close);
    box.add(socket_kind::link, peer, close);
    ferrule_log(".....send RPTCL:%i\n", id);
    return true;
}

void InsertHytera_RPTOnlineTimer() {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(DMRGateway_port));
    (void)inet_pton(AF_INET, DMRGateway_address, &peer.sin_addr);
    for (std::size_t slot = 0; slot < REPEATER_SLOTS; ++slot) {
        outbox box;
        if (online_tick(Hytera_RPT, slot, peer, box)) {
            send_outbox(box);
        }
    }
}
