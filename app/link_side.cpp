#include "app/link_side.h"

#include "app/peer_resolver.h"
#include "app/sockets.h"
#include "app/voice_bridge.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/thread.h"
#include "hytera/repeater_table.h"
#include "network/gateway_link.h"
#include "network/link.h"
#include "network/link_state.h"
#include "network/master_links.h"
#include "network/peer_table.h"

#include <array>
#include <atomic>
#include <ctime>
#include <optional>
#include <poll.h>
#include <strings.h>
#include <unistd.h>

namespace {

// Written once by MMDVM_link_mode_configured before any thread starts.
link_mode configured_mode = link_mode::login;

// The gateway mode's link for repeater index 0 and the master mode's links of
// every repeater index. The link thread alone uses them until it sets
// `mode_link_finished`; then the main thread may close them.
std::optional<master_links> masters;
std::optional<gateway_link> gateway;
std::atomic<bool> mode_link_finished{false};

// The modes' links keep their time themselves; the receive waits at most this
// long so their timers run while the peer is quiet.
constexpr int MODE_LINK_TICK_MS = 100;
// How long the stop waits for the link thread to leave its loop.
constexpr int CLOSE_WAIT_MS = 2000;
// The master links' timers need no finer steps than this, however busy the
// sockets are with voice.
constexpr std::int64_t MASTER_TICK_STEP_MS = 20;
// A link socket that cannot be opened is tried again at the login's pace.
constexpr std::int64_t LINK_OPEN_RETRY_MS = master_link::STEP_MS;
// How often an index without a link socket is looked at for a repeater.
constexpr std::int64_t EMPTY_INDEX_LOOK_MS = 250;
// Datagrams taken from one ready socket before the others get their turn.
constexpr int RECEIVE_BURST = 8;

// The modes' links wait no longer than this for a datagram, so their timers
// and the playout buffer run while the peer is quiet.
int mode_link_wait_ms() {
    return DMRGateway_jitter_ms > 0 ? static_cast<int>(PLAYOUT_TICK_MS) : MODE_LINK_TICK_MS;
}

struct clock_now {
    char time_text[30];
    link_clock clock;
};

void read_clock(clock_now &now) {
    asctime_text(std::time(nullptr), now.time_text);
    now.clock = {steady_milliseconds(), now.time_text};
}

// True while the peer is a host name that has not resolved yet: nothing can
// go to it.
bool peer_unknown(const sockaddr_in &peer) {
    return link_peer_is_name() && peer.sin_addr.s_addr == htonl(INADDR_NONE);
}

// The gateway mode's peer, once its name resolved; the link starts then.
sockaddr_in wait_for_peer_address() {
    sockaddr_in peer = link_peer_address();
    while (peer_unknown(peer) && keep_running.load() != 0) {
        usleep(100000);
        peer = link_peer_address();
    }
    return peer;
}

void send_to_peer(const link_output &out, const sockaddr_in &peer) {
    if (out.length > 0) {
        send_datagram(MMDVM_clientsock.load(), out.datagram(), peer);
    }
}

// The gateway or master link on the link socket: every datagram and every
// pause of the socket drives it, until the run flag is cleared.
template <class Link> void run_mode_link(Link &link) {
    static std::array<std::uint8_t, LINK_RECEIVE_BUFFER> buffer;
    const sockaddr_in peer = link_peer_address();
    clock_now now{};
    while (keep_running.load() != 0) {
        const int fd = MMDVM_clientsock.load();
        pollfd ready{fd, POLLIN, 0};
        if (fd < 0) {
            receive_failure_backoff();
        } else if (poll(&ready, 1, mode_link_wait_ms()) > 0) {
            sockaddr_in from{};
            socklen_t from_length = sizeof from;
            const ssize_t n = recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr *>(&from), &from_length);
            if (n >= 0 && from.sin_family == AF_INET) {
                const std::span<const std::uint8_t> datagram(buffer.data(),
                                                             static_cast<std::size_t>(n));
                read_clock(now);
                const link_output out = link.receive(datagram, from, now.clock);
                send_to_peer(out, peer);
                if (out.hand_on_dmrd) {
                    mmdvm_rx(datagram, now.clock.ms);
                }
            }
        }
        read_clock(now);
        mmdvm_tick(now.clock.ms);
        send_to_peer(link.tick(now.clock), peer);
        MMDVM_link_status.publish(link.status());
    }
}

// The master mode's links on their sockets, all served by this one thread:
// one poll over the open sockets, each datagram to the link of the socket it
// came in on, and every link's timers.
class master_links_runner {
  public:
    explicit master_links_runner(master_links &links) : links_(links) {}

    void run() {
        while (keep_running.load() != 0) {
            const std::size_t n = gather_sockets();
            if (n == 0) {
                receive_failure_backoff();
            } else if (poll(ready_.data(), n, mode_link_wait_ms()) > 0) {
                for (std::size_t k = 0; k < n; ++k) {
                    if ((ready_[k].revents & POLLIN) != 0) {
                        receive_from(index_of_[k], ready_[k].fd);
                    }
                }
            }
            read_clock(now_);
            if (now_.clock.ms - last_tick_ms_ >= MASTER_TICK_STEP_MS) {
                last_tick_ms_ = now_.clock.ms;
                follow_peer_name();
                tick_all();
                mmdvm_tick_all(now_.clock.ms);
            } else if (DMRGateway_jitter_ms > 0) {
                mmdvm_tick_all(now_.clock.ms);
            }
        }
    }

  private:
    // A master given by name: each link's next login goes to the address the
    // name gives now, and the resolver looks again while a login is coming.
    void follow_peer_name() {
        if (!link_peer_is_name()) {
            return;
        }
        const sockaddr_in peer = link_peer_address();
        peer_known_ = !peer_unknown(peer);
        if (peer_known_) {
            links_.set_peer(peer);
        }
        peer_lookup_wanted.store(links_.any_between_logins());
    }

    std::size_t gather_sockets() {
        std::size_t n = 0;
        for (std::size_t i = 0; i < LINK_SLOTS; ++i) {
            const int fd = MMDVM_link_socket(i);
            if (fd >= 0) {
                ready_[n] = {fd, POLLIN, 0};
                index_of_[n++] = i;
            }
        }
        return n;
    }

    void receive_from(std::size_t index, int fd) {
        for (int taken = 0; taken < RECEIVE_BURST; ++taken) {
            sockaddr_in from{};
            socklen_t from_length = sizeof from;
            const ssize_t n = recvfrom(fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr *>(&from), &from_length);
            if (n < 0) {
                return;
            }
            if (from.sin_family != AF_INET) {
                continue;
            }
            const std::span<const std::uint8_t> datagram(buffer_.data(),
                                                         static_cast<std::size_t>(n));
            read_clock(now_);
            const link_output out = links_.receive(index, datagram, from, now_.clock);
            // At once, not at the next tick: the voice thread sends on the
            // link only once it sees it up.
            publish(index);
            send_on(index, fd, out);
            if (out.hand_on_dmrd) {
                mmdvm_rx_for(index, datagram, now_.clock.ms);
            }
        }
    }

    void tick_all() {
        for (std::size_t i = 0; i < LINK_SLOTS; ++i) {
            int fd = MMDVM_link_socket(i);
            if (fd < 0 && now_.clock.ms >= next_open_ms_[i]) {
                // An empty index is looked at again soon, a socket that failed
                // at the login's pace.
                const bool announced = link_repeater_of(Hytera_RPT.snapshot(i)).announced;
                next_open_ms_[i] =
                    now_.clock.ms + (announced ? LINK_OPEN_RETRY_MS : EMPTY_INDEX_LOOK_MS);
                if (announced) {
                    MMDVM_link_open(i);
                    fd = MMDVM_link_socket(i);
                }
            }
            // A link without its socket could not be heard, nor one whose
            // master's name has not resolved: it waits.
            if (fd >= 0 && peer_known_) {
                send_on(i, fd, links_.tick(i, now_.clock));
            }
            publish(i);
        }
    }

    void send_on(std::size_t index, int fd, const link_output &out) {
        if (out.length > 0) {
            send_datagram(fd, out.datagram(), links_.link(index).peer());
        }
    }

    void publish(std::size_t i) {
        const master_link &l = links_.link(i);
        if (!(l.status() == shown_[i]) || !published_[i]) {
            shown_[i] = l.status();
            published_[i] = true;
            MMDVM_link_status.publish(l.status(), l.route(), i);
        }
    }

    master_links &links_;
    bool peer_known_ = !peer_unknown(link_peer_address());
    clock_now now_{};
    std::int64_t last_tick_ms_ = 0;
    std::array<std::uint8_t, LINK_RECEIVE_BUFFER> buffer_{};
    std::array<pollfd, LINK_SLOTS> ready_{};
    std::array<std::size_t, LINK_SLOTS> index_of_{};
    std::array<std::int64_t, LINK_SLOTS> next_open_ms_{};
    std::array<link_status, LINK_SLOTS> shown_{};
    std::array<bool, LINK_SLOTS> published_{};
};

void run_login_link() {
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
            // A host name's address arrives from the resolver thread.
            ctx.peer = link_peer_address();
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
            if (r.from_peer) {
                const int state = ctx.login_state.load();
                MMDVM_link_status.update(
                    [&](link_status &s) { login_status_note(s, r.kind, datagram, state, now_ms); });
            }
        },
        0, [] { mmdvm_tick(steady_milliseconds()); },
        DMRGateway_jitter_ms > 0 ? static_cast<int>(PLAYOUT_TICK_MS) : -1);
}

} // namespace

bool MMDVM_link_mode_configured() {
    if (!parse_link_mode(DMRGateway_mode, configured_mode)) {
        ferrule_log("DMRGateway_mode=%s is not a link mode: use login, gateway or master\n",
                    DMRGateway_mode);
        return false;
    }
    if (strcasecmp(DMRGateway_dmrc, "on") != 0 && strcasecmp(DMRGateway_dmrc, "off") != 0) {
        ferrule_log("DMRGateway_dmrc=%s is neither on nor off\n", DMRGateway_dmrc);
        return false;
    }
    if (configured_mode == link_mode::master && DMRGateway_password[0] == 0) {
        ferrule_log("DMRGateway_password is empty: most masters will refuse the login\n");
    }
    return true;
}

bool MMDVM_link_per_repeater() {
    return configured_mode == link_mode::master;
}

void SEND_HB_TO_MMDVM() {
    if (configured_mode != link_mode::login) {
        return;
    }
    const sockaddr_in peer = link_peer_address();
    if (peer_unknown(peer)) {
        return;
    }
    const int fd = MMDVM_clientsock.load();
    for (std::size_t i = 0; i < REPEATER_SLOTS; ++i) {
        const int state = Hytera_RPT_MMDVM_LOGIN[i].load();
        const keepalive_datagram d = keepalive_for(Hytera_RPT.snapshot(i), state);
        if (d.length > 0) {
            send_datagram(fd, std::span(d.bytes).first(d.length), peer);
        }
        if (i == 0 && d.length == link_msg::RPTPING_LENGTH) {
            const std::int64_t ms = steady_milliseconds();
            MMDVM_link_status.update([&](link_status &s) { s.last_ping_ms = ms; });
        }
    }
}

void *MMDVM_TIMER_SYSTEM(void *) {
    login_watch watch;
    for (;;) {
        sleep(1);
        link_timer_tick(MMDVM_peers, watch, Hytera_RPT_MMDVM_LOGIN[0]);
        const int state = Hytera_RPT_MMDVM_LOGIN[0].load();
        const std::int64_t ms = steady_milliseconds();
        MMDVM_link_status.update(
            [&](link_status &s) { login_status_note(s, link_msg::tag::none, {}, state, ms); });
    }
    return nullptr;
}

void *MMDVM_main(void *) {
    ferrule_log("%s", "\033[0;33m");
    ferrule_log("Start MMDV  Modul  V0.03 Beta\n");
    ferrule_log("%s", "\033[0m");
    const sockaddr_in peer = link_peer_address();
    switch (configured_mode) {
    case link_mode::login: {
        link_status s;
        endpoint_text(peer, s.peer);
        s.state = link_state::idle;
        MMDVM_link_status.publish(s);
        start_detached(MMDVM_TIMER_SYSTEM);
        run_login_link();
        break;
    }
    case link_mode::gateway:
        // The peer's record lives as long as the link keeps it: no peer timer.
        run_mode_link(gateway.emplace(wait_for_peer_address(), 0, MMDVM_peers, Hytera_RPT,
                                      strcasecmp(DMRGateway_dmrc, "on") == 0));
        break;
    case link_mode::master: {
        // Static: the links and the runner's buffers are far too large for
        // the thread's stack.
        static master_links_runner runner(
            masters.emplace(peer, Hytera_RPT, DMRGateway_password, DMRGateway_options));
        runner.run();
        break;
    }
    }
    mode_link_finished.store(true);
    return nullptr;
}

void MMDVM_send_close_on_stop() {
    if (configured_mode != link_mode::master) {
        return;
    }
    for (int waited = 0; !mode_link_finished.load() && waited < CLOSE_WAIT_MS; waited += 10) {
        usleep(10000);
    }
    if (!mode_link_finished.load()) {
        ferrule_log("master link: still busy at the stop, no close (RPTCL) sent\n");
        return;
    }
    if (!masters) {
        return;
    }
    clock_now now{};
    read_clock(now);
    for (std::size_t i = 0; i < LINK_SLOTS; ++i) {
        const int fd = MMDVM_link_socket(i);
        if (fd < 0) {
            continue;
        }
        const link_output out = masters->close(i, now.clock);
        if (out.length > 0) {
            send_datagram(fd, out.datagram(), masters->link(i).peer());
        }
        MMDVM_link_status.publish(masters->link(i).status(), masters->link(i).route(), i);
    }
}

void MMDVM_repeater_gone(int id) {
    if (configured_mode != link_mode::login) {
        return;
    }
    std::array<std::uint8_t, link_msg::RPTCL_LENGTH> close{};
    link_msg::build_rptcl(id, close);
    send_datagram(MMDVM_clientsock.load(), close, link_peer_address());
    ferrule_log(".....send RPTCL:%i\n", id);
}
