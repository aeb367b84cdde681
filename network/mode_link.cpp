#include "network/mode_link.h"

#include "core/log.h"

#include <arpa/inet.h>
#include <cstdio>

link_repeater link_repeater_of(const repeater_entry &entry) {
    link_repeater r;
    r.announced = entry.used() && entry.Hytera_RPT_RDAC_OK == 1;
    r.id = link_msg::repeater_id(entry.Hytera_RPT_DmrID);
    return r;
}

void endpoint_text(const sockaddr_in &address, char (&text)[24]) {
    char dotted[16] = {};
    inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
    std::snprintf(text, sizeof text, "%s:%u", dotted,
                  static_cast<unsigned>(ntohs(address.sin_port)));
}

void record_link_peer(peer_table &peers, const sockaddr_in &peer, std::int32_t id,
                      const repeater_entry &entry, const char *time_text) {
    std::array<std::uint8_t, 4> id_bytes{};
    link_msg::put_u32(id_bytes.data(), static_cast<std::uint32_t>(id));
    std::array<std::uint8_t, link_msg::RPTC_LENGTH> rptc{};
    link_msg::build_rptc(id_bytes, rptc_source_from(entry), rptc);
    // A refresh would keep the old ID; the record must carry the new one.
    peers.remove(peer);
    peers.insert(peer, rptc, time_text, peer_id_rule::exact);
}

peer_entry link_peer_record(const sockaddr_in &peer, std::int32_t id, const repeater_entry &entry,
                            const char *time_text) {
    std::array<std::uint8_t, 4> id_bytes{};
    link_msg::put_u32(id_bytes.data(), static_cast<std::uint32_t>(id));
    std::array<std::uint8_t, link_msg::RPTC_LENGTH> rptc{};
    link_msg::build_rptc(id_bytes, rptc_source_from(entry), rptc);
    return peer_record(peer, rptc, time_text, peer_id_rule::exact);
}

bool from_link_peer(const sockaddr_in &from, const sockaddr_in &peer, link_mode mode,
                    source_drop_log &drops, std::int64_t now_ms) {
    if (same_endpoint(from, peer)) {
        return true;
    }
    // Anyone else could otherwise break the login or inject voice.
    if (drops.should_log(from, now_ms / 1000)) {
        char who[24];
        endpoint_text(from, who);
        ferrule_log("%s link: datagram from %s dropped, it is not the peer\n", link_mode_name(mode),
                    who);
    }
    return false;
}
