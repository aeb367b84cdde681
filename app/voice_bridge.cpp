#include "app/voice_bridge.h"

#include "app/repeater_side.h"
#include "app/sockets.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/settings.h"
#include "hytera/guard.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <sys/socket.h>

namespace {

std::string_view text_of(const char *field, std::size_t capacity) {
    return {field, strnlen(field, capacity)};
}

peer_slot_view read_peer(std::size_t slot, void *user) {
    auto &copies = *static_cast<peer_snapshots *>(user);
    copies.entries[slot] = MMDVM_peers.snapshot(slot);
    return peer_view_of(copies.entries[slot]);
}

void send_to_peer(std::size_t slot, std::span<const std::uint8_t, dmrd_frame::LENGTH> frame,
                  void *user) {
    const auto &copies = *static_cast<const peer_snapshots *>(user);
    send_datagram(MMDVM_clientsock.load(), frame, copies.entries[slot].MMDVM_IP_PORT);
    voice_frames.count_out(call_direction::to_network);
}

// Sends what a network frame or a tick gave the repeater.
void send_to_repeater(dmrd_outcome outcome, const hytera_batch &batch,
                      const hytera_target &target) {
    if (outcome == dmrd_outcome::no_destination) {
        voice_frames.count_drop(drop_reason::no_destination);
    }
    sockaddr_in to{};
    if (outcome != dmrd_outcome::send ||
        !hytera_target_address(target.address, target.voice_port, to)) {
        return;
    }
    const int fd = Local_Hytera_RPT_audio_srv_sock.load();
    for (std::size_t i = 0; i < batch.count; ++i) {
        send_datagram(fd, batch.frames[i], to);
        voice_frames.count_out(call_direction::to_repeater);
    }
}

int draw_random() {
    // Only the voice thread draws; the generator is seeded once at start-up,
    // before any thread runs. Stream IDs need no secrecy.
    // NOLINTNEXTLINE(cert-msc30-c,cert-msc50-cpp,concurrency-mt-unsafe)
    return std::rand();
}

} // namespace

peer_slot_view peer_view_of(const peer_entry &entry) {
    return {text_of(entry.MMDVM_INDEX, sizeof entry.MMDVM_INDEX), entry.MMDVM_ID,
            text_of(entry.MMDVM_Callsign, sizeof entry.MMDVM_Callsign), entry.MMDVM_Slots,
            entry.MMDVM_ID_exact};
}

void repeater_target_of(const repeater_entry &slot0, hytera_target_copy &out) {
    out.copy = slot0;
    const repeater_entry &c = out.copy;
    // A repeater that never registered on the voice port has no port to send to.
    const std::uint16_t port = c.Hytera_RPT_INDEX1 == 1 ? ntohs(c.Hytera_RPT_ip_Audio.sin_port) : 0;
    out.target = {text_of(c.Hytera_RPT_Firmware, sizeof c.Hytera_RPT_Firmware),
                  text_of(c.Hytera_RPT_ip, sizeof c.Hytera_RPT_ip), port};
}

void mmdvm_rx(std::span<const std::uint8_t> frame, std::int64_t now_ms) {
    hytera_target_copy target;
    repeater_target_of(Hytera_RPT.snapshot(0), target);
    hytera_batch batch;
    const dmrd_outcome outcome =
        dmrd_to_hytera(frame, target.target, mmdvm_rx_state, now_ms, batch);
    send_to_repeater(outcome, batch, target.target);
}

void mmdvm_tick(std::int64_t now_ms) {
    if (!network_call_running(mmdvm_rx_state)) {
        return;
    }
    hytera_target_copy target;
    repeater_target_of(Hytera_RPT.snapshot(0), target);
    hytera_batch batch;
    if (dmrd_tick(mmdvm_rx_state, target.target, now_ms, batch) == 0) {
        return;
    }
    const bool usable = hytera_target_usable(target.target.address, target.target.voice_port);
    send_to_repeater(usable ? dmrd_outcome::send : dmrd_outcome::no_destination, batch,
                     target.target);
}

void SEND_TO_MMDVM(std::span<const std::uint8_t> frame, std::string_view peer_key,
                   std::uint32_t stream_id) {
    peer_snapshots copies;
    hytera_to_dmrd_all_peers(frame, peer_key, stream_id, MMDVM_SEQ, DMR_CODER_BUILDERS, read_peer,
                             send_to_peer, &copies);
}

void voice_port_datagram(std::span<const std::uint8_t> datagram, const sockaddr_in &from,
                         voice_port_state &state, std::time_t now, std::int64_t now_ms) {
    if (!Hytera_RPT_guard.admits(from, "voice", now)) {
        return;
    }
    char dotted[16];
    address_text(from, dotted);
    const bool frame = datagram.size() == hytera_frame::LENGTH;
    if (frame) {
        voice_frames.count_in(call_direction::to_network);
    }
    if (frame && Hytera_RPT.find_voice_source(from) < 0) {
        voice_frames.count_drop(drop_reason::not_registered);
        if (state.strangers.should_log(from, now)) {
            const int index = Hytera_RPT.find(dotted);
            const repeater_entry e =
                index < 0 ? repeater_entry{} : Hytera_RPT.snapshot(static_cast<std::size_t>(index));
            if (e.Hytera_RPT_INDEX1 == 1) {
                ferrule_log("Voice frame from %s:%u dropped: the repeater at %s sends voice from "
                            "port %u\n",
                            dotted, static_cast<unsigned>(ntohs(from.sin_port)), dotted,
                            static_cast<unsigned>(ntohs(e.Hytera_RPT_ip_Audio.sin_port)));
            } else {
                ferrule_log("Voice frame from unregistered %s:%u dropped\n", dotted,
                            static_cast<unsigned>(ntohs(from.sin_port)));
            }
        }
        return;
    }
    const voice_reaction r = voice_receive(datagram, state.receiver, draw_random, now_ms);
    switch (r.action) {
    case voice_action::ignore:
        return;
    case voice_action::answer_registration: {
        // A repeater the full table cannot take gets no answer: it would
        // believe itself registered.
        outbox box;
        if (Hytera_RPT
                .insert(PORT_KIND_VOICE, from, dotted,
                        static_cast<std::uint16_t>(Hytera_RPT_RDAC_PORT), now, box)
                .index < 0) {
            return;
        }
        send_outbox(box);
        const std::array<std::uint8_t, 1> answer{hytera_frame::REGISTRATION_ANSWER};
        send_datagram(Local_Hytera_RPT_audio_srv_sock.load(), answer, from);
        return;
    }
    case voice_action::forward: {
        const peer_entry first = MMDVM_peers.snapshot(0);
        SEND_TO_MMDVM(datagram, text_of(first.MMDVM_INDEX, sizeof first.MMDVM_INDEX), r.stream_id);
        return;
    }
    }
}

void voice_port_tick(voice_port_state &state, std::int64_t now_ms) {
    std::array<voice_watchdog_end, 2> ended;
    const std::size_t count = voice_tick(state.receiver, now_ms, ended);
    if (count == 0) {
        return;
    }
    const peer_entry first = MMDVM_peers.snapshot(0);
    for (std::size_t i = 0; i < count; ++i) {
        SEND_TO_MMDVM(ended[i].terminator, text_of(first.MMDVM_INDEX, sizeof first.MMDVM_INDEX),
                      ended[i].stream_id);
    }
}

void *audio_hytera_rpt(void *) {
    voice_receiver_banner();
    voice_port_state state;
    log_limiter lines;
    static std::array<std::uint8_t, hytera_frame::RECEIVE_CAPACITY> buffer;
    // The watchdog must run also while no frame comes.
    set_receive_timeout(Local_Hytera_RPT_audio_srv_sock.load(), VOICE_TICK_MS);
    receive_loop(
        Local_Hytera_RPT_audio_srv_sock, buffer,
        [&](std::span<const std::uint8_t> datagram, const sockaddr_in &from) {
            log_limit_scope scope(lines, from.sin_addr.s_addr, steady_milliseconds());
            // Wall time for the guard: it shares its clock with the other
            // repeater ports, which stamp their log lines with it.
            voice_port_datagram(datagram, from, state, std::time(nullptr), steady_milliseconds());
        },
        0, [&] { voice_port_tick(state, steady_milliseconds()); });
    return nullptr;
}
