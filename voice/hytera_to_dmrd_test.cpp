// The repeater's voice towards the network: the voice port's receiver, which
// draws the stream IDs and ends cut calls, and the conversion to DMRD.
#include "testing/test_frames.h"
#include "voice/hytera_to_dmrd.h"
#include "voice/voice_receiver.h"

#include "testing/test_support.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace hf = hytera_frame;
namespace df = dmrd_frame;
using voice_test::hytera;
using namespace ferrule_test;

namespace {

// The conversions run with the gateway's own coder, whose bursts the coder's
// tests pin byte for byte.
constexpr const lc_builders &BUILDERS = DMR_CODER_BUILDERS;

struct Peer {
    peer_slot_view view{"127.0.0.1-:62031", 311234, "DL0ABC", 3};
    peer_sequence sequence{};
    std::optional<df::Frame> convert(const hf::Frame &f, std::uint32_t stream = 0x0A0B0C0D,
                                     std::size_t slot = 0) {
        df::Frame out{};
        if (!hytera_to_dmrd(f, slot, view, view.key, stream, sequence, BUILDERS, out)) {
            return std::nullopt;
        }
        return out;
    }
};

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

constexpr std::uint8_t CALL_TYPES[] = {0x11, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0x22};

} // namespace

TEST(HyteraToDmrd, Ts2CallFlagsAndSequence) {
    struct Case {
        std::uint8_t call_type;
        std::array<std::uint8_t, 8> flags;
    };
    const Case cases[] = {
        {1, {0xA1, 0x90, 0x81, 0x82, 0x83, 0x84, 0x85, 0xA2}},
        {0, {0xE1, 0xD0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xE2}},
    };
    for (const Case &c : cases) {
        ferrule_test::CapturedLog log;
        Peer peer;
        peer.sequence.dmrd_sequence[1] = 77; // an earlier call's count
        for (std::size_t i = 0; i < std::size(CALL_TYPES); ++i) {
            auto out = peer.convert(hytera(0x22, CALL_TYPES[i], static_cast<std::uint8_t>(i + 1),
                                           c.call_type, 1234567, 9));
            ASSERT_TRUE(out) << i;
            EXPECT_EQ((*out)[df::FLAGS], c.flags[i]) << i;
            EXPECT_EQ((*out)[df::SEQUENCE], i) << i;
        }
        EXPECT_EQ(peer.sequence.dmrd_sequence[0], 0); // TS1 untouched
        EXPECT_TRUE(contains(log.text(), "START of Voice TS2"));
    }
}

TEST(HyteraToDmrd, VoiceBurstBMatchesWorkedExample) {
    Peer peer;
    ASSERT_TRUE(peer.convert(hytera(0x22, 0x11, 1, 1, 1234567, 9)));
    ASSERT_TRUE(peer.convert(hytera(0x22, 0x77, 2, 1, 1234567, 9)));
    const hf::Frame in = hytera(0x22, 0x88, 3, 1, 1234567, 9);
    auto out = peer.convert(in);
    ASSERT_TRUE(out);
    const std::array<std::uint8_t, 20> head = {0x44, 0x4D, 0x52, 0x44, 0x02, 0x12, 0xD6,
                                               0x87, 0x00, 0x00, 0x09, 0x00, 0x04, 0xBF,
                                               0xC2, 0x81, 0x0A, 0x0B, 0x0C, 0x0D};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), out->begin()));
    for (std::size_t k = 0; k < 16; ++k) {
        EXPECT_EQ((*out)[20 + 2 * k], in[27 + 2 * k]);
        EXPECT_EQ((*out)[21 + 2 * k], in[26 + 2 * k]);
    }
    EXPECT_EQ((*out)[52], in[59]);
    EXPECT_EQ((*out)[53], 0); // pad byte discarded
    EXPECT_EQ((*out)[54], 0);
}

// The LC bursts of a group call 9 <- 1234567 land byte for byte in the DMRD
// data field, header and terminator each from its own builder.
TEST(HyteraToDmrd, LcBurstsComputedFromCallIds) {
    ferrule_test::CapturedLog log;
    Peer peer;
    auto header = peer.convert(hytera(0x11, 0x11, 1, 1, 1234567, 9), 0x1234);
    auto terminator = peer.convert(hytera(0x11, 0x22, 2, 1, 1234567, 9), 0x1234);
    ASSERT_TRUE(header && terminator);
    EXPECT_TRUE(std::equal(header->begin() + df::BURST, header->begin() + df::BURST + 33,
                           ipscpacket_construct_payload_voice_lc_header(1, 9, 1234567)));
    EXPECT_TRUE(std::equal(terminator->begin() + df::BURST, terminator->begin() + df::BURST + 33,
                           ipscpacket_construct_payload_terminator_with_lc(1, 9, 1234567)));
    EXPECT_EQ((*header)[df::BER], 0);
    EXPECT_EQ(log.text(), "MMDVM DL0ABC (RPT3) START of Voice TS1 (1234) s:1234567 d:9\n"
                          "MMDVM DL0ABC (RPT) End of Voice TS1 (1234) s:1234567 d:9\n");
}

TEST(HyteraToDmrd, AllCallAndUndefinedDroppedAfterCounterAdvanced) {
    struct Case {
        std::uint8_t call_type;
        const char *line;
    };
    const Case cases[] = {
        {0x02, "ALLCALL from 1234567 at 311234 (dropped)\n"},
        {0x17, "Undefined Call Type 07 from 1234567 at 311234 (dropped)\n"},
    };
    for (const Case &c : cases) {
        ferrule_test::CapturedLog log;
        Peer peer;
        EXPECT_FALSE(peer.convert(hytera(0x11, 0x11, 1, c.call_type, 1234567, 9)));
        EXPECT_FALSE(peer.convert(hytera(0x11, 0x77, 2, c.call_type, 1234567, 9)));
        EXPECT_EQ(peer.sequence.dmrd_sequence[0], 1);
        const std::string text = log.text();
        EXPECT_EQ(text.find("MMDVM DL0ABC (RPT3) START"), 0u);
        EXPECT_TRUE(contains(text, std::string(c.line) + c.line));
    }
}

TEST(HyteraToDmrd, RepeatedSequenceByteLoggedAndStillSent) {
    ferrule_test::CapturedLog log;
    Peer peer;
    hf::Frame f = hytera(0x11, 0x77, 9, 1, 1234567, 9);
    f[hf::SEQUENCE_HIGH] = 4;
    ASSERT_TRUE(peer.convert(f));
    auto second = peer.convert(f, 0, 0);
    ASSERT_TRUE(second);
    EXPECT_EQ((*second)[df::SEQUENCE], 2);
    EXPECT_EQ(log.text(), "(0) loop HytBuffer_in[4,5]:9 4\n");
}

TEST(HyteraToDmrd, UnknownKindsNotSentAndCounterKept) {
    for (std::uint8_t type : {0xDD, 0xEE, 0x00, 0x12}) {
        Peer peer;
        EXPECT_FALSE(peer.convert(hytera(0x22, type, 1, 1, 1234567, 9)));
        EXPECT_EQ(peer.sequence.dmrd_sequence, (std::array<std::uint8_t, 2>{0, 0}));
    }
    // Only byte 18 names the kind; an unknown kind also puts the frame on TS1.
    Peer peer;
    hf::Frame f = hytera(0x22, 0x77, 1, 1, 1234567, 9);
    f[hf::SLOT_TYPE + 1] = 0x12;
    auto out = peer.convert(f);
    ASSERT_TRUE(out);
    EXPECT_EQ((*out)[df::FLAGS], 0x90);
}

// A free slot and another peer's are passed over, said once each, and their
// counts kept; so is a frame cut short.
TEST(HyteraToDmrd, AllPeersGoesToMatchingSlotOnly) {
    struct Table {
        std::array<peer_slot_view, PEER_SLOTS> slots{};
        std::vector<std::size_t> sent;
    } table;
    table.slots[1] = {"a", 311234, "DL0ABC", 3};
    table.slots[4] = {"b", 311235, "DL0XYZ", 3};
    std::array<peer_sequence, PEER_SLOTS> sequences{};
    ferrule_test::CapturedLog log;
    const hf::Frame f = hytera(0x11, 0x77, 1, 1, 1234567, 9);
    hytera_to_dmrd_all_peers(
        f, "b", 0, sequences, BUILDERS,
        [](std::size_t slot, void *user) { return static_cast<Table *>(user)->slots[slot]; },
        [](std::size_t slot, std::span<const std::uint8_t, df::LENGTH>, void *user) {
            static_cast<Table *>(user)->sent.push_back(slot);
        },
        &table);
    EXPECT_EQ(table.sent, std::vector<std::size_t>{4});
    EXPECT_EQ(sequences[4].dmrd_sequence[0], 1);
    EXPECT_EQ(sequences[1].dmrd_sequence[0], 0);
    EXPECT_EQ(sequences[0].dmrd_sequence[0], 0);
    EXPECT_EQ(log.text(), "kein Repeater unter Index 0 angemeldet -> abbrechen\nfalsche nummer\n");
    df::Frame out{};
    EXPECT_FALSE(hytera_to_dmrd(std::span(f).first(71), 4, table.slots[4], "b", 0, sequences[4],
                                BUILDERS, out));
    EXPECT_EQ(sequences[4].dmrd_sequence[0], 1);
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
