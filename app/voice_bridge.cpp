#include "app/voice_bridge.h"

#include "app/link_side.h"
#include "app/repeater_side.h"
#include "app/sockets.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/settings.h"
#include "hytera/guard.h"
#include "voice/playout_buffer.h"

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

std::array<repeater_call_state, LINK_SLOTS> fresh_master_states() {
    std::array<repeater_call_state, LINK_SLOTS> states{};
    for (std::size_t i = 0; i < states.size(); ++i) {
        states[i].repeater = static_cast<std::uint8_t>(i);
    }
    return states;
}

// The master mode's call state towards each repeater; only the link thread
// touches it.
std::array<repeater_call_state, LINK_SLOTS> master_rx_states = fresh_master_states();

// Whose state a datagram moves: in the master mode the repeater's own, found
// by the voice address it registered; otherwise, and for anything but a
// frame, index 0's.
std::size_t master_voice_index(std::span<const std::uint8_t> datagram, const sockaddr_in &from) {
    if (!MMDVM_link_per_repeater() || datagram.size() != hytera_frame::LENGTH) {
        return 0;
    }
    const int index = Hytera_RPT.find_voice_source(from);
    return index > 0 && static_cast<std::size_t>(index) < LINK_SLOTS
               ? static_cast<std::size_t>(index)
               : 0;
}

// A repeater frame (or a watchdog's terminator) for the network. The master
// mode sends it on the repeater's own link under its own ID, and only while
// that link is up; the other modes to every peer slot, as always.
void to_network(std::size_t index, std::span<const std::uint8_t> frame, std::uint32_t stream_id,
                voice_port_state &state) {
    if (!MMDVM_link_per_repeater()) {
        const peer_entry first = MMDVM_peers.snapshot(0);
        SEND_TO_MMDVM(frame, text_of(first.MMDVM_INDEX, sizeof first.MMDVM_INDEX), stream_id);
        return;
    }
    const link_view link = MMDVM_link_status.view(index);
    if (!link.route.used()) {
        voice_frames.count_drop(drop_reason::no_destination);
        // Once a call: its header would have opened it.
        if (frame.size() == hytera_frame::LENGTH &&
            frame[hytera_frame::SLOT_TYPE] == hytera_frame::TYPE_VOICE_LC_HEADER) {
            ferrule_log("Call of repeater index %zu not sent: its master link is not up (%s)\n",
                        index, link_state_words(link.status.state));
        }
        return;
    }
    const peer_slot_view peer = peer_view_of(link.route);
    dmrd_frame::Frame out{};
    if (hytera_to_dmrd(frame, 0, peer, peer.key, stream_id, state.sequences[index],
                       DMR_CODER_BUILDERS, out)) {
        send_datagram(MMDVM_link_socket(index), out, link.route.MMDVM_IP_PORT);
        voice_frames.count_out(call_direction::to_network);
    }
}

// A talker alias block or position from a repeater call, for the peers that
// know DMRA and DMRG: a DMRGateway and a master. The login mode's peers
// predate them. Sent where the call's frames go.
void network_lc_to_network(std::size_t index, std::span<const std::uint8_t> message) {
    link_mode mode = link_mode::login;
    if (message.empty() || !parse_link_mode(DMRGateway_mode, mode) || mode == link_mode::login) {
        return;
    }
    if (MMDVM_link_per_repeater()) {
        const link_view link = MMDVM_link_status.view(index);
        if (link.route.used()) {
            send_datagram(MMDVM_link_socket(index), message, link.route.MMDVM_IP_PORT);
        }
        return;
    }
    const peer_entry first = MMDVM_peers.snapshot(0);
    const std::string_view key = text_of(first.MMDVM_INDEX, sizeof first.MMDVM_INDEX);
    for (std::size_t slot = 0; slot < MMDVM_PEER_SLOTS && !key.empty(); ++slot) {
        const peer_entry peer = slot == 0 ? first : MMDVM_peers.snapshot(slot);
        if (text_of(peer.MMDVM_INDEX, sizeof peer.MMDVM_INDEX) == key) {
            send_datagram(MMDVM_clientsock.load(), message, peer.MMDVM_IP_PORT);
        }
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

namespace {

// Network calls held for playout, towards repeater index 0 and towards each
// repeater of the master mode; only the link thread touches them.
playout_buffer index0_playout;
std::array<playout_buffer, LINK_SLOTS> master_playouts;

bool playout_on() {
    return DMRGateway_jitter_ms > 0;
}

// Gives the repeater what the buffer has due by `now_ms`.
template <class State>
void play_due(playout_buffer &buffer, State &state, std::size_t index, std::int64_t now_ms) {
    dmrd_frame::Frame frame{};
    call_figures counts{};
    while (buffer.pop(now_ms, frame, counts)) {
        hytera_target_copy target;
        repeater_target_of(Hytera_RPT.snapshot(index), target);
        hytera_batch batch;
        send_to_repeater(dmrd_playout_to_hytera(frame, counts, target.target, state, now_ms, batch),
                         batch, target.target);
    }
}

} // namespace

void mmdvm_rx(std::span<const std::uint8_t> frame, std::int64_t now_ms) {
    if (playout_on() && index0_playout.push(frame, now_ms, DMRGateway_jitter_ms)) {
        voice_frames.count_in(call_direction::to_repeater);
        return;
    }
    hytera_target_copy target;
    repeater_target_of(Hytera_RPT.snapshot(0), target);
    hytera_batch batch;
    const dmrd_outcome outcome =
        dmrd_to_hytera(frame, target.target, mmdvm_rx_state, now_ms, batch);
    send_to_repeater(outcome, batch, target.target);
}

void mmdvm_tick(std::int64_t now_ms) {
    if (playout_on()) {
        play_due(index0_playout, mmdvm_rx_state, 0, now_ms);
    }
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

void mmdvm_rx_for(std::size_t index, std::span<const std::uint8_t> frame, std::int64_t now_ms) {
    if (index >= master_rx_states.size()) {
        return;
    }
    if (playout_on() && master_playouts[index].push(frame, now_ms, DMRGateway_jitter_ms)) {
        voice_frames.count_in(call_direction::to_repeater);
        return;
    }
    hytera_target_copy target;
    repeater_target_of(Hytera_RPT.snapshot(index), target);
    hytera_batch batch;
    const dmrd_outcome outcome =
        dmrd_to_hytera(frame, target.target, master_rx_states[index], now_ms, batch);
    send_to_repeater(outcome, batch, target.target);
}

void mmdvm_tick_all(std::int64_t now_ms) {
    for (std::size_t index = 0; index < master_rx_states.size(); ++index) {
        repeater_call_state &state = master_rx_states[index];
        if (playout_on()) {
            play_due(master_playouts[index], state, index, now_ms);
        }
        if (!network_call_running(state)) {
            continue;
        }
        hytera_target_copy target;
        repeater_target_of(Hytera_RPT.snapshot(index), target);
        hytera_batch batch;
        if (dmrd_tick(state, target.target, now_ms, batch) == 0) {
            continue;
        }
        const bool usable = hytera_target_usable(target.target.address, target.target.voice_port);
        send_to_repeater(usable ? dmrd_outcome::send : dmrd_outcome::no_destination, batch,
                         target.target);
    }
}

void mmdvm_rx_reset_all() {
    master_rx_states = fresh_master_states();
    master_playouts = {};
}

voice_port_state::voice_port_state() : receivers{} {
    for (std::size_t i = 0; i < receivers.size(); ++i) {
        receivers[i].repeater = static_cast<std::uint8_t>(i);
    }
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
    const std::size_t index = master_voice_index(datagram, from);
    const voice_reaction r = voice_receive(datagram, state.receivers[index], draw_random, now_ms);
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
    case voice_action::forward:
        to_network(index, datagram, r.stream_id, state);
        network_lc_to_network(index, std::span(r.network_lc).first(r.network_lc_length));
        return;
    }
}

void voice_port_tick(voice_port_state &state, std::int64_t now_ms) {
    const std::size_t repeaters = MMDVM_link_per_repeater() ? LINK_SLOTS : 1;
    for (std::size_t index = 0; index < repeaters; ++index) {
        std::array<voice_watchdog_end, 2> ended;
        const std::size_t count = voice_tick(state.receivers[index], now_ms, ended);
        for (std::size_t i = 0; i < count; ++i) {
            to_network(index, ended[i].terminator, ended[i].stream_id, state);
        }
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
