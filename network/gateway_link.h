#pragma once
// The link to a current DMRGateway, which has no login on its repeater side:
// it takes DMRD from the configured address, and the releases from August
// 2020 on wait for a DMRC configuration before they open their network side.
// So once the repeater is identified this link sends DMRC every 10 s, voice
// goes both ways at once, and the gateway's DMRP keep-alives only tell whether
// it is still there: a minute without one is logged, and voice goes on.
// Releases from mid 2026 on read their configuration from their own file and
// log every DMRC as an unknown packet; for them the DMRC can be left out.

#include "network/mode_link.h"

#include <cstddef>
#include <cstdint>

class gateway_link {
  public:
    static constexpr std::int64_t DMRC_INTERVAL_MS = 10000;
    static constexpr std::int64_t SILENCE_MS = 60000;
    static constexpr std::int64_t BEACON_LOG_INTERVAL_MS = 60000;

    gateway_link(const sockaddr_in &peer, std::size_t repeater_index, peer_table &peers,
                 const repeater_table &repeaters, bool send_dmrc = true);

    link_output receive(std::span<const std::uint8_t> datagram, const sockaddr_in &from,
                        const link_clock &now);
    // Call often (at least every second): sends the DMRC and notices silence
    // and a change of the repeater.
    link_output tick(const link_clock &now);

    const link_status &status() const { return status_; }

  private:
    void enter(link_state state, const link_clock &now);
    link_output dmrc(const repeater_entry &entry, const link_clock &now);

    sockaddr_in peer_;
    char peer_text_[24];
    std::size_t index_;
    peer_table &peers_;
    const repeater_table &repeaters_;
    source_drop_log drops_;

    bool send_dmrc_;
    std::int32_t id_ = 0;
    std::int64_t next_dmrc_ = 0;
    std::int64_t heard_ = 0; // last DMRP, or the start of this repeater's announcement
    bool beacon_logged_ = false;
    std::int64_t beacon_logged_at_ = 0;
    link_status status_;
};
