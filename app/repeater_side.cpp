#include "app/repeater_side.h"

#include "app/link_side.h"
#include "app/sockets.h"
#include "app/voice_bridge.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/thread.h"
#include "hytera/control.h"
#include "hytera/online.h"
#include "hytera/rdac.h"
#include "hytera/repeater_table.h"
#include "network/messages.h"

#include <array>
#include <ctime>
#include <unistd.h>

namespace {

// Paces the control thread: a repeater's own exchange never needs more.
constexpr unsigned CONTROL_RECEIVE_PAUSE_US = 20000;

} // namespace

void InsertHytera_RPT(int portKind, sockaddr_in sourceAddress, const char *addressText) {
    outbox box;
    Hytera_RPT.insert(portKind, sourceAddress, addressText,
                      static_cast<std::uint16_t>(Hytera_RPT_RDAC_PORT), std::time(nullptr), box);
    send_outbox(box);
}

void InsertHytera_RPTOnlineTimer() {
    const sockaddr_in peer = link_peer_address();
    const std::time_t now = std::time(nullptr);
    for (std::size_t slot = 0; slot < REPEATER_SLOTS; ++slot) {
        repeater_entry gone{};
        if (!online_tick(Hytera_RPT, slot, now, gone)) {
            continue;
        }
        // The same ID the login and keep-alive messages carried for this repeater.
        const std::int32_t id = link_msg::repeater_id(gone.Hytera_RPT_DmrID);
        std::array<std::uint8_t, link_msg::RPTCL_LENGTH> close{};
        link_msg::build_rptcl(id, close);
        send_datagram(MMDVM_clientsock.load(), close, peer);
        ferrule_log(".....send RPTCL:%i\n", id);
    }
}

void *localHytera_RPT_handler(void *) {
    ferrule_log("\033[0;33mStart Local Hytera_RPT Modul  V1.34\033[0m\n");
    static std::array<std::uint8_t, CONTROL_RECEIVE_SIZE> buffer;
    const control_ports ports{static_cast<std::uint16_t>(Hytera_RPT_AUDIO_PORT),
                              static_cast<std::uint16_t>(Hytera_RPT_RDAC_PORT)};
    receive_loop(
        Local_Hytera_RPT_srv_sock, buffer,
        [&](std::span<const std::uint8_t> datagram, const sockaddr_in &from) {
            outbox box;
            control_react(Hytera_RPT, datagram, from, ports, std::time(nullptr), box);
            send_outbox(box);
        },
        CONTROL_RECEIVE_PAUSE_US);
    return nullptr;
}

void *Hytera_RPT_rdac(void *) {
    ferrule_log("\033[0;33mStart Hytera_RPT RDAC  Modul  V1.01\033[0m\n");
    static std::array<std::uint8_t, RDAC_RECEIVE_SIZE> buffer;
    rdac_state state;
    const auto rdac_port = static_cast<std::uint16_t>(Hytera_RPT_RDAC_PORT);
    receive_loop(Local_Hytera_RPT_rdac_srv_sock, buffer,
                 [&](std::span<const std::uint8_t> datagram, const sockaddr_in &from) {
                     outbox box;
                     rdac_react(Hytera_RPT, datagram, from, rdac_port, state, std::time(nullptr),
                                box);
                     send_outbox(box);
                 });
    return nullptr;
}

void *Hytera_main(void *) {
    // The sockets are open since start-up; what arrives meanwhile waits in
    // their buffers.
    sleep(5);
    start_detached(Hytera_RPT_rdac);
    start_detached(audio_hytera_rpt);
    start_detached(localHytera_RPT_handler);
    while (keep_running.load() != 0) {
        sleep(1);
        InsertHytera_RPTOnlineTimer();
    }
    ferrule_log("EXIT ferrule\n");
    return nullptr;
}
