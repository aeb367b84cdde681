#include "network/link.h"

#include "core/settings.h"
#include "testing/link_bytes.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <string>
#include <vector>

using namespace ferrule_test;
using link_msg::tag;

namespace {

const char *const TIME = "Mon Jan  1 00:00:00 2024\n";

bytes message(const std::string &tag_text, const bytes &rest) {
    return text(tag_text) + rest;
}

bytes rptack(std::uint32_t value) {
    bytes ack(4);
    link_msg::put_u32(ack.data(), value);
    return text("RPTACK") + ack;
}

// A link with its own state, peer table and repeater table.
struct link_fixture : ::testing::Test {
    std::atomic<int> state{0};
    peer_table peers;
    repeater_table repeaters;
    source_drop_log drops;
    sockaddr_in peer = endpoint("127.0.0.1", 62031);
    link_context ctx{peer, state, peers, repeaters, drops};
    CapturedLog log;

    link_fixture() {
        std::strcpy(ctx.time_text, TIME);
        test_location();
        identified_repeater(repeaters, 0, "026201");
    }
    link_reaction react(const std::vector<std::uint8_t> &d) { return link_react(d, peer, ctx); }
};

using LinkReact = link_fixture;

TEST_F(LinkReact, LoginFromStateZeroToTwoWithItsLines) {
    link_reaction r = react(rptack(0x11223344));
    EXPECT_EQ(state.load(), 1);
    ASSERT_EQ(r.reply_length, link_msg::RPTK_LENGTH);
    EXPECT_EQ(std::memcmp(r.reply.data(), "RPTK\x11\x22\x33\x44", 8), 0);
    EXPECT_EQ(ntohs(r.reply_to.sin_port), 62031);

    r = react(rptack(1));
    EXPECT_EQ(state.load(), 2);
    ASSERT_EQ(r.reply_length, link_msg::RPTC_LENGTH);
    EXPECT_EQ(std::memcmp(r.reply.data(), "RPTC\0\0\0\1DB0ABC  438500000431100000 5 1", 38), 0);
    peer_entry e = peers.snapshot(0);
    EXPECT_STREQ(e.MMDVM_INDEX, ":127.0.0.1-:62031");
    EXPECT_EQ(e.MMDVM_ID, 1u);
    // The repeater's TX frequency goes out in the field the peer reads as RX.
    EXPECT_STREQ(e.MMDVM_RX_Freq, "438.5000");

    r = react(rptack(1));
    EXPECT_EQ(state.load(), 2);
    EXPECT_EQ(r.reply_length, 0u);
    EXPECT_EQ(log.text(), std::string(".....recv RPTACK 0:287454020\n"
                                      ".....send RPTK:287454020\n"
                                      ".....recv RPTACK 1:1\n"
                                      ".....send RPTC:1\n") +
                              TIME +
                              "INSERT NR.0 MMDVM INDEX:<:127.0.0.1-:62031> CALL:<DB0ABC  > "
                              "ID:<1> RX-QRG:<438.5000> TX-QRG:<431.1000> IP:<127.0.0.1> "
                              "PORT:<62031>\n"
                              ".....recv RPTACK 2:1\n");
}

// The login mode's configuration is what it has always been, whatever the
// keys of the other modes say.
TEST_F(LinkReact, TheLoginConfigurationIgnoresDescriptionAndHeight) {
    std::strcpy(Location_Latitude, "50.1234");
    std::strcpy(Location_Longitude, "8.12345");
    const std::string expected =
        std::string("RPTC\0\0\0\1", 8) + "DB0ABC  438500000431100000 5 150.1234 8.12345  000" +
        "Testort" + std::string(13, ' ') + "Multi-Mode Repeater3" + std::string(124, ' ') +
        "20171220" + std::string(32, ' ') + "MMDVM" + std::string(35, ' ');
    for (const char *description : {"Multi-Mode Repeater", "Berg"}) {
        std::strcpy(Location_Description, description);
        Location_Height = description[0] == 'B' ? 42 : 0;
        state = 0;
        react(rptack(1));
        const link_reaction r = react(rptack(1));
        EXPECT_EQ(std::string(r.reply.begin(), r.reply.begin() + r.reply_length), expected)
            << description;
    }
}

TEST_F(LinkReact, RefusalsAreLoggedInEveryStateAndChangeNothing) {
    for (int s : {0, 1, 2}) {
        state = s;
        for (const char *t : {"RPTNAK", "MSTNAK"}) {
            CapturedLog local;
            link_reaction r = react(message(t, {0xFF, 0xFF, 0xFF, 0xFF}));
            EXPECT_EQ(state.load(), s);
            EXPECT_EQ(r.reply_length, 0u);
            EXPECT_EQ(local.text(), std::string(".....recv ") + t + ":-1  ---ERROR---\n");
        }
    }
}

TEST_F(LinkReact, PongsRefreshTheRecordedPeerAndDmrdIsHandedOn) {
    react(rptack(5));
    react(rptack(5));
    for (const char *t : {"RPTPONG", "MSTPONG"}) {
        peers.tick();
        EXPECT_EQ(react(message(t, {0, 0, 0x66, 0x59})).kind,
                  t[0] == 'R' ? tag::RPTPONG : tag::MSTPONG);
        EXPECT_EQ(peers.snapshot(0).MMDVM_TIMER, 35) << t;
    }
    EXPECT_TRUE(react(message("DMRD", std::vector<std::uint8_t>(51, 0x5A))).hand_on_dmrd);
    EXPECT_EQ(state.load(), 2);
}

TEST_F(LinkReact, DatagramsFromAnyoneButThePeerAreDroppedWithRateLimitedLine) {
    struct row {
        const char *address;
        std::uint16_t port;
    };
    for (row src : std::vector<row>{{"127.0.0.3", 62031}, {"127.0.0.1", 62030}}) {
        CapturedLog local;
        for (int i = 0; i < 5; ++i) {
            link_reaction r = link_react(rptack(1), endpoint(src.address, src.port), ctx);
            EXPECT_FALSE(r.from_peer);
            EXPECT_EQ(r.reply_length, 0u);
        }
        link_react(message("MSTPONG", {}), endpoint(src.address, src.port), ctx);
        link_react(message("DMRD", std::vector<std::uint8_t>(51)), endpoint(src.address, src.port),
                   ctx);
        EXPECT_EQ(state.load(), 0);
        EXPECT_FALSE(peers.snapshot(0).used());
        EXPECT_EQ(local.text(), ".....recv from " + std::string(src.address) + ":" +
                                    std::to_string(src.port) + "  ---NOT THE PEER, DROPPED---\n");
    }
    // A minute later the same source is worth one more line.
    CapturedLog later;
    ctx.now_seconds += 60;
    link_react(rptack(1), endpoint("127.0.0.3", 62031), ctx);
    link_react(rptack(1), endpoint("127.0.0.3", 62031), ctx);
    EXPECT_EQ(later.text(), ".....recv from 127.0.0.3:62031  ---NOT THE PEER, DROPPED---\n");
}

TEST(SourceDropLog, FloodOfSourcesNeverExceedsTheMemory) {
    source_drop_log drops;
    int logged = 0;
    for (std::uint16_t p = 1; p <= 200; ++p) {
        logged += drops.should_log(endpoint("10.0.0.9", p), 100) ? 1 : 0;
    }
    EXPECT_EQ(logged, static_cast<int>(source_drop_log::CAPACITY));
    // Once their minute has passed, remembered sources make room for new ones.
    EXPECT_TRUE(drops.should_log(endpoint("10.0.0.9", 500), 160));
    EXPECT_FALSE(drops.should_log(endpoint("10.0.0.9", 500), 161));
}

TEST(Keepalive, AnnouncedRepeatersOnlyRptlInStateZeroElsePing) {
    struct row {
        const char *name;
        const char *ip;
        int rdac_ok;
        const char *id;
        int login;
        std::size_t length;
        std::string log;
    };
    const std::vector<row> rows = {
        {"not identified", "127.0.0.2", 0, "026201", 0, 0, ""},
        {"free slot", "", 1, "026201", 0, 0, ""},
        {"login", "127.0.0.2", 1, "026201", 0, 8, ".....send RPTL:26201\n"},
        {"keep-alive", "127.0.0.2", 1, "026201", 2, 11, ""},
        {"key sent", "127.0.0.2", 1, "026201", 1, 11, ""},
        {"id not a number", "127.0.0.2", 1, "x1", 0, 8, ".....send RPTL:0\n"},
    };
    for (const row &r : rows) {
        repeater_entry e{};
        std::strcpy(e.Hytera_RPT_ip, r.ip);
        std::strcpy(e.Hytera_RPT_DmrID, r.id);
        e.Hytera_RPT_RDAC_OK = r.rdac_ok;
        CapturedLog log;
        keepalive_datagram d = keepalive_for(e, r.login);
        EXPECT_EQ(d.length, r.length) << r.name;
        EXPECT_EQ(log.text(), r.log) << r.name;
        if (d.length == 8) {
            EXPECT_EQ(std::memcmp(d.bytes.data(), "RPTL", 4), 0);
        }
        if (d.length == 11) {
            EXPECT_EQ(std::memcmp(d.bytes.data(), "RPTPING\0\0\x66\x59", 11), 0);
        }
    }
}

} // namespace
