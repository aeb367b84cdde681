#include "voice/voice_receiver.h"

#include "core/log.h"

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
} // namespace

void voice_receiver_banner() {
    ferrule_log("%s", "\033[0;33m");
    ferrule_log("Start Audio  Modul  V1.01\n");
    ferrule_log("%s", "\033[0m");
}

voice_reaction voice_receive(std::span<const std::uint8_t> datagram, voice_receiver_state &state,
                             voice_random random) {
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
    const voice_reaction reaction{voice_action::forward, state.stream_id[ts]};
    // The repeater's end of call closes both slots, so the next call on either
    // draws a fresh stream ID.
    if ((f[hf::FRAME_KIND] & hf::KIND_LOW_MASK) == hf::KIND_END_OF_CALL) {
        state.stream_open = {false, false};
    }
    return reaction;
}
