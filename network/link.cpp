#include "network/link.h"

#include "core/log.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "core/thread.h"
#include "hytera/service.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <sys/socket.h>

std::atomic<int> Hytera_RPT_MMDVM_LOGIN[50];
std::atomic<link_dmrd_hook> link_dmrd_handler{nullptr};

namespace {

using link_msg::tag;

bool same_endpoint(const sockaddr_in &a, const sockaddr_in &b) {
    return a.sin_family == b.sin_family && a.sin_addr.s_addr == b.sin_addr.s_addr &&
           a.sin_port == b.sin_port;
}

std::int64_t monotonic_seconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}

void local_time_text(char (&text)[30]) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::memset(text, 0, sizeof text);
    asctime_r(&local, text);
}

void send_to(int fd, std::span<const std::uint8_t> bytes, const sockaddr_in &to) {
    if (fd >= 0) {
        (void)sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                     sizeof to);
    }
}

void react_to_ack(std::span<const std::uint8_t> datagram, const sockaddr_in &from,
                  link_context &ctx, link_reaction &r) {
    const std::array<std::uint8_t, 4> ack = link_msg::ack_bytes(datagram);
    const int value = link_msg::ack_value(ack);
    switch (ctx.login_state.load()) {
    case 0:
        ferrule_log(".....recv RPTACK 0:%i\n", value);
        link_msg::build_rptk(ack, std::span(r.reply).first<link_msg::RPTK_LENGTH>());
        r.reply_length = link_msg::RPTK_LENGTH;
        r.reply_to = from;
        ferrule_log(".....send RPTK:%i\n", value);
        ctx.login_state.store(1);
        break;
    case 1: {
        ferrule_log(".....recv RPTACK 1:%i\n", value);
        const repeater_entry slot0 = ctx.repeaters.snapshot(0);
        link_msg::build_rptc(ack, rptc_source_from(slot0), r.reply);
        r.reply_length = link_msg::RPTC_LENGTH;
        r.reply_to = from;
        ferrule_log(".....send RPTC:%i\n", value);
        ctx.login_state.store(2);
        ctx.peers.insert(from, r.reply, ctx.time_text);
        break;
    }
    default:
        ferrule_log(".....recv RPTACK 2:%i\n", value);
        break;
    }
}

} // namespace

sockaddr_in link_peer_address() {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(DMRGateway_port));
    if (inet_pton(AF_INET, DMRGateway_address, &peer.sin_addr) != 1) {
        peer.sin_addr.s_addr = htonl(INADDR_NONE);
    }
    return peer;
}

bool source_drop_log::should_log(const sockaddr_in &source, std::int64_t now) {
    entry *free_entry = nullptr;
    entry *stale = nullptr;
    for (entry &e : entries_) {
        if (!e.used) {
            free_entry = free_entry != nullptr ? free_entry : &e;
            continue;
        }
        const bool expired = now - e.logged_at >= INTERVAL_SECONDS;
        if (e.address == source.sin_addr.s_addr && e.port == source.sin_port) {
            if (!expired) {
                return false;
            }
            e.logged_at = now;
            return true;
        }
        if (expired && stale == nullptr) {
            stale = &e;
        }
    }
    entry *slot = free_entry != nullptr ? free_entry : stale;
    if (slot == nullptr) {
        return false;
    }
    *slot = {source.sin_addr.s_addr, source.sin_port, now, true};
    return true;
}

link_msg::rptc_source rptc_source_from(const repeater_entry &slot0) {
    // The fields are named from the peer's side: what the repeater sends on
    // is what the peer receives on.
    return {slot0.Hytera_RPT_Callsign,
            slot0.Hytera_RPT_TX_Frequency,
            slot0.Hytera_RPT_RX_Frequency,
            Location_Watt,
            Location_CC,
            Location_Latitude,
            Location_Longitude,
            Location_Name,
            Location_Homepage};
}

link_reaction link_react(std::span<const std::uint8_t> datagram, const sockaddr_in &from,
                         link_context &ctx) {
    link_reaction r;
    if (!same_endpoint(from, ctx.peer)) {
        // Anyone else could otherwise drive the login towards itself or inject voice.
        if (ctx.drops.should_log(from, ctx.now_seconds)) {
            char dotted[16] = {};
            inet_ntop(AF_INET, &from.sin_addr, dotted, sizeof dotted);
            ferrule_log(".....recv from %s:%u  ---NOT THE PEER, DROPPED---\n", dotted,
                        static_cast<unsigned>(ntohs(from.sin_port)));
        }
        return r;
    }
    r.from_peer = true;
    r.kind = link_msg::classify(datagram);
    switch (r.kind) {
    case tag::RPTNAK:
    case tag::MSTNAK:
        ferrule_log(".....recv %s:%i  ---ERROR---\n", link_msg::tag_name(r.kind),
                    link_msg::ack_value(link_msg::ack_bytes(datagram)));
        break;
    case tag::RPTACK:
        react_to_ack(datagram, from, ctx, r);
        break;
    case tag::RPTPONG:
    case tag::MSTPONG:
        ctx.peers.insert(from, {}, ctx.time_text);
        break;
    case tag::DMRD:
        r.hand_on_dmrd = true;
        break;
    case tag::none:
        break;
    }
    return r;
}

void link_hand_on_dmrd(std::span<const std::uint8_t> frame, const sockaddr_in &from) {
    link_dmrd_hook hook = link_dmrd_handler.load();
    if (hook == nullptr || frame.size() < link_msg::DMRD_MIN) {
        return;
    }
    char dotted[16] = {};
    inet_ntop(AF_INET, &from.sin_addr, dotted, sizeof dotted);
    hook(frame, dotted, from);
}

bool link_serve_one(int fd, std::span<std::uint8_t, LINK_RECEIVE_BUFFER> buffer,
                    link_context &ctx) {
    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    const ssize_t n = fd < 0 ? -1
                             : recvfrom(fd, buffer.data(), buffer.size(), 0,
                                        reinterpret_cast<sockaddr *>(&from), &from_length);
    if (n < 0) {
        receive_failure_backoff();
        return false;
    }
    if (ctx.stamp_on_receive) {
        ctx.now_seconds = monotonic_seconds();
        local_time_text(ctx.time_text);
    }
    const std::span<const std::uint8_t> datagram(buffer.data(), static_cast<std::size_t>(n));
    const link_reaction r = link_react(datagram, from, ctx);
    if (r.reply_length > 0) {
        send_to(fd, std::span(r.reply).first(r.reply_length), r.reply_to);
    }
    if (r.hand_on_dmrd) {
        link_hand_on_dmrd(datagram, from);
    }
    return true;
}

keepalive_datagram keepalive_for(const repeater_entry &entry, int login_state) {
    keepalive_datagram d;
    if (!entry.used() || entry.Hytera_RPT_RDAC_OK != 1) {
        return d;
    }
    const std::int32_t id = link_msg::repeater_id(entry.Hytera_RPT_DmrID);
    if (login_state == 0) {
        link_msg::build_rptl(id, std::span(d.bytes).first<link_msg::RPTL_LENGTH>());
        d.length = link_msg::RPTL_LENGTH;
        ferrule_log(".....send RPTL:%i\n", id);
    } else {
        link_msg::build_rptping(id, d.bytes);
        d.length = link_msg::RPTPING_LENGTH;
    }
    return d;
}

int MMDVM_clientopen() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd == -1) {
        ferrule_log("Failed to create server socket2, errno=%d\n", errno);
        return 1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(DMRGateway_local_port));
    if (inet_pton(AF_INET, DMRGateway_local_address, &local.sin_addr) != 1) {
        local.sin_addr.s_addr = htonl(INADDR_ANY);
    }
    // A failed bind leaves the socket to be bound by the system at its first send.
    (void)bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local);
    MMDVM_clientsock.store(fd);
    return 0;
}

void SEND_HB_TO_MMDVM() {
    const sockaddr_in peer = link_peer_address();
    const int fd = MMDVM_clientsock.load();
    for (std::size_t i = 0; i < REPEATER_SLOTS; ++i) {
        const keepalive_datagram d =
            keepalive_for(Hytera_RPT.snapshot(i), Hytera_RPT_MMDVM_LOGIN[i].load());
        if (d.length > 0) {
            send_to(fd, std::span(d.bytes).first(d.length), peer);
        }
    }
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
    const sockaddr_in peer = link_peer_address();
    link_context ctx{peer, Hytera_RPT_MMDVM_LOGIN[0], MMDVM_peers, Hytera_RPT, drops};
    for (;;) {
        (void)link_serve_one(MMDVM_clientsock.load(), buffer, ctx);
    }
    return nullptr;
}
