#include "voice/voice_receiver.h"

#include "core/log.h"
#include "voice/call_record.h"

#include <algorithm>

namespace {
namespace hf = hytera_frame;

std::uint32_t draw_stream_id(voice_random random) {
    std::uint32_t id = 0;
    for (int i = 0; i < 4; ++i) {
        // Modulo 255 keeps every byte below 0xFF.
        id = id << 8 | static_cast<std::uint32_t>(random() % 255);
    }
    return id;
}

// Voice bursts, the voice LC header and the terminator of a group or private
// call: what a call is made of. Data and CSBK bursts, and all calls, which the
// conversion drops, start no call.
bool is_call_frame(std::span<const std::uint8_t, hf::LENGTH> f) {
    const std::uint8_t call_type = f[hf::CALL_TYPE] & hf::CALL_TYPE_MASK;
    if (call_type != hf::CALL_PRIVATE && call_type != hf::CALL_GROUP) {
        return false;
    }
    switch (f[hf::SLOT_TYPE]) {
    case hf::TYPE_VOICE_LC_HEADER:
    case hf::TYPE_TERMINATOR:
    case hf::TYPE_VOICE_A:
    case hf::TYPE_VOICE_B:
    case hf::TYPE_VOICE_C:
    case hf::TYPE_VOICE_D:
    case hf::TYPE_VOICE_E:
    case hf::TYPE_VOICE_F:
        return true;
    default:
        return false;
    }
}

// Voice burst A-F as 0-5; anything else 6.
std::size_t burst_index(std::uint8_t slot_type) {
    switch (slot_type) {
    case hf::TYPE_VOICE_A:
        return 0;
    case hf::TYPE_VOICE_B:
        return 1;
    case hf::TYPE_VOICE_C:
        return 2;
    case hf::TYPE_VOICE_D:
        return 3;
    case hf::TYPE_VOICE_E:
        return 4;
    case hf::TYPE_VOICE_F:
        return 5;
    default:
        return BURSTS_PER_SUPERFRAME;
    }
}

// The burst of a voice frame in air order: the repeater stores it with the
// bytes of each pair exchanged.
std::array<std::uint8_t, 33> air_burst(std::span<const std::uint8_t, hf::LENGTH> f) {
    std::array<std::uint8_t, hf::PAYLOAD_LENGTH> swapped{};
    hf::swap_byte_pairs(f.subspan<hf::PAYLOAD, hf::PAYLOAD_LENGTH>(), swapped);
    std::array<std::uint8_t, 33> burst{};
    std::copy(swapped.begin(), swapped.begin() + burst.size(), burst.begin());
    return burst;
}

void follow_call(std::span<const std::uint8_t, hf::LENGTH> f, std::size_t ts,
                 std::uint32_t stream_id, slot_call &call, call_decoder &decoder,
                 std::int64_t now_ms, std::size_t repeater, voice_reaction &reaction) {
    if (call.active && call.stream_id != stream_id) {
        // A new stream while one was open: the end of call of the other slot
        // closed this one too, so the repeater has begun another call.
        call.active = false;
        call_ended(call_direction::to_network, ts, call, call_end::terminator, now_ms, repeater);
    }
    const bool terminator = f[hf::SLOT_TYPE] == hf::TYPE_TERMINATOR;
    if (!call.active && terminator) {
        return; // a repeat, or the late end of a call the watchdog ended
    }
    if (!call.active) {
        const bool is_private = (f[hf::CALL_TYPE] & hf::CALL_TYPE_MASK) == hf::CALL_PRIVATE;
        call = {true,
                is_private,
                f[hf::SEQUENCE_LOW],
                stream_id,
                hf::read_id(f, hf::SOURCE),
                hf::read_id(f, hf::DESTINATION),
                now_ms,
                now_ms,
                {}};
        start_call_figures(decoder, call);
        call_started(call_direction::to_network, ts, call, repeater);
    }
    call.last_ms = now_ms;
    call.last_sequence = f[hf::SEQUENCE_LOW];
    const std::size_t burst = burst_index(f[hf::SLOT_TYPE]);
    if (burst < BURSTS_PER_SUPERFRAME) {
        const network_lc lc = count_voice_burst(decoder, call, call_direction::to_network,
                                                air_burst(f), burst, true, ts, repeater);
        if (lc.due) {
            reaction.network_lc_length =
                network_lc_message(call.source, lc.lc, reaction.network_lc);
        }
    }
    if (terminator) {
        call.active = false;
        call_ended(call_direction::to_network, ts, call, call_end::terminator, now_ms, repeater);
    }
}

} // namespace

void voice_receiver_banner() {
    ferrule_log("%s", "\033[0;33m");
    ferrule_log("Start Audio  Modul  V1.01\n");
    ferrule_log("%s", "\033[0m");
}

voice_reaction voice_receive(std::span<const std::uint8_t> datagram, voice_receiver_state &state,
                             voice_random random, std::int64_t now_ms) {
    if (datagram.size() == hf::REGISTRATION_LENGTH) {
        return {voice_action::answer_registration, 0};
    }
    if (datagram.size() != hf::LENGTH) {
        return {voice_action::ignore, 0};
    }
    const std::span<const std::uint8_t, hf::LENGTH> f = datagram.first<hf::LENGTH>();

    const std::uint16_t slot_word = hf::read_word(f, hf::SLOT_WORD);
    if (slot_word == hf::SLOT_WORD_TS1) {
        state.time_slot = 0;
    } else if (slot_word == hf::SLOT_WORD_TS2) {
        state.time_slot = 1;
    }
    const std::size_t ts = state.time_slot;

    if (hf::read_id(f, hf::DESTINATION) > VOICE_DESTINATION_MAX) {
        voice_frames.count_drop(drop_reason::invalid);
        return {voice_action::ignore, 0};
    }
    if (hf::read_word(f, hf::SETUP_MARK) == hf::MARK_SET && !state.stream_open[ts]) {
        state.stream_id[ts] = draw_stream_id(random);
        state.stream_open[ts] = true;
    }
    // Checked after the setup mark: a call setup frame opens the stream but
    // carries nothing the network wants.
    const std::uint16_t type_word = hf::read_word(f, hf::SLOT_TYPE);
    if (type_word == hf::TYPE_WORD_IDLE || type_word == hf::TYPE_WORD_CALL_SETUP) {
        return {voice_action::ignore, 0};
    }
    voice_reaction reaction{voice_action::forward, state.stream_id[ts]};
    if (is_call_frame(f)) {
        follow_call(f, ts, reaction.stream_id, state.calls[ts], state.decoders[ts], now_ms,
                    state.repeater, reaction);
    }
    // The repeater's end of call closes both slots, so the next call on either
    // draws a fresh stream ID.
    if ((f[hf::FRAME_KIND] & hf::KIND_LOW_MASK) == hf::KIND_END_OF_CALL) {
        state.stream_open = {false, false};
    }
    return reaction;
}

std::size_t voice_tick(voice_receiver_state &state, std::int64_t now_ms,
                       std::array<voice_watchdog_end, 2> &out) {
    std::size_t count = 0;
    for (std::size_t ts = 0; ts < state.calls.size(); ++ts) {
        slot_call &call = state.calls[ts];
        if (!watchdog_due(call, now_ms)) {
            continue;
        }
        hf::Frame &t = out[count].terminator;
        t.fill(0);
        t[hf::SEQUENCE_LOW] = static_cast<std::uint8_t>(call.last_sequence + 1);
        t[hf::FRAME_KIND] = hf::KIND_TERMINATOR;
        hf::write_word(t, hf::SLOT_WORD, ts == 1 ? hf::SLOT_WORD_TS2 : hf::SLOT_WORD_TS1);
        hf::write_byte_word(t, hf::SLOT_TYPE, hf::TYPE_TERMINATOR);
        t[hf::CALL_TYPE] = call.is_private ? hf::CALL_PRIVATE : hf::CALL_GROUP;
        hf::write_id(t, hf::DESTINATION, call.destination);
        hf::write_id(t, hf::SOURCE, call.source);
        out[count++].stream_id = call.stream_id;
        state.stream_open[ts] = false;
        call.active = false;
        call_ended(call_direction::to_network, ts, call, call_end::watchdog, now_ms,
                   state.repeater);
    }
    return count;
}
