#include "hytera/rdac.h"
#include "sim/repeater_packets.h"
#include "testing/hytera_helpers.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

using namespace ferrule_test;
namespace rp = repeater_packets;

namespace {

constexpr std::uint16_t RDAC_PORT = 62007;
constexpr std::time_t NOW = 1700000000;
using bytes = std::vector<std::uint8_t>;

template <std::size_t N> bytes of(const std::array<std::uint8_t, N> &a) {
    return {a.begin(), a.end()};
}

struct Sent {
    std::vector<bytes> packets;
    std::vector<std::string> destinations;
};

Sent react(repeater_table &t, const bytes &d, const char *ip, rdac_state &state,
           std::uint16_t port = 40000) {
    outbox box;
    rdac_react(t, open_guard(), d, endpoint(ip, port), RDAC_PORT, state, NOW, box);
    Sent s;
    for (std::size_t i = 0; i < box.count; ++i) {
        EXPECT_EQ(box.items[i].via, socket_kind::rdac);
        s.packets.push_back(bytes_of(box.items[i]));
        s.destinations.push_back(destination_of(box.items[i]));
    }
    return s;
}

void register_repeater(repeater_table &t, const char *ip) {
    outbox box;
    t.insert(PORT_KIND_CONTROL, endpoint(ip, 30001), ip, RDAC_PORT, NOW, box);
}

// The checksum as the repeater computes it, not as the gateway does.
bool checksum_holds(const bytes &p) {
    bytes copy = p;
    rp::rdac_checksum(copy.data(), copy.size());
    return copy == p;
}

} // namespace

TEST(RdacChecksum, EveryStoredTemplateSatisfiesIt) {
    for (const bytes &t : {of(start12), of(start24), of(next1_12), of(next2_12), of(next2_25),
                           of(next3_12), of(next3_25), of(next4_25), of(next4_12)}) {
        EXPECT_TRUE(checksum_holds(t)) << t.size() << " bytes, sequence " << int(t[7]);
    }
}

TEST(RdacPort, ReactionTable) {
    const bytes generic7{0x7E, 0x04, 0x00, 0x10, 0x20, 0x10, 0x00, 0x07, 0x00, 0x0C, 0x61, 0xC8};
    bytes bad225 = rp::rdac_packet(225, 0, 3);
    bad225[1] = 0x05;
    const struct {
        const char *name;
        bytes datagram;
        std::vector<bytes> expected;
        bool logged;
    } cases[] = {
        {"24 bytes", datagram(24), {of(start12), of(start24)}, false},
        {"resend request", rp::rdac_packet(12, 0xFD, 9), {of(start24)}, false},
        {"sequence 3", rp::rdac_packet(12, 0x10, 3), {of(next4_25)}, false},
        {"other 12", rp::rdac_packet(12, 0x10, 2), {}, false},
        {"12 without header", datagram(12, {{3, 0xFD}}), {}, false},
        {"25 seq 1", rp::rdac_packet(25, 0, 1), {of(next1_12)}, false},
        {"25 seq 2", rp::rdac_packet(25, 0, 2), {of(next2_12), of(next2_25)}, false},
        {"25 seq 7", rp::rdac_packet(25, 0, 7), {generic7}, false},
        {"25 without header", datagram(25, {{7, 1}}), {}, false},
        {"225", rp::rdac_packet(225, 0, 3), {of(next3_12), of(next3_25)}, false},
        {"225 without header", bad225, {}, false},
        {"71", rp::rdac_packet(71, 0, 4), {of(next4_12)}, false},
        {"29 without header", datagram(29, {{6, 0x00}, {7, 0x07}}), {generic7}, false},
        {"34", rp::rdac_packet(34, 0, 7), {generic7}, false},
        {"38", rp::rdac_packet(38, 0, 7), {generic7}, false},
        {"30 logged", rp::rdac_packet(30, 0, 7), {generic7}, true},
        {"300 logged", rp::rdac_packet(300, 0, 7), {generic7}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        CapturedLog log;
        repeater_table t;
        rdac_state state;
        Sent s = react(t, c.datagram, "10.0.0.5", state);
        EXPECT_EQ(s.packets, c.expected);
        for (const std::string &d : s.destinations) {
            EXPECT_EQ(d, "10.0.0.5:40000");
        }
        const std::string line =
            ".......unresolved RDAC recvlen:" + std::to_string(c.datagram.size()) +
            " an_ip:10.0.0.5\n";
        EXPECT_EQ(log.text().find(line) != std::string::npos, c.logged);
    }
}

TEST(RdacPort, ShortDatagramsKeepTheLastAcknowledgedSequence) {
    CapturedLog log;
    repeater_table t;
    rdac_state state;
    react(t, rp::rdac_packet(25, 0, 0x0107), "10.0.0.5", state);
    for (std::size_t n : {0u, 2u, 7u}) {
        Sent s = react(t, datagram(n), "10.0.0.5", state);
        ASSERT_EQ(s.packets.size(), 1u);
        EXPECT_EQ(s.packets[0][6], 0x01);
        EXPECT_EQ(s.packets[0][7], 0x07);
        EXPECT_TRUE(checksum_holds(s.packets[0]));
    }
    EXPECT_NE(log.text().find("recvlen:0 an_ip:10.0.0.5"), std::string::npos);
}

TEST(RdacPort, GreetingRegistersAndAsksUntilIdentified) {
    CapturedLog log;
    repeater_table t;
    rdac_state state;
    // New repeater: ack, the pair from registration (to its RDAC port) and the
    // pair again.
    Sent s = react(t, {0x00}, "10.0.0.5", state);
    EXPECT_EQ(s.packets,
              (std::vector<bytes>{of(ack), of(start12), of(start24), of(start12), of(start24)}));
    EXPECT_EQ(s.destinations,
              (std::vector<std::string>{"10.0.0.5:40000", "10.0.0.5:62007", "10.0.0.5:62007",
                                        "10.0.0.5:62007", "10.0.0.5:62007"}));
    // Registered but not identified: the pair goes to the sender.
    s = react(t, {0x00}, "10.0.0.5", state);
    EXPECT_EQ(s.packets, (std::vector<bytes>{of(ack), of(start12), of(start24)}));
    EXPECT_EQ(s.destinations[2], "10.0.0.5:40000");
    // Identified: ack only.
    react(t, rp::radio_data(), "10.0.0.5", state);
    EXPECT_EQ(react(t, {0x00}, "10.0.0.5", state).packets, (std::vector<bytes>{of(ack)}));
}

TEST(RdacPort, IdentityAndRadioDataAreStoredAndLoggedOnce) {
    CapturedLog log;
    repeater_table t;
    rdac_state state;
    register_repeater(t, "10.0.0.5");
    register_repeater(t, "10.0.0.6");
    react(t, rp::identity_answer(), "10.0.0.5", state);
    repeater_entry e = t.snapshot(0);
    EXPECT_STREQ(e.Hytera_RPT_Callsign, "N0CALL");
    EXPECT_STREQ(e.Hytera_RPT_Firmware, "A8.05.07.001");
    EXPECT_STREQ(e.Hytera_RPT_Model, "RD985");
    EXPECT_STREQ(e.Hytera_RPT_Serialnumme, "1234567890");
    EXPECT_EQ(e.Hytera_RPT_RDAC_OK, 0);
    EXPECT_STREQ(t.snapshot(1).Hytera_RPT_Callsign, "");

    react(t, rp::radio_data(), "10.0.0.5", state);
    e = t.snapshot(0);
    EXPECT_STREQ(e.Hytera_RPT_DmrID, "2621234");
    EXPECT_STREQ(e.Hytera_RPT_TX_requency, "439.2750");
    EXPECT_STREQ(e.Hytera_RPT_RX_requency, "431.6750");
    EXPECT_STREQ(e.Hytera_RPT_TX_Frequency, "439275000");
    EXPECT_STREQ(e.Hytera_RPT_RX_Frequency, "431675000");
    EXPECT_STREQ(e.Hytera_RPT_Shift, "7.6");
    EXPECT_EQ(e.Hytera_RPT_RDAC_OK, 1);
    const std::string text = log.text();
    EXPECT_NE(text.find("\033[1;36mHytera_RPT Login Type:0 IP:10.0.0.5        ID:262123 "
                        "Call:          N0CALL TX:439.2750  Shift:7.6    Hardware:RD985     "
                        "\033[0m\n\033[1;36mFirmware:A8.05.07.001 ID:262123 "
                        "SerialNr:1234567890\033[0m\n"),
              std::string::npos)
        << text;

    // A second answer overwrites the fields; beside the colour it logs only
    // the change of ID.
    react(t, rp::radio_data({.id = 12345, .tx = 431675000, .rx = 439275000}), "10.0.0.5", state);
    EXPECT_STREQ(t.snapshot(0).Hytera_RPT_DmrID, "012345");
    EXPECT_STREQ(t.snapshot(0).Hytera_RPT_Shift, "-7.6");
    std::string later = log.text().substr(text.size());
    EXPECT_EQ(later, "Repeater 10.0.0.5 (index 0) changed its DMR ID from 2621234 to 012345\n"
                     "\033[1;36m");

    // A firmware text not beginning with A stops later identity answers.
    react(t, rp::identity_answer({.callsign = "SECOND", .firmware = "V1.0"}), "10.0.0.5", state);
    EXPECT_STREQ(t.snapshot(0).Hytera_RPT_Callsign, "SECOND");
    react(t, rp::identity_answer({.callsign = "THIRD"}), "10.0.0.5", state);
    EXPECT_STREQ(t.snapshot(0).Hytera_RPT_Callsign, "SECOND");
}

TEST(RdacPort, RadioDataBeforeIdentityAndFromStrangers) {
    CapturedLog log;
    repeater_table t;
    rdac_state state;
    register_repeater(t, "10.0.0.5");
    const bytes answer = rp::radio_data({.id = 7, .tx = 2, .rx = 1});
    react(t, answer, "10.0.0.99", state);
    EXPECT_EQ(t.snapshot(0).Hytera_RPT_RDAC_OK, 0);
    react(t, answer, "10.0.0.5", state);
    EXPECT_EQ(t.snapshot(0).Hytera_RPT_RDAC_OK, 1);
    EXPECT_STREQ(t.snapshot(0).Hytera_RPT_DmrID, "000007");
    // Registration left the firmware as "A": the firmware line shows it.
    EXPECT_NE(log.text().find("Firmware:A ID:000007 SerialNr:\033[0m\n"), std::string::npos);

    // An FW firmware suppresses the firmware line.
    repeater_table t2;
    register_repeater(t2, "10.0.0.5");
    CapturedLog log2;
    react(t2, rp::identity_answer({.firmware = "FW1"}), "10.0.0.5", state);
    react(t2, answer, "10.0.0.5", state);
    EXPECT_EQ(log2.text().find("Firmware:"), std::string::npos);
}
