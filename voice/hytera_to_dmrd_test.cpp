#include "testing/test_frames.h"
#include "voice/hytera_to_dmrd.h"

#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace hf = hytera_frame;
namespace df = dmrd_frame;
using voice_test::hytera;

namespace {

// Group call 9 <- 1234567 as the coder builds it.
constexpr std::array<std::uint8_t, 34> HEADER_9_1234567 = {
    0x02, 0x8F, 0x08, 0x34, 0x03, 0x68, 0x0F, 0x98, 0x1A, 0x20, 0x3F, 0x20,
    0xC4, 0x6D, 0xFF, 0x57, 0xD7, 0x5D, 0xF5, 0xDE, 0x33, 0xD8, 0x17, 0x48,
    0x13, 0xA0, 0x04, 0x40, 0x54, 0x01, 0xBB, 0x00, 0xAE, 0x00};
constexpr std::array<std::uint8_t, 34> TERMINATOR_9_1234567 = {
    0x02, 0xE0, 0x08, 0xE0, 0x03, 0xD8, 0x0F, 0xE0, 0x1A, 0x50, 0x3F, 0x80,
    0xC4, 0xAD, 0xFF, 0x57, 0xD7, 0x5D, 0xF5, 0xD9, 0x66, 0xCC, 0x14, 0x70,
    0x14, 0xC0, 0x08, 0x00, 0x5C, 0x01, 0xA2, 0x00, 0x9D, 0x00};

struct BuilderCall {
    int call_type;
    std::uint32_t destination;
    std::uint32_t source;
};
std::vector<BuilderCall> builder_calls;

const std::uint8_t *fake_header(std::uint8_t call_type, std::uint32_t d, std::uint32_t s) {
    builder_calls.push_back({call_type, d, s});
    return HEADER_9_1234567.data();
}
const std::uint8_t *fake_terminator(std::uint8_t call_type, std::uint32_t d, std::uint32_t s) {
    builder_calls.push_back({call_type, d, s});
    return TERMINATOR_9_1234567.data();
}
constexpr lc_builders BUILDERS{fake_header, fake_terminator};

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
        EXPECT_NE(log.text().find("START of Voice TS2"), std::string::npos);
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

TEST(HyteraToDmrd, LcBurstsComputedFromCallIds) {
    ferrule_test::CapturedLog log;
    builder_calls.clear();
    Peer peer;
    auto header = peer.convert(hytera(0x11, 0x11, 1, 1, 1234567, 9), 0x1234);
    auto terminator = peer.convert(hytera(0x11, 0x22, 2, 1, 1234567, 9), 0x1234);
    ASSERT_TRUE(header && terminator);
    EXPECT_TRUE(std::equal(HEADER_9_1234567.begin(), HEADER_9_1234567.begin() + 33,
                           header->begin() + df::BURST));
    EXPECT_TRUE(std::equal(TERMINATOR_9_1234567.begin(), TERMINATOR_9_1234567.begin() + 33,
                           terminator->begin() + df::BURST));
    EXPECT_EQ((*header)[df::BER], 0);
    ASSERT_EQ(builder_calls.size(), 2u);
    EXPECT_EQ(builder_calls[0].call_type, 1);
    EXPECT_EQ(builder_calls[0].destination, 9u);
    EXPECT_EQ(builder_calls[0].source, 1234567u);
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
        EXPECT_NE(text.find(std::string(c.line) + c.line), std::string::npos) << text;
    }
}

TEST(HyteraToDmrd, LargePeerIdsPresentedAsSubstitute) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {800000, 800000}, {800001, 901005}, {311234, 311234}};
    for (auto [id, sent] : cases) {
        Peer peer;
        peer.view.id = id;
        auto out = peer.convert(hytera(0x11, 0x77, 1, 1, 1234567, 9));
        ASSERT_TRUE(out);
        EXPECT_EQ(df::read_be(*out, df::REPEATER_ID, 4), sent);
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

TEST(HyteraToDmrd, FreeSlotWrongPeerAndShortFrame) {
    ferrule_test::CapturedLog log;
    Peer peer;
    df::Frame out{};
    const hf::Frame f = hytera(0x11, 0x77, 1, 1, 1234567, 9);
    peer_slot_view free_slot{};
    EXPECT_FALSE(hytera_to_dmrd(f, 0, free_slot, "", 0, peer.sequence, BUILDERS, out));
    EXPECT_FALSE(hytera_to_dmrd(f, 1, free_slot, "", 0, peer.sequence, BUILDERS, out));
    EXPECT_FALSE(hytera_to_dmrd(f, 2, peer.view, "other", 0, peer.sequence, BUILDERS, out));
    EXPECT_FALSE(hytera_to_dmrd(std::span(f).first(71), 0, peer.view, peer.view.key, 0,
                                peer.sequence, BUILDERS, out));
    EXPECT_EQ(log.text(), "kein Repeater unter Index 0 angemeldet -> abbrechen\nfalsche nummer\n");
    EXPECT_EQ(peer.sequence.dmrd_sequence[0], 0);
}

TEST(HyteraToDmrd, AllPeersGoesToMatchingSlotOnly) {
    struct Table {
        std::array<peer_slot_view, PEER_SLOTS> slots{};
        std::vector<std::size_t> sent;
    } table;
    table.slots[1] = {"a", 311234, "DL0ABC", 3};
    table.slots[4] = {"b", 311235, "DL0XYZ", 3};
    std::array<peer_sequence, PEER_SLOTS> sequences{};
    ferrule_test::CapturedLog log;
    hytera_to_dmrd_all_peers(
        hytera(0x11, 0x77, 1, 1, 1234567, 9), "b", 0, sequences, BUILDERS,
        [](std::size_t slot, void *user) { return static_cast<Table *>(user)->slots[slot]; },
        [](std::size_t slot, std::span<const std::uint8_t, df::LENGTH>, void *user) {
            static_cast<Table *>(user)->sent.push_back(slot);
        },
        &table);
    EXPECT_EQ(table.sent, std::vector<std::size_t>{4});
    EXPECT_EQ(sequences[4].dmrd_sequence[0], 1);
    EXPECT_EQ(sequences[1].dmrd_sequence[0], 0);
    EXPECT_EQ(log.text(), "kein Repeater unter Index 0 angemeldet -> abbrechen\nfalsche nummer\n");
}

// The LC bursts of a group call 9 <- 1234567 from the gateway's own coder land
// byte for byte in the DMRD data field.
TEST(HyteraToDmrd, CoderBurstsInsideTheFrame) {
    ferrule_test::CapturedLog log;
    peer_slot_view view{"127.0.0.1-:62031", 311234, "DL0ABC", 3};
    peer_sequence sequence{};
    const struct {
        std::uint8_t kind;
        const std::array<std::uint8_t, 34> &burst;
    } cases[] = {{0x11, HEADER_9_1234567}, {0x22, TERMINATOR_9_1234567}};
    std::uint8_t seq = 1;
    for (const auto &c : cases) {
        df::Frame out{};
        ASSERT_TRUE(hytera_to_dmrd(hytera(0x22, c.kind, seq++, 1, 1234567, 9), 0, view, view.key, 7,
                                   sequence, DMR_CODER_BUILDERS, out));
        EXPECT_TRUE(std::equal(c.burst.begin(), c.burst.begin() + df::BURST_LENGTH,
                               out.begin() + df::BURST));
    }
}
