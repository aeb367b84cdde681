#include "status/status_snapshot.h"

#include "core/settings.h"
#include "core/text.h"
#include "network/link.h"
#include "network/link_state.h"
#include "voice/call_decoder.h"

#include <arpa/inet.h>
#include <chrono>

std::int64_t status_clock_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

status_snapshot gather_status(std::time_t now, std::int64_t now_ms, std::int64_t started_ms) {
    status_snapshot s;
    s.version = FERRULE_VERSION;
    s.now = now;
    s.now_ms = now_ms;
    s.uptime_seconds = (now_ms - started_ms) / 1000;

    // One lock hold for the whole table: a plain copy of a few kilobytes.
    s.repeaters = Hytera_RPT.locked([](const auto &slots) { return slots; });

    // Index 0's link is always shown; in the master mode every other
    // repeater's own link too, while it has a repeater to speak for.
    link_mode mode = link_mode::login;
    const bool master = parse_link_mode(DMRGateway_mode, mode) && mode == link_mode::master;
    for (std::size_t i = 0; i < (master ? LINK_SLOTS : 1); ++i) {
        const link_view view = MMDVM_link_status.view(i);
        if (i > 0 && (!view.published || view.status.state == link_state::waiting)) {
            continue;
        }
        status_link link;
        link.repeater_index = static_cast<int>(i);
        copy_text(link.peer_host, DMRGateway_address, sizeof link.peer_host - 1);
        // The address in use: a master link's own for its login, else the
        // one the configured name or address gives.
        const sockaddr_in in_use =
            master && view.route.used() ? view.route.MMDVM_IP_PORT : link_peer_address();
        if (in_use.sin_addr.s_addr != htonl(INADDR_NONE) || !link_peer_is_name()) {
            inet_ntop(AF_INET, &in_use.sin_addr, link.peer_address, sizeof link.peer_address);
        }
        link.peer_port = DMRGateway_port;
        link.local_port = DMRGateway_local_port + static_cast<int>(i);
        link.login_state = i == 0 ? Hytera_RPT_MMDVM_LOGIN[0].load() : 0;
        link.peer = master ? view.route : MMDVM_peers.snapshot(0);
        link.peer_recorded = link.peer.used();
        link.status = view.status;
        link.has_status = true;
        s.links.push_back(link);
    }

    s.calls = voice_calls.copy();
    for (std::size_t d = 0; d < 2; ++d) {
        s.frames_in[d] = voice_frames.in[d].load(std::memory_order_relaxed);
        s.frames_out[d] = voice_frames.out[d].load(std::memory_order_relaxed);
    }
    for (std::size_t r = 0; r < DROP_REASONS; ++r) {
        s.dropped[r] = voice_frames.dropped[r].load(std::memory_order_relaxed);
    }
    for (std::size_t d = 0; d < 2; ++d) {
        s.bit_errors[d] = voice_bit_errors.errors[d].load(std::memory_order_relaxed);
        s.bits_checked[d] = voice_bit_errors.checked[d].load(std::memory_order_relaxed);
    }
    s.id_list_configured = DMRIds_file[0] != 0;
    s.id_list = dmr_ids.info();
    if (s.id_list.file.empty()) {
        s.id_list.file = DMRIds_file;
    }
    return s;
}
