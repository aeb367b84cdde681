#include "testing/test_frames.h"
#include "voice/voice_receiver.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace hf = hytera_frame;
using voice_test::hytera;

namespace {

std::vector<int> draws;
std::size_t next_draw = 0;
int fake_random() {
    return draws[next_draw++ % draws.size()];
}

hf::Frame frame(std::uint8_t slot, std::uint8_t type, bool setup_mark, std::uint8_t kind) {
    hf::Frame f = hytera(slot, type, 1, 1, 1234567, 9);
    if (setup_mark) {
        hf::write_word(f, hf::SETUP_MARK, hf::MARK_SET);
    }
    f[hf::FRAME_KIND] = kind;
    return f;
}

struct Receiver {
    voice_receiver_state state;
    voice_reaction receive(const hf::Frame &f) { return voice_receive(f, state, fake_random, 0); }
};

} // namespace

TEST(VoiceReceiver, OnlyRegistrationAndFrameLengthsAct) {
    voice_receiver_state state;
    const std::uint8_t bytes[hf::RECEIVE_CAPACITY] = {0x99};
    const std::pair<std::size_t, voice_action> cases[] = {
        {1, voice_action::answer_registration},
        {0, voice_action::ignore},
        {71, voice_action::ignore},
        {73, voice_action::ignore},
        {224, voice_action::ignore},
    };
    for (auto [length, action] : cases) {
        EXPECT_EQ(voice_receive(std::span(bytes, length), state, fake_random, 0).action, action)
            << length;
    }
}

TEST(VoiceReceiver, StreamIdsDrawnAtSetupMarkAndClosedByTerminator) {
    draws = {1, 2, 3, 4, 254, 255, 509, 7};
    next_draw = 0;
    Receiver r;
    EXPECT_EQ(r.receive(frame(0x11, 0x77, false, 1)).stream_id, 0u);
    EXPECT_EQ(r.receive(frame(0x11, 0x11, true, 1)).stream_id, 0x01020304u);
    EXPECT_EQ(r.receive(frame(0x11, 0x77, true, 1)).stream_id, 0x01020304u);
    EXPECT_EQ(r.receive(frame(0x11, 0x22, false, 0x43)).stream_id, 0x01020304u);
    // The second call draws 254, 255, 509, 7: never a 0xFF byte.
    EXPECT_EQ(r.receive(frame(0x11, 0x11, true, 1)).stream_id, 0xFE00FE07u);
    EXPECT_EQ(r.receive(frame(0x11, 0x22, false, 3)).action, voice_action::forward);
    // Without a setup mark the last call's ID is reused.
    EXPECT_EQ(r.receive(frame(0x11, 0x77, false, 1)).stream_id, 0xFE00FE07u);
}

TEST(VoiceReceiver, TerminatorOnOneSlotClosesBoth) {
    draws = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    next_draw = 0;
    Receiver r;
    const std::uint32_t ts2 = r.receive(frame(0x22, 0x11, true, 1)).stream_id;
    EXPECT_EQ(r.receive(frame(0x11, 0x11, true, 1)).stream_id, 0x05060708u);
    r.receive(frame(0x11, 0x22, false, 3));
    EXPECT_NE(r.receive(frame(0x22, 0x77, true, 1)).stream_id, ts2);
}

TEST(VoiceReceiver, UnknownSlotWordKeepsPreviousSlot) {
    draws = {1, 1, 1, 1, 2, 2, 2, 2};
    next_draw = 0;
    Receiver r;
    r.receive(frame(0x22, 0x11, true, 1));
    hf::Frame odd = frame(0x22, 0x77, false, 1);
    hf::write_word(odd, hf::SLOT_WORD, 0x3333);
    EXPECT_EQ(r.receive(odd).stream_id, 0x01010101u);
    EXPECT_EQ(r.state.time_slot, 1u);
}

TEST(VoiceReceiver, FilteredFrames) {
    draws = {9, 9, 9, 9};
    next_draw = 0;
    Receiver r;
    hf::Frame far = frame(0x11, 0x77, false, 1);
    hf::write_id(far, hf::DESTINATION, 10000000);
    EXPECT_EQ(r.receive(far).action, voice_action::ignore);
    hf::write_id(far, hf::DESTINATION, 9999999);
    EXPECT_EQ(r.receive(far).action, voice_action::forward);

    EXPECT_EQ(r.receive(frame(0x11, 0xDD, false, 1)).action, voice_action::ignore);
    // A call setup frame opens the stream but is not forwarded.
    EXPECT_EQ(r.receive(frame(0x11, 0xEE, true, 2)).action, voice_action::ignore);
    EXPECT_TRUE(r.state.stream_open[0]);
    EXPECT_EQ(r.receive(frame(0x11, 0x77, false, 1)).stream_id, 0x09090909u);
}

TEST(VoiceReceiver, WatchdogEndsACallWhoseTerminatorNeverCame) {
    draws = {1, 2, 3, 4, 5, 6, 7, 8};
    next_draw = 0;
    struct Step {
        std::int64_t at_ms;
        std::optional<hf::Frame> frame; // none: a tick
        std::size_t ended;              // terminators the tick gives
    };
    hf::Frame header = frame(0x22, 0x11, true, 1);
    header[hf::SEQUENCE_LOW] = 40;
    hf::Frame burst = frame(0x22, 0x77, false, 1);
    burst[hf::SEQUENCE_LOW] = 41;
    const hf::Frame terminator = frame(0x22, 0x22, false, 3);
    const hf::Frame csbk = frame(0x11, 0x33, true, 1);
    const Step steps[] = {
        {0, header, 0},
        {60, burst, 0},
        {1559, std::nullopt, 0},
        {1560, std::nullopt, 1},
        {1700, std::nullopt, 0},
        {2000, header, 0},
        {2060, terminator, 0},
        {4000, std::nullopt, 0},
        // Data alone is no call.
        {4100, csbk, 0},
        {9000, std::nullopt, 0},
    };
    Receiver r;
    std::array<voice_watchdog_end, 2> ended{};
    for (const Step &s : steps) {
        std::size_t count = 0;
        if (s.frame) {
            voice_receive(*s.frame, r.state, fake_random, s.at_ms);
        } else {
            count = voice_tick(r.state, s.at_ms, ended);
        }
        EXPECT_EQ(count, s.ended) << "at " << s.at_ms;
        if (s.at_ms == 1560) {
            const hf::Frame &t = ended[0].terminator;
            EXPECT_EQ(ended[0].stream_id, 0x01020304U);
            EXPECT_EQ(hf::read_word(t, hf::SLOT_WORD), hf::SLOT_WORD_TS2);
            EXPECT_EQ(t[hf::SLOT_TYPE], hf::TYPE_TERMINATOR);
            EXPECT_EQ(t[hf::SEQUENCE_LOW], 42);
            EXPECT_EQ(hf::read_id(t, hf::SOURCE), 1234567U);
            EXPECT_EQ(hf::read_id(t, hf::DESTINATION), 9U);
            EXPECT_FALSE(r.state.stream_open[1]);
        }
    }
    // The call after the watchdog drew a stream ID of its own.
    EXPECT_EQ(r.state.stream_id[1], 0x05060708U);
}
