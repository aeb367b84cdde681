#include "app/link_side.h"

#include "app/sockets.h"
#include "app/voice_bridge.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/thread.h"
#include "hytera/repeater_table.h"
#include "network/link.h"
#include "network/peer_table.h"

#include <array>
#include <ctime>
#include <unistd.h>

void SEND_HB_TO_MMDVM() {
    const sockaddr_in peer = link_peer_address();
    const int fd = MMDVM_clientsock.load();
    for (std::size_t i = 0; i < REPEATER_SLOTS; ++i) {
        const keepalive_datagram d =
            keepalive_for(Hytera_RPT.snapshot(i), Hytera_RPT_MMDVM_LOGIN[i].load());
        if (d.length > 0) {
            send_datagram(fd, std::span(d.bytes).first(d.length), peer);
        }
    }
}

void *MMDVM_TIMER_SYSTEM(void *) {
    login_watch watch;
    for (;;) {
        sleep(1);
        link_timer_tick(MMDVM_peers, watch, Hytera_RPT_MMDVM_LOGIN[0]);
    }
    return nullptr;
}

void *MMDVM_main(void *) {
    ferrule_log("%s", "\033[0;33m");
    ferrule_log("Start MMDV  Modul  V0.03 Beta\n");
    ferrule_log("%s", "\033[0m");
    if (MMDVM_clientopen() != 0) {
        ferrule_log("server() failed\n");
    }
    start_detached(MMDVM_TIMER_SYSTEM);

    static std::array<std::uint8_t, LINK_RECEIVE_BUFFER> buffer;
    source_drop_log drops;
    link_context ctx{link_peer_address(), Hytera_RPT_MMDVM_LOGIN[0], MMDVM_peers, Hytera_RPT,
                     drops};
    // The call watchdog towards the repeater runs on this thread, which alone
    // owns the network call state, so it must wake also while no frame comes.
    set_receive_timeout(MMDVM_clientsock.load(), VOICE_TICK_MS);
    receive_loop(
        MMDVM_clientsock, buffer,
        [&](std::span<const std::uint8_t> datagram, const sockaddr_in &from) {
            const std::int64_t now_ms = steady_milliseconds();
            ctx.now_seconds = now_ms / 1000;
            // Only a peer record wants the time text; voice frames come
            // hundreds a second and would each format it for nothing.
            if (link_msg::classify(datagram) != link_msg::tag::DMRD) {
                asctime_text(std::time(nullptr), ctx.time_text);
            }
            const link_reaction r = link_react(datagram, from, ctx);
            if (r.reply_length > 0) {
                send_datagram(MMDVM_clientsock.load(), std::span(r.reply).first(r.reply_length),
                              r.reply_to);
            }
            if (r.hand_on_dmrd && datagram.size() >= link_msg::DMRD_MIN) {
                mmdvm_rx(datagram, now_ms);
            }
        },
        0, [] { mmdvm_tick(steady_milliseconds()); });
    return nullptr;
}
