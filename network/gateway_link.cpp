#include "network/gateway_link.h"

#include "core/log.h"
#include "core/text.h"

#include <cstring>

gateway_link::gateway_link(const sockaddr_in &peer, std::size_t repeater_index, peer_table &peers,
                           const repeater_table &repeaters, bool send_dmrc)
    : peer_(peer), peer_text_{}, index_(repeater_index), peers_(peers), repeaters_(repeaters),
      send_dmrc_(send_dmrc) {
    endpoint_text(peer, peer_text_);
    status_.mode = link_mode::gateway;
    copy_text(status_.peer, peer_text_, sizeof status_.peer);
}

void gateway_link::enter(link_state state, const link_clock &now) {
    status_.state = state;
    status_.since_ms = now.ms;
}

link_output gateway_link::dmrc(const repeater_entry &entry, const link_clock &now) {
    link_output out;
    link_msg::build_dmrc(id_, station_source_from(entry),
                         std::span(out.bytes).first<link_msg::DMRC_LENGTH>(),
                         station_identity_from_settings());
    out.length = link_msg::DMRC_LENGTH;
    next_dmrc_ = now.ms + DMRC_INTERVAL_MS;
    status_.last_ping_ms = now.ms;
    return out;
}

link_output gateway_link::tick(const link_clock &now) {
    const repeater_entry entry = repeaters_.snapshot(index_);
    const link_repeater r = link_repeater_of(entry);
    if (!r.announced) {
        if (status_.state != link_state::waiting) {
            // The gateway keeps its configuration; voice from other repeaters
            // still goes to it under the last ID.
            ferrule_log("gateway link to %s: repeater %d is gone, configuration (DMRC) stopped\n",
                        peer_text_, id_);
            enter(link_state::waiting, now);
        }
        return {};
    }
    if (status_.state == link_state::waiting || r.id != id_) {
        if (status_.state != link_state::waiting) {
            ++status_.relogins;
        }
        id_ = r.id;
        status_.id = static_cast<std::uint32_t>(id_);
        heard_ = now.ms;
        // Voice needs the peer in the table from the first DMRC on, under this ID.
        if (!send_dmrc_) {
            enter(link_state::idle, now);
            ferrule_log("gateway link to %s: repeater %d announced, no configuration (DMRC) sent\n",
                        peer_text_, id_);
            record_link_peer(peers_, peer_, id_, entry, now.time_text);
            return {};
        }
        enter(link_state::config_sent, now);
        ferrule_log(
            "gateway link to %s: repeater %d announced, configuration (DMRC) every %lld s\n",
            peer_text_, id_, static_cast<long long>(DMRC_INTERVAL_MS / 1000));
        record_link_peer(peers_, peer_, id_, entry, now.time_text);
        return dmrc(entry, now);
    }
    if (status_.state != link_state::silent && now.ms - heard_ >= SILENCE_MS) {
        ferrule_log("gateway link to %s: no DMRP from the gateway for %lld s, voice still sent\n",
                    peer_text_, static_cast<long long>(SILENCE_MS / 1000));
        enter(link_state::silent, now);
    }
    if (send_dmrc_ && now.ms >= next_dmrc_) {
        return dmrc(entry, now);
    }
    return {};
}

link_output gateway_link::receive(std::span<const std::uint8_t> datagram, const sockaddr_in &from,
                                  const link_clock &now) {
    link_output out;
    if (!from_link_peer(from, peer_, link_mode::gateway, drops_, now.ms)) {
        return out;
    }
    switch (link_msg::classify(datagram)) {
    case link_msg::tag::DMRP:
        status_.last_pong_ms = now.ms;
        heard_ = now.ms;
        if (status_.state == link_state::silent) {
            ferrule_log("gateway link to %s: the gateway answers again (DMRP)\n", peer_text_);
            enter(link_state::up, now);
        } else if (status_.state == link_state::config_sent || status_.state == link_state::idle) {
            ferrule_log("gateway link to %s: the gateway answers (DMRP)\n", peer_text_);
            enter(link_state::up, now);
        }
        break;
    case link_msg::tag::DMRB:
        // A beacon is the repeater's own business; say so now and then only.
        if (!beacon_logged_ || now.ms - beacon_logged_at_ >= BEACON_LOG_INTERVAL_MS) {
            ferrule_log("gateway link to %s: the gateway asks for a beacon (DMRB), ignored\n",
                        peer_text_);
            beacon_logged_ = true;
            beacon_logged_at_ = now.ms;
        }
        break;
    case link_msg::tag::DMRD:
        out.hand_on_dmrd = true;
        break;
    default:
        break;
    }
    return out;
}
