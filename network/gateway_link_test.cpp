#include "network/gateway_link.h"

#include "core/settings.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using ferrule_test::CapturedLog;
using ferrule_test::endpoint;

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr std::int64_t S = 1000;

bytes text(const std::string &s) {
    return {s.begin(), s.end()};
}
bytes operator+(bytes a, const bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
bytes sent(const link_output &o) {
    return {o.bytes.begin(), o.bytes.begin() + static_cast<std::ptrdiff_t>(o.length)};
}

const bytes ID = {0x00, 0x27, 0xFA, 0xC5}; // 2620101

// The configuration as MMDVMHost formats it, with the fields of the RPTC:
// the repeater's TX frequency is what the gateway receives on.
const std::string DMRC_TEXT = "DB0ABC  "
                              "438500000"
                              "431100000"
                              "05"
                              "01"
                              "3" +
                              std::string("20171220") + std::string(32, ' ') + "MMDVM" +
                              std::string(35, ' ');

struct gateway_fixture : ::testing::Test {
    peer_table peers;
    repeater_table repeaters;
    sockaddr_in peer = endpoint("127.0.0.1", 62031);
    CapturedLog log;
    gateway_link g{peer, 0, peers, repeaters};

    gateway_fixture() {
        std::strcpy(Location_Watt, "5");
        std::strcpy(Location_CC, "1");
        set_repeater("2620101");
    }
    void set_repeater(const char *id) {
        repeaters.locked([&](auto &slots) {
            std::strcpy(slots[0].Hytera_RPT_ip, "127.0.0.2");
            std::strcpy(slots[0].Hytera_RPT_DmrID, id);
            std::strcpy(slots[0].Hytera_RPT_Callsign, "DB0ABC");
            std::strcpy(slots[0].Hytera_RPT_TX_Frequency, "438500000");
            std::strcpy(slots[0].Hytera_RPT_RX_Frequency, "431100000");
            slots[0].Hytera_RPT_RDAC_OK = 1;
        });
    }
    static link_clock at(std::int64_t ms) { return {ms, "Mon Jan  1 00:00:00 2024\n"}; }
    bytes tick(std::int64_t ms) { return sent(g.tick(at(ms))); }
    link_output from_gateway(const std::string &d, std::int64_t ms) {
        return g.receive(text(d), peer, at(ms));
    }
};

using GatewayLink = gateway_fixture;

TEST_F(GatewayLink, SendsTheConfigurationEveryTenSecondsAndRecordsThePeerForVoice) {
    const bytes dmrc = tick(0);
    ASSERT_EQ(dmrc.size(), link_msg::DMRC_LENGTH);
    EXPECT_EQ(dmrc, text("DMRC") + ID + text(DMRC_TEXT));
    const peer_entry e = peers.snapshot(0);
    EXPECT_STREQ(e.MMDVM_INDEX, ":127.0.0.1-:62031");
    EXPECT_EQ(e.MMDVM_ID, 2620101U);
    EXPECT_TRUE(e.MMDVM_ID_exact);

    EXPECT_TRUE(tick(9999).empty());
    EXPECT_EQ(tick(10 * S), dmrc);
    EXPECT_TRUE(tick(15 * S).empty());
    EXPECT_EQ(tick(20 * S), dmrc);
    EXPECT_EQ(g.status().last_ping_ms, 20 * S);
    EXPECT_NE(log.text().find("gateway link to 127.0.0.1:62031: repeater 2620101 announced, "
                              "configuration (DMRC) every 10 s\n"),
              std::string::npos);
}

TEST_F(GatewayLink, NumbersTooWideForTheirFieldsKeepTheLayout) {
    std::strcpy(Location_Watt, "100");
    std::strcpy(Location_CC, "99");
    repeaters.locked([](auto &slots) {
        std::strcpy(slots[0].Hytera_RPT_Callsign, "DB0ABCDEFG");
        std::strcpy(slots[0].Hytera_RPT_TX_Frequency, "1296000000");
        std::strcpy(slots[0].Hytera_RPT_RX_Frequency, "");
    });
    const bytes dmrc = tick(0);
    ASSERT_EQ(dmrc.size(), link_msg::DMRC_LENGTH);
    EXPECT_EQ(std::string(dmrc.begin() + 8, dmrc.begin() + 47), "DB0ABCDE"
                                                                "999999999"
                                                                "000000000"
                                                                "99"
                                                                "99"
                                                                "3"
                                                                "20171220");
}

TEST_F(GatewayLink, NothingBeforeTheRepeaterIsIdentifiedAndANewIdIsAnnouncedAtOnce) {
    repeaters.reset();
    EXPECT_TRUE(tick(0).empty());
    EXPECT_FALSE(peers.snapshot(0).used());
    set_repeater("2620101");
    EXPECT_EQ(tick(1 * S).size(), link_msg::DMRC_LENGTH);

    set_repeater("2620102");
    const bytes next = tick(2 * S);
    ASSERT_EQ(next.size(), link_msg::DMRC_LENGTH);
    EXPECT_EQ(bytes(next.begin() + 4, next.begin() + 8), bytes({0x00, 0x27, 0xFA, 0xC6}));
    EXPECT_EQ(peers.snapshot(0).MMDVM_ID, 2620102U) << "voice follows the new ID";

    repeaters.reset();
    EXPECT_TRUE(tick(12 * S).empty());
    EXPECT_EQ(g.status().state, link_state::waiting);
    EXPECT_TRUE(peers.snapshot(0).used()) << "voice of other repeaters still has a peer";
}

TEST_F(GatewayLink, AMinuteWithoutDmrpIsLoggedOnceAndItsReturnToo) {
    tick(0);
    from_gateway("DMRP", 100);
    EXPECT_EQ(g.status().state, link_state::up);
    tick(60 * S + 99);
    EXPECT_EQ(g.status().state, link_state::up);
    tick(60 * S + 100);
    EXPECT_EQ(g.status().state, link_state::silent);
    for (std::int64_t t = 61 * S; t < 200 * S; t += S) {
        tick(t);
    }
    from_gateway("DMRP", 200 * S);
    EXPECT_EQ(g.status().state, link_state::up);
    EXPECT_EQ(g.status().last_pong_ms, 200 * S);
    const std::string lines = log.text();
    const std::string silent =
        "gateway link to 127.0.0.1:62031: no DMRP from the gateway for 60 s, "
        "voice still sent\n";
    EXPECT_EQ(lines.find(silent), lines.rfind(silent)) << lines;
    EXPECT_NE(lines.find(silent + "gateway link to 127.0.0.1:62031: the gateway answers again "
                                  "(DMRP)\n"),
              std::string::npos)
        << lines;
}

TEST_F(GatewayLink, BeaconRequestsAreLoggedOnceAMinuteAndVoiceIsHandedOn) {
    tick(0);
    for (std::int64_t t = 0; t < 120 * S; t += 10 * S) {
        from_gateway("DMRB", t);
    }
    std::string lines = log.text();
    std::size_t n = 0;
    for (std::size_t at = lines.find("(DMRB)"); at != std::string::npos;
         at = lines.find("(DMRB)", at + 1)) {
        ++n;
    }
    EXPECT_EQ(n, 2U);
    EXPECT_TRUE(from_gateway("DMRD" + std::string(51, '\0'), 0).hand_on_dmrd);
    EXPECT_FALSE(
        g.receive(text("DMRD" + std::string(51, '\0')), endpoint("127.0.0.1", 62099), at(0))
            .hand_on_dmrd)
        << "only the configured port is the peer";
}

} // namespace

// The newest DMRGateway releases read their configuration from their own file
// and take a DMRC for an unknown packet: with DMRC off nothing but voice goes out.
TEST_F(GatewayLink, WithoutDmrcTheAnnouncementSendsNothingAndVoiceStillHasItsPeer) {
    gateway_link quiet{peer, 0, peers, repeaters, false};
    for (std::int64_t ms = 0; ms <= 30 * S; ms += S) {
        EXPECT_EQ(quiet.tick(at(ms)).length, 0u) << ms;
    }
    EXPECT_EQ(peers.snapshot(0).MMDVM_ID, 2620101u);
    quiet.receive(text("DMRP"), peer, at(31 * S));
    EXPECT_EQ(quiet.status().state, link_state::up);
    EXPECT_NE(log.text().find("repeater 2620101 announced, no configuration (DMRC) sent"),
              std::string::npos);
}
