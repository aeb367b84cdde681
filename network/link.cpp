#include "network/link.h"

#include "core/log.h"
#include "core/settings.h"

#include <arpa/inet.h>
#include <cstring>
#include <ctime>

std::atomic<int> Hytera_RPT_MMDVM_LOGIN[50];

bool same_endpoint(const sockaddr_in &a, const sockaddr_in &b) {
    return a.sin_family == b.sin_family && a.sin_addr.s_addr == b.sin_addr.s_addr &&
           a.sin_port == b.sin_port;
}

namespace {

using link_msg::tag;

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

namespace {
// Written by the resolver thread, read by the link threads.
std::atomic<std::uint32_t> resolved_peer{0xFFFFFFFFU}; // INADDR_NONE in either byte order
} // namespace

sockaddr_in link_peer_address() {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(DMRGateway_port));
    if (inet_pton(AF_INET, DMRGateway_address, &peer.sin_addr) != 1) {
        peer.sin_addr.s_addr = resolved_peer.load();
    }
    return peer;
}

bool link_peer_is_name() {
    in_addr unused{};
    return inet_pton(AF_INET, DMRGateway_address, &unused) != 1;
}

void link_peer_resolved(in_addr address) {
    resolved_peer.store(address.s_addr);
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

link_msg::rptc_source station_source_from(const repeater_entry &entry) {
    link_msg::rptc_source s = rptc_source_from(entry);
    s.rx_frequency_hz = entry.Hytera_RPT_RX_Frequency;
    s.tx_frequency_hz = entry.Hytera_RPT_TX_Frequency;
    return s;
}

link_msg::station_identity station_identity_from_settings() {
    return {Location_Description, Location_Height, FERRULE_VERSION};
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
    case tag::MSTCL:
    case tag::DMRP:
    case tag::DMRB:
    case tag::none:
        break;
    }
    return r;
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

void login_status_note(link_status &s, link_msg::tag received,
                       std::span<const std::uint8_t> datagram, int login_state,
                       std::int64_t now_ms) {
    switch (received) {
    case tag::RPTNAK:
    case tag::MSTNAK:
        ++s.refusals;
        break;
    case tag::RPTACK:
        s.id = link_msg::get_u32(link_msg::ack_bytes(datagram).data());
        break;
    case tag::RPTPONG:
    case tag::MSTPONG:
        s.last_pong_ms = now_ms;
        break;
    default:
        break;
    }
    const link_state state = login_state == 0   ? link_state::idle
                             : login_state == 1 ? link_state::key_sent
                                                : link_state::up;
    if (state != s.state) {
        if (s.state == link_state::up && state == link_state::idle) {
            ++s.relogins;
        }
        s.state = state;
        s.since_ms = now_ms;
    }
}
