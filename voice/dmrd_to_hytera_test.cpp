#include "testing/test_frames.h"
#include "voice/dmrd_to_hytera.h"

#include "testing/test_support.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>

namespace hf = hytera_frame;
namespace df = dmrd_frame;
using voice_test::dmrd;
using namespace ferrule_test;

namespace {

// calloc hands out lazily zeroed pages, as the static instance gets them.
struct FreeState {
    void operator()(network_call_state *s) const { std::free(s); }
};

struct Link {
    std::unique_ptr<network_call_state, FreeState> state{
        static_cast<network_call_state *>(std::calloc(1, sizeof(network_call_state)))};
    hytera_target target{"", "127.0.0.1", 50000};
    dmrd_outcome last{};
    hytera_batch batch{};
    std::int64_t now_ms = 1000;
    // The frame the datagram itself became: the last of the batch.
    std::optional<hf::Frame> convert(const df::Frame &d) {
        last = dmrd_to_hytera(d, target, *state, now_ms, batch);
        if (last != dmrd_outcome::send) {
            return std::nullopt;
        }
        return batch.frames[batch.count - 1];
    }
};

constexpr std::uint8_t TS2 = df::FLAG_TS2;

// Bytes [first, first + n) of a frame.
std::vector<std::uint8_t> at(const hf::Frame &f, std::size_t first, std::size_t n) {
    return {f.begin() + static_cast<std::ptrdiff_t>(first),
            f.begin() + static_cast<std::ptrdiff_t>(first + n)};
}

// The burst crosses with the bytes of each pair exchanged, the BER byte as the pad.
void expect_swapped_burst(const hf::Frame &h, const df::Frame &d) {
    for (std::size_t k = 0; k < 17; ++k) {
        EXPECT_EQ(h[26 + 2 * k], d[21 + 2 * k]) << k;
        EXPECT_EQ(h[27 + 2 * k], d[20 + 2 * k]) << k;
    }
}

// One event of a call scenario on TS1: a voice frame (stream, source, kind)
// or, with kind 0, a tick; and the slot types the repeater gets for it.
struct CallStep {
    std::int64_t at_ms;
    std::uint32_t stream;
    std::uint32_t source;
    std::uint8_t kind;
    std::vector<std::uint8_t> sent;
};

struct CallScenario {
    const char *name;
    std::vector<CallStep> steps;
    const char *log_line; // appears exactly once
    call_end last_heard;
};

constexpr std::uint8_t TICK = 0, HEADER = 0x21, TERMINATOR = 0x22, BURST_A = 0x10, BURST_B = 0x01;
constexpr std::uint8_t SETUP = 0xEE, END = 0x22, A = 0x77, B = 0x88;

} // namespace

TEST(DmrdToHytera, Ts2NetworkCallReachesRepeaterOnce) {
    Link link;
    auto setup = link.convert(dmrd(0, 2621234, 262, TS2 | 0x21));
    ASSERT_TRUE(setup);
    EXPECT_EQ(at(*setup, 0, 24),
              (std::vector<std::uint8_t>{0x5A, 0x5A, 0x5A, 0x5A, 0,    0,    0,    0,
                                         0x02, 0,    0x05, 0x01, 2,    0,    0,    0,
                                         0x22, 0x22, 0xEE, 0xEE, 0x11, 0x11, 0x11, 0x11}));
    // Destination 262 then source 2621234, most significant byte first, every second byte.
    EXPECT_EQ(at(*setup, 24, 38),
              (std::vector<std::uint8_t>{0, 0,    0, 0,    0, 0,    0, 0, 0, 0, 0x01, 0, 0x06,
                                         0, 0x27, 0, 0xFF, 0, 0x32, 0, 0, 0, 0, 0,    0, 0,
                                         0, 0,    0, 0,    0, 0,    0, 0, 0, 0, 0,    0}));
    EXPECT_EQ(at(*setup, 62, 10),
              (std::vector<std::uint8_t>{1, 0, 0x06, 0x01, 0, 0, 0x32, 0xFF, 0x27, 0}));
    // The network repeats the header: the repeater hears the call set up once.
    EXPECT_FALSE(link.convert(dmrd(1, 2621234, 262, TS2 | 0x21)));
    EXPECT_FALSE(link.convert(dmrd(2, 2621234, 262, TS2 | 0x21)));

    const df::Frame burst_a = dmrd(3, 2621234, 262, TS2 | 0x10);
    auto a = link.convert(burst_a);
    ASSERT_TRUE(a);
    EXPECT_EQ(at(*a, 18, 7), (std::vector<std::uint8_t>{0x77, 0x77, 0x11, 0x11, 0, 0, 0x10}));
    EXPECT_EQ((*a)[8], 0x01);
    expect_swapped_burst(*a, burst_a);
    auto e = link.convert(dmrd(4, 2621234, 262, TS2 | 0x04));
    ASSERT_TRUE(e);
    EXPECT_EQ(at(*e, 0, 4), (std::vector<std::uint8_t>{0xEE, 0xEE, 0x11, 0x11}));

    auto end = link.convert(dmrd(5, 2621234, 262, TS2 | 0x22));
    ASSERT_TRUE(end);
    EXPECT_EQ((*end)[8], 0x03);
    EXPECT_EQ(hf::read_word(*end, hf::SLOT_TYPE), 0x2222);
    EXPECT_EQ(at(*end, 20, 40), std::vector<std::uint8_t>(40, 0));
    EXPECT_FALSE(link.convert(dmrd(6, 2621234, 262, TS2 | 0x22)));
    EXPECT_FALSE(link.convert(dmrd(7, 2621234, 262, TS2 | 0x22)));
}

TEST(DmrdToHytera, VoiceBurstAMatchesWorkedExample) {
    Link link;
    auto a = link.convert(dmrd(5, 1234567, 9, 0x10));
    ASSERT_TRUE(a);
    const std::array<std::uint8_t, 26> head = {0x5A, 0x5A, 0x5A, 0x5A, 0x05, 0x00, 0x00, 0x00, 0x01,
                                               0x00, 0x05, 0x01, 0x01, 0x00, 0x00, 0x00, 0x11, 0x11,
                                               0x77, 0x77, 0x11, 0x11, 0x00, 0x00, 0x10, 0x00};
    const std::array<std::uint8_t, 12> tail = {0x00, 0x00, 0x01, 0x00, 0x09, 0x00,
                                               0x00, 0x00, 0x87, 0xD6, 0x12, 0x00};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), a->begin()));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), a->begin() + 60));
    EXPECT_EQ((*a)[58], 0x7B); // BER byte rides along as the pad
}

TEST(DmrdToHytera, SequenceWrapCountsPerSource) {
    Link link;
    link.state->wrap_count[262000] = 6;
    // The call setup frame carries the count as it was, then restarts it.
    ASSERT_TRUE(link.convert(dmrd(0, 262000, 262, 0x21)));
    EXPECT_EQ(link.batch.frames[0][5], 6);
    const std::pair<std::uint8_t, std::uint8_t> expected[] = {{254, 0}, {255, 0}, {0, 1}};
    for (auto [sequence, wrap] : expected) {
        auto h = link.convert(dmrd(sequence, 262000, 262, 0x01));
        ASSERT_TRUE(h);
        EXPECT_EQ((*h)[4], sequence);
        EXPECT_EQ((*h)[5], wrap);
    }
    // A new call restarts the count.
    ASSERT_TRUE(link.convert(dmrd(1, 262000, 262, 0x22)));
    ASSERT_TRUE(link.convert(dmrd(255, 262000, 262, 0x21)));
    EXPECT_EQ(link.state->wrap_count[262000], 0u);
}

// Frames with IDs out of range, of no known kind or cut short are said and
// leave no call and no wrap count behind; IDs at the limits pass.
TEST(DmrdToHytera, IdValidationUnknownDataTypesAndShortDatagrams) {
    const struct {
        df::Frame d;
        std::size_t length;
        const char *line; // nullptr: accepted
    } cases[] = {
        {dmrd(255, 3999, 9, 0x21), df::LENGTH, "Invalid SrcID from MMDVM: 3999\n"},
        {dmrd(255, 9000001, 9, 0x21), df::LENGTH, "Invalid SrcID from MMDVM: 9000001\n"},
        {dmrd(255, 4000, 0, 0x21), df::LENGTH, "Invalid DestID from MMDVM: 0 - SourceID: 4000\n"},
        {dmrd(255, 4000, 9000001, 0x21), df::LENGTH,
         "Invalid DestID from MMDVM: 9000001 - SourceID: 4000\n"},
        {dmrd(255, 4000, 1, 0x21), df::LENGTH, nullptr},
        {dmrd(255, 9000000, 9000000, 0x21), df::LENGTH, nullptr},
        {dmrd(0, 5000, 9, 0x00), df::LENGTH, "Unknown DataType: 00 from 5000 at 311234\n"},
        {dmrd(0, 5000, 9, 0x11), df::LENGTH, "Unknown DataType: 11 from 5000 at 311234\n"},
        {dmrd(0, 5000, 9, 0x29), df::LENGTH, "Unknown DataType: 29 from 5000 at 311234\n"},
        {dmrd(0, 5000, 9, 0xB0), df::LENGTH, "Unknown DataType: b0 from 5000 at 311234\n"},
        {dmrd(255, 5000, 9, 0x21), 54, "Short DMRD frame from MMDVM: 54 bytes (dropped)\n"},
    };
    for (const auto &c : cases) {
        const std::uint32_t source = df::read_be(c.d, df::SOURCE, 3);
        SCOPED_TRACE(source);
        ferrule_test::CapturedLog log;
        Link link;
        const dmrd_outcome o = dmrd_to_hytera(std::span(c.d).first(c.length), link.target,
                                              *link.state, link.now_ms, link.batch);
        EXPECT_EQ(o == dmrd_outcome::send, c.line == nullptr) << int(c.d[df::FLAGS]);
        if (c.line != nullptr) {
            EXPECT_EQ(log.text(), c.line);
            EXPECT_FALSE(link.state->calls[0].active || link.state->calls[1].active);
            EXPECT_EQ(source <= NETWORK_ID_MAX ? link.state->wrap_count[source] : 0, 0u);
        }
    }
}

TEST(DmrdToHytera, DataCountersAndClassesPerSlot) {
    Link link;
    struct Step {
        std::uint8_t flags;
        std::uint32_t destination;
        std::uint8_t counter;
        std::uint16_t type;
        std::uint8_t data_class;
    };
    const Step steps[] = {
        {0x23, 100, 0, 0x3333, 0xDD}, {0x23, 100, 1, 0x3333, 0xD8}, {0x26, 200, 0, 0x4444, 0x94},
        {0x27, 200, 1, 0x5555, 0xB0}, {0x28, 200, 2, 0x6666, 0xB0}, {0x26, 200, 0, 0x4444, 0x94},
    };
    for (const Step &s : steps) {
        auto h = link.convert(dmrd(50, 5000, s.destination, s.flags));
        ASSERT_TRUE(h);
        EXPECT_EQ((*h)[4], s.counter) << int(s.flags);
        EXPECT_EQ((*h)[5], 0);
        EXPECT_EQ((*h)[8], 0x41);
        EXPECT_EQ((*h)[12], 1);
        EXPECT_EQ(hf::read_word(*h, hf::SLOT_TYPE), s.type);
        EXPECT_EQ((*h)[24], 0x40);
        EXPECT_EQ((*h)[25], s.data_class);
    }
    // TS2 keeps its own counter and is still numbered slot 1.
    auto ts2 = link.convert(dmrd(50, 5000, 100, TS2 | 0x23));
    ASSERT_TRUE(ts2);
    EXPECT_EQ((*ts2)[12], 1);
    EXPECT_EQ(hf::read_word(*ts2, hf::SLOT_WORD), 0x2222);
    EXPECT_EQ((*ts2)[25], 0xDD);
}

TEST(DmrdToHytera, FirmwareFamilies) {
    const struct {
        const char *firmware;
        std::uint8_t kind;
        std::uint8_t expected;
    } rule[] = {
        {"A7.05.07", hf::KIND_DATA, 0x01},
        {"A7.05.07", hf::KIND_TERMINATOR, 0x03},
        {"A8.02.01", hf::KIND_TERMINATOR, 0x43},
        {"A8.02.01", hf::KIND_CALL_SETUP, 0x42},
        {"A8.02.01", hf::KIND_VOICE, 0x41},
        {"", hf::KIND_DATA, 0x41},
        {"A", hf::KIND_VOICE, 0x01},
        {"B7", hf::KIND_DATA, 0x41},
    };
    for (const auto &c : rule) {
        EXPECT_EQ(hf::adjust_frame_kind(c.kind, c.firmware), c.expected)
            << c.firmware << " kind " << int(c.kind);
    }
    // The conversion applies it with the target's firmware.
    Link link;
    link.target.firmware = "A7.03";
    auto csbk = link.convert(dmrd(0, 5000, 9, 0x23));
    ASSERT_TRUE(csbk);
    EXPECT_EQ((*csbk)[8], 0x01);
    link.target.firmware = "A8.01";
    auto setup = link.convert(dmrd(0, 5000, 9, 0x21));
    ASSERT_TRUE(setup);
    EXPECT_EQ((*setup)[8], 0x42);
}

// Which addresses are usable is hytera_target_address's to say (below).
TEST(DmrdToHytera, NoRepeaterAddressUpdatesStateSendsNothing) {
    for (const auto &[address, port] :
         {std::pair<std::string_view, std::uint16_t>{"", 50000}, {"127.0.0.1", 0}}) {
        Link link;
        link.target = {"", address, port};
        EXPECT_FALSE(link.convert(dmrd(0, 5000, 9, 0x21)));
        EXPECT_EQ(link.last, dmrd_outcome::no_destination) << address;
        EXPECT_TRUE(link.state->calls[0].active);
    }
}

TEST(DmrdToHytera, TargetAddressForSending) {
    sockaddr_in a{};
    ASSERT_TRUE(hytera_target_address("192.168.1.20", 50001, a));
    EXPECT_EQ(a.sin_family, AF_INET);
    EXPECT_EQ(ntohs(a.sin_port), 50001);
    EXPECT_EQ(ntohl(a.sin_addr.s_addr), 0xC0A80114u);
    for (const char *bad : {"192.168.1.200000", "255.255.255.255", "0.0.0.0", "", "x"}) {
        EXPECT_FALSE(hytera_target_address(bad, 50001, a)) << bad;
    }
}

TEST(DmrdToHytera, OneCallPerSlotEndedByTerminatorOrWatchdog) {
    const CallScenario scenarios[] = {
        {"a cut call ends 1.5 s after its last frame; the source's next call gets its setup",
         {{0, 1, 5000, HEADER, {SETUP}},
          {60, 1, 5000, BURST_A, {A}},
          {1559, 0, 0, TICK, {}},
          {1560, 0, 0, TICK, {END}},
          {1700, 0, 0, TICK, {}},
          {2000, 2, 5000, HEADER, {SETUP}},
          {2060, 2, 5000, BURST_A, {A}}},
         "ended by the watchdog",
         call_end::watchdog},
        {"a new stream of the same source starts a call, without its header too",
         {{0, 1, 5000, HEADER, {SETUP}},
          {60, 1, 5000, TERMINATOR, {END}},
          {120, 1, 5000, TERMINATOR, {}},
          {200, 2, 5000, BURST_B, {SETUP, B}},
          // Its frame after the watchdog's time ends it before starting the next.
          {1700, 3, 5000, BURST_A, {END, SETUP, A}}},
         "ended by the watchdog",
         call_end::watchdog},
        {"a second stream on a busy slot is dropped and the first goes on",
         {{0, 1, 5000, HEADER, {SETUP}},
          {20, 2, 6000, HEADER, {}},
          {40, 2, 6000, BURST_A, {}},
          {60, 1, 5000, HEADER, {}},
          {80, 1, 5000, BURST_A, {A}},
          {100, 2, 6000, BURST_B, {}},
          {1000, 2, 6000, TERMINATOR, {}},
          {1500, 1, 5000, BURST_B, {B}},
          {1600, 1, 5000, TERMINATOR, {END}},
          // The slot is free again for the other stream.
          {1620, 2, 6000, BURST_A, {SETUP, A}}},
         "Network call dropped, TS1 busy: 6000 -> 9, stream 00000002; TS1 carries 5000 -> 9\n",
         call_end::terminator},
    };
    for (const CallScenario &s : scenarios) {
        SCOPED_TRACE(s.name);
        ferrule_test::CapturedLog log;
        voice_calls.reset();
        Link link;
        for (const CallStep &step : s.steps) {
            link.now_ms = step.at_ms;
            if (step.kind == TICK) {
                dmrd_tick(*link.state, link.target, step.at_ms, link.batch);
            } else {
                df::Frame d =
                    dmrd(static_cast<std::uint8_t>(step.at_ms / 20), step.source, 9, step.kind);
                df::write_be(d, df::STREAM_ID, 4, step.stream);
                link.convert(d);
            }
            std::vector<std::uint8_t> sent;
            for (std::size_t i = 0; i < link.batch.count; ++i) {
                sent.push_back(link.batch.frames[i][hf::SLOT_TYPE]);
            }
            EXPECT_EQ(sent, step.sent) << "at " << step.at_ms;
        }
        EXPECT_TRUE(contains_once(log.text(), s.log_line));
        const call_record::view v = voice_calls.copy();
        ASSERT_GT(v.last_count, 0U);
        EXPECT_EQ(v.last[0].how, s.last_heard);
    }
}

TEST(DmrdToHytera, WatchdogTerminatorEndsTheCutCall) {
    Link link;
    link.target.firmware = "A8.05";
    link.convert(dmrd(7, 2621234, 262, TS2 | 0x40 | BURST_A));
    EXPECT_EQ(dmrd_tick(*link.state, link.target, link.now_ms + 1500, link.batch), 1U);
    const hf::Frame &t = link.batch.frames[0];
    EXPECT_EQ(t[hf::FRAME_KIND], 0x43);
    EXPECT_EQ(hf::read_word(t, hf::SLOT_WORD), 0x2222);
    EXPECT_EQ(t[hf::SEQUENCE_LOW], 8); // the frame after the last
    EXPECT_EQ(t[hf::CALL_TYPE], hf::CALL_PRIVATE);
    EXPECT_EQ(hf::read_id(t, hf::SOURCE), 2621234U);
    EXPECT_EQ(hf::read_id(t, hf::DESTINATION), 262U);
    EXPECT_FALSE(network_call_running(*link.state));
}

// The master mode keeps a few wrap counts per repeater instead of a table of
// every source: a long call, with other sources' calls on the other slot and
// more sources than it holds in between, must reach the repeater exactly as
// with the table.
TEST(DmrdToHytera, ARepeatersFewWrapCountsConvertAsTheWholeTable) {
    ferrule_test::CapturedLog log;
    Link whole;
    repeater_call_state few{};
    few.repeater = 1;
    hytera_batch batch{};
    const std::uint8_t kinds[] = {0x10, 0x01, 0x02, 0x03, 0x04, 0x05};
    auto both = [&](const df::Frame &d, std::int64_t at) {
        whole.now_ms = at;
        whole.convert(d);
        const dmrd_outcome o = dmrd_to_hytera(d, whole.target, few, at, batch);
        ASSERT_EQ(o, whole.last);
        ASSERT_EQ(batch.count, whole.batch.count);
        for (std::size_t i = 0; i < batch.count; ++i) {
            ASSERT_EQ(batch.frames[i], whole.batch.frames[i]) << "at " << at;
        }
    };
    std::int64_t at = 1000;
    for (std::uint32_t call = 0; call < 12; ++call) {
        // TS1: one source's calls of 600 frames; TS2: a new source each time.
        const std::uint32_t other = 5000 + call;
        both(dmrd(0, 2621234, 262, 0x21), at += 60);
        both(dmrd(0, other, 91, TS2 | 0x21), at);
        for (int n = 1; n < 600; ++n) {
            const auto seq = static_cast<std::uint8_t>(n);
            both(dmrd(seq, 2621234, 262, kinds[n % 6]), at += 60);
            if (n < 20) {
                both(dmrd(seq, other, 91, TS2 | kinds[n % 6]), at);
            }
        }
        both(dmrd(0, 2621234, 262, 0x22), at += 60);
        both(dmrd(20, other, 91, TS2 | 0x22), at);
    }
}

// A burst the internet delivers twice goes to the repeater once, and is
// counted; a call long enough for its sequence numbers to come round again
// loses none of its bursts to that.
TEST(DmrdToHytera, DuplicatesDroppedAndCountedAcrossTheSequenceWrap) {
    CapturedLog log;
    voice_calls.reset();
    Link link;
    std::size_t sent = 0;
    for (int n = 0; n < 300; ++n) {
        const auto sequence = static_cast<std::uint8_t>(n);
        const std::uint8_t kind = n % 6 == 0 ? 0x10 : static_cast<std::uint8_t>(n % 6);
        sent += link.convert(dmrd(sequence, 2621234, 262, kind)) ? 1 : 0;
        if (n == 40 || n == 290) {
            EXPECT_FALSE(link.convert(dmrd(sequence, 2621234, 262, kind))) << n;
        }
    }
    EXPECT_EQ(sent, 300U);
    ASSERT_TRUE(link.convert(dmrd(44, 2621234, 262, 0x22)));
    const call_record::view v = voice_calls.copy();
    ASSERT_EQ(v.last_count, 1U);
    EXPECT_EQ(v.last[0].figures.duplicate_frames, 2U);
    EXPECT_EQ(v.last[0].figures.frames, 300U);
}
