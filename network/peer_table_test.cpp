#include "network/peer_table.h"

#include "network/messages.h"
#include "testing/test_support.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>
#include <vector>

using namespace ferrule_test;

namespace {

const char *const TIME = "Mon Jan  1 00:00:00 2024\n";

std::array<std::uint8_t, link_msg::RPTC_LENGTH> rptc(std::uint32_t id, const char *rx = "438500000",
                                                     const char *tx = "431100000",
                                                     const char *call = "DB0ABC") {
    std::array<std::uint8_t, 4> ack{};
    link_msg::put_u32(ack.data(), id);
    link_msg::rptc_source s{call, rx, tx, "5", "1", "50.1234", "8.12345", "Testort", "http://x"};
    std::array<std::uint8_t, link_msg::RPTC_LENGTH> out{};
    link_msg::build_rptc(ack, s, out);
    return out;
}

TEST(PeerTable, RecordFillsEveryFieldAndPrintsInsertLine) {
    peer_table t;
    CapturedLog log;
    auto result = t.insert(endpoint("10.0.0.1", 62031), rptc(26201), TIME);
    EXPECT_EQ(result.slot, 0);
    EXPECT_TRUE(result.recorded);
    peer_entry e = t.snapshot(0);
    EXPECT_STREQ(e.MMDVM_INDEX, ":10.0.0.1-:62031");
    EXPECT_EQ(ntohs(e.MMDVM_IP_PORT.sin_port), 62031);
    EXPECT_EQ(e.MMDVM_TIMER, 35);
    EXPECT_STREQ(e.MMDVM_Repeater_Shift, "7.4");
    EXPECT_STREQ(e.MMDVM_TX_Power, " 5");
    EXPECT_STREQ(e.MMDVM_ColorCode, " 1");
    EXPECT_STREQ(e.MMDVM_Location, "Testort             ");
    EXPECT_EQ(e.MMDVM_Slots, 3);
    EXPECT_STREQ(e.MMDVM_LoginTime, TIME);
    EXPECT_EQ(log.text(), std::string(TIME) +
                              "INSERT NR.0 MMDVM INDEX:<:10.0.0.1-:62031> CALL:<DB0ABC  > "
                              "ID:<26201> RX-QRG:<438.5000> TX-QRG:<431.1000> IP:<10.0.0.1> "
                              "PORT:<62031>\n");
}

TEST(PeerTable, RecordedTextsKeepPrintableAsciiOnly) {
    peer_table t;
    CapturedLog log;
    t.insert(endpoint("10.0.0.1", 62031), rptc(26201, "438500000", "431100000", "DB\x1b[2\a0"),
             TIME);
    EXPECT_STREQ(t.snapshot(0).MMDVM_Callsign, "DB[20 ");
    EXPECT_EQ(log.text().find('\x1b'), std::string::npos);
}

TEST(PeerTable, FrequencyAndShiftTexts) {
    struct row {
        const char *rx, *tx, *rx_text, *tx_text, *shift;
    };
    const std::vector<row> rows = {
        {"438500000", "431100000", "438.5000", "431.1000", "7.4"},
        {"431100000", "438500000", "431.1000", "438.5000", "-7.4"},
        {"  4385000", "4385000", "4.3850", "4.3850", "0.0"},
        {"", "abc", "0.0000", "0.0000", "0.0"},
    };
    for (const row &r : rows) {
        peer_frequency_texts f = peer_frequencies(r.rx, r.tx);
        EXPECT_STREQ(f.rx, r.rx_text) << r.rx;
        EXPECT_STREQ(f.tx, r.tx_text) << r.tx;
        EXPECT_STREQ(f.shift, r.shift) << r.rx << " " << r.tx;
    }
}

TEST(PeerTable, LargeIdsAreSubstituted) {
    struct row {
        std::uint32_t sent, recorded;
    };
    for (row r : std::vector<row>{{2620101, 901005}, {800000, 800000}, {800001, 901005}}) {
        peer_table t;
        CapturedLog log;
        t.insert(endpoint("10.0.0.1", 62031), rptc(r.sent), TIME);
        EXPECT_EQ(t.snapshot(0).MMDVM_ID, r.recorded) << r.sent;
    }
}

TEST(PeerTable, PongsShortMessagesAndRepeatedRptcOnlyRefreshKnownPeers) {
    peer_table t;
    CapturedLog log;
    const auto full = rptc(7);
    // Only a whole RPTC records a peer; a pong or a cut RPTC from a stranger does nothing.
    EXPECT_EQ(t.insert(endpoint("10.0.0.1", 62031), {}, TIME).slot, -1);
    EXPECT_EQ(t.insert(endpoint("10.0.0.1", 62031), std::span(full).first(301), TIME).slot, -1);
    EXPECT_EQ(log.text(), "");
    t.insert(endpoint("10.0.0.1", 62031), full, TIME);
    t.tick();
    // Same address, other port: another peer, and a pong does not record it.
    EXPECT_EQ(t.insert(endpoint("10.0.0.1", 62032), {}, TIME).slot, -1);
    const std::string before = log.text();
    // A repeated RPTC only refreshes: the recorded ID stays.
    EXPECT_FALSE(t.insert(endpoint("10.0.0.1", 62031), rptc(99), TIME).recorded);
    EXPECT_EQ(t.snapshot(0).MMDVM_TIMER, 35);
    EXPECT_EQ(t.snapshot(0).MMDVM_ID, 7u);
    EXPECT_EQ(log.text(), before);
}

TEST(PeerTable, FullTableRecordsNothingAndFreedSlotIsReused) {
    peer_table t;
    CapturedLog log;
    for (std::uint16_t p = 1; p <= MMDVM_PEER_SLOTS; ++p) {
        EXPECT_EQ(t.insert(endpoint("10.0.0.1", p), rptc(p), TIME).slot, p - 1);
    }
    std::string before = log.text();
    EXPECT_EQ(t.insert(endpoint("10.0.0.2", 1), rptc(1), TIME).slot, -1);
    EXPECT_EQ(log.text(), before);

    // Keep all but slot 3 alive, let slot 3 run out.
    for (int s = 0; s < MMDVM_PEER_LIFE_SECONDS; ++s) {
        for (std::uint16_t p = 1; p <= MMDVM_PEER_SLOTS; ++p) {
            if (p != 4) {
                t.insert(endpoint("10.0.0.1", p), {}, TIME);
            }
        }
        t.tick();
    }
    EXPECT_FALSE(t.snapshot(3).used());
    EXPECT_EQ(t.snapshot(3).MMDVM_ID, 0u);
    EXPECT_TRUE(t.snapshot(2).used());
    EXPECT_TRUE(t.snapshot(4).used());
    EXPECT_EQ(t.insert(endpoint("10.0.0.2", 1), rptc(1), TIME).slot, 3);
}

TEST(PeerTimer, SilentPeerTimesOutOnThe35thTickAndResetsLogin) {
    peer_table t;
    login_watch watch;
    std::atomic<int> state{2};
    CapturedLog log;
    t.insert(endpoint("10.0.0.1", 62031), rptc(26201), TIME);
    for (int i = 1; i < MMDVM_PEER_LIFE_SECONDS; ++i) {
        link_timer_tick(t, watch, state);
        ASSERT_TRUE(t.snapshot(0).used()) << "tick " << i;
    }
    EXPECT_EQ(state.load(), 2);
    link_timer_tick(t, watch, state);
    EXPECT_FALSE(t.snapshot(0).used());
    EXPECT_EQ(state.load(), 0);
    EXPECT_TRUE(contains(log.text(), "TIME OUT MMDV INDEX:<:10.0.0.1-:62031> CALL:<DB0ABC  > "
                                     "ID:<26201> RX-QRG:<438.5000> TX-QRG:<431.1000>\n"));
    // Freed slots keep their texts until recorded again.
    EXPECT_STREQ(t.snapshot(0).MMDVM_Callsign, "DB0ABC  ");
}

TEST(PeerTimer, KeySentStateFallsBackAfter35Seconds) {
    peer_table t;
    login_watch watch;
    std::atomic<int> state{1};
    CapturedLog log;
    for (int i = 1; i < MMDVM_PEER_LIFE_SECONDS; ++i) {
        link_timer_tick(t, watch, state);
    }
    EXPECT_EQ(state.load(), 1);
    EXPECT_EQ(log.text(), "");
    link_timer_tick(t, watch, state);
    EXPECT_EQ(state.load(), 0);
    EXPECT_EQ(log.text(), ".....recv no RPTACK 1 for 35 s  ---TIME OUT--- login state 0\n");

    // Leaving state 1 in between starts the count afresh.
    state = 1;
    for (int i = 0; i < 20; ++i) {
        link_timer_tick(t, watch, state);
    }
    state = 2;
    link_timer_tick(t, watch, state);
    state = 1;
    for (int i = 0; i < 34; ++i) {
        link_timer_tick(t, watch, state);
    }
    EXPECT_EQ(state.load(), 1);
    // In states 0 and 2 the watch never acts.
    for (int s : {0, 2}) {
        state = s;
        for (int i = 0; i < 40; ++i) {
            link_timer_tick(t, watch, state);
        }
        EXPECT_EQ(state.load(), s);
    }
}

} // namespace
