#include "app/repeater_side.h"

#include "app/link_side.h"
#include "app/sockets.h"
#include "app/voice_bridge.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/thread.h"
#include "hytera/control.h"
#include "hytera/guard.h"
#include "hytera/rdac.h"
#include "hytera/repeater_table.h"

#include <array>
#include <ctime>
#include <unistd.h>

namespace {

// Paces the control thread after each datagram it answered, as the control
// exchange has always been paced. Dropped datagrams cost no pause: a flood of
// them must not hold up a repeater's keep-alives until it times out.
constexpr unsigned CONTROL_ANSWER_PAUSE_US = 20000;

} // namespace

void InsertHytera_RPT(int portKind, sockaddr_in sourceAddress, const char *addressText) {
    outbox box;
    Hytera_RPT.insert(portKind, sourceAddress, addressText,
                      static_cast<std::uint16_t>(Hytera_RPT_RDAC_PORT), std::time(nullptr), box);
    send_outbox(box);
}

void InsertHytera_RPTOnlineTimer() {
    online_pass(Hytera_RPT, std::time(nullptr), MMDVM_repeater_gone);
}

void *localHytera_RPT_handler(void *) {
    ferrule_log("\033[0;33mStart Local Hytera_RPT Modul  V1.34\033[0m\n");
    static std::array<std::uint8_t, CONTROL_RECEIVE_SIZE> buffer;
    const control_ports ports{static_cast<std::uint16_t>(Hytera_RPT_AUDIO_PORT),
                              static_cast<std::uint16_t>(Hytera_RPT_RDAC_PORT)};
    log_limiter lines;
    receive_loop(Local_Hytera_RPT_srv_sock, buffer,
                 [&](std::span<const std::uint8_t> datagram, const sockaddr_in &from) {
                     outbox box;
                     {
                         log_limit_scope scope(lines, from.sin_addr.s_addr, steady_milliseconds());
                         control_react(Hytera_RPT, Hytera_RPT_guard, datagram, from, ports,
                                       std::time(nullptr), box);
                     }
                     send_outbox(box);
                     if (box.count > 0) {
                         pause_before_receive(CONTROL_ANSWER_PAUSE_US);
                     }
                 });
    return nullptr;
}

void *Hytera_RPT_rdac(void *) {
    ferrule_log("\033[0;33mStart Hytera_RPT RDAC  Modul  V1.01\033[0m\n");
    static std::array<std::uint8_t, RDAC_RECEIVE_SIZE> buffer;
    rdac_state state;
    const auto rdac_port = static_cast<std::uint16_t>(Hytera_RPT_RDAC_PORT);
    log_limiter lines;
    receive_loop(Local_Hytera_RPT_rdac_srv_sock, buffer,
                 [&](std::span<const std::uint8_t> datagram, const sockaddr_in &from) {
                     outbox box;
                     {
                         log_limit_scope scope(lines, from.sin_addr.s_addr, steady_milliseconds());
                         rdac_react(Hytera_RPT, Hytera_RPT_guard, datagram, from, rdac_port, state,
                                    std::time(nullptr), box);
                     }
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
