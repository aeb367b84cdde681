// The RDAC port's reactions, and the repeater ports against strangers: the
// allow-list, the full table, RDAC answers from the wrong port, identity
// changes, text that is not printable and the close of a repeater whose ID
// another one holds.
#include "hytera/control.h"
#include "hytera/guard.h"
#include "hytera/online.h"
#include "hytera/rdac.h"
#include "sim/repeater_packets.h"
#include "testing/hytera_helpers.h"
#include "testing/test_support.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace ferrule_test;
namespace rp = repeater_packets;

namespace {

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

bytes identity(const std::string &call) {
    return rp::identity_answer({.callsign = call});
}
bytes answer(std::uint32_t id) {
    return rp::radio_data({.id = id});
}

std::size_t react(repeater_table &t, repeater_guard &g, const bytes &d, const sockaddr_in &from,
                  rdac_state &state, std::time_t now = NOW) {
    outbox box;
    if (d.size() == 20 || d.size() == 24) {
        control_react(t, g, d, from, PORTS, now, box);
    } else {
        rdac_react(t, g, d, from, RDAC_PORT, state, now, box);
    }
    return box.count;
}

std::string slot0(const repeater_table &t) {
    const repeater_entry e = t.snapshot(0);
    return std::string(e.Hytera_RPT_ip) + "|" + e.Hytera_RPT_DmrID + "|" + e.Hytera_RPT_Callsign +
           "|" + std::to_string(e.Hytera_RPT_RDAC_OK);
}

// 127.0.0.2 registered on the control port, greeted from RDAC port 62007 and
// identified as 2621234 / DB0TST.
void identified_repeater(repeater_table &t, rdac_state &state) {
    react(t, open_guard(), datagram(20), endpoint("127.0.0.2", 30001), state);
    for (const bytes &d : {bytes{0}, identity("DB0TST"), answer(2621234)}) {
        react(t, open_guard(), d, endpoint("127.0.0.2", 62007), state);
    }
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
    EXPECT_TRUE(contains(log.text(), "recvlen:0 an_ip:10.0.0.5"));
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
    EXPECT_TRUE(contains(text, "\033[1;36mHytera_RPT Login Type:0 IP:10.0.0.5        ID:262123 "
                               "Call:          N0CALL TX:439.2750  Shift:7.6    Hardware:RD985     "
                               "\033[0m\n\033[1;36mFirmware:A8.05.07.001 ID:262123 "
                               "SerialNr:1234567890\033[0m\n"))
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
    EXPECT_TRUE(contains(log.text(), "Firmware:A ID:000007 SerialNr:\033[0m\n"));
}

TEST(RepeaterGuard, OutsideAddressesGetNothingAndChangeNothingLoggedOnceAMinute) {
    CapturedLog log;
    ipv4_allow_list allow;
    char error[ipv4_allow_list::ERROR_SIZE];
    ASSERT_TRUE(allow.parse("127.0.0.2, 10.0.0.0/8", error));
    repeater_guard guard(allow);
    repeater_table t;
    rdac_state state;
    identified_repeater(t, state);
    const std::string before = slot0(t);

    const auto stranger = endpoint("127.0.0.9", 40000);
    const std::vector<bytes> all = {datagram(20),
                                    datagram(24, {{20, 0x10}}),
                                    datagram(24, {{20, 0x11}}),
                                    bytes{0},
                                    datagram(12),
                                    identity("EVIL"),
                                    answer(7),
                                    datagram(30)};
    for (int second = 0; second < 59; ++second) {
        for (const bytes &d : all) {
            EXPECT_EQ(react(t, guard, d, stranger, state, NOW + second), 0u);
        }
    }
    EXPECT_EQ(t.find("127.0.0.9"), -1);
    EXPECT_EQ(slot0(t), before);
    EXPECT_EQ(state.rssi_rdac_ack, rdac_state{}.rssi_rdac_ack);
    EXPECT_EQ(count_of(log.text(), "refused"), 1u) << log.text();
    react(t, guard, bytes{0}, stranger, state, NOW + 60);
    EXPECT_TRUE(contains(log.text(),
                         "Datagram from 127.0.0.9:40000 on the RDAC port refused: address "
                         "not in Hytera_RPT_allow (471 more refused from 127.0.0.9 since the "
                         "last line)\n"));
    // Inside the list, a new repeater registers as before.
    EXPECT_EQ(react(t, guard, datagram(20), endpoint("10.1.2.3", 1), state), 3u);
}

TEST(RepeaterGuard, AFullTableAnswersNoNewcomerAndSaysSoOnceAMinute) {
    CapturedLog log;
    repeater_table t;
    rdac_state state;
    for (int i = 0; i < 50; ++i) {
        react(t, open_guard(), datagram(20), endpoint(("10.1.0." + std::to_string(i)).c_str(), 1),
              state);
    }
    const auto late = endpoint("10.9.9.9", 41234);
    for (int second = 0; second < 30; ++second) {
        for (const bytes &d : {datagram(24, {{20, 0x11}}), datagram(20), bytes{0}, datagram(25)}) {
            EXPECT_EQ(react(t, open_guard(), d, late, state, NOW + second), 0u);
        }
    }
    EXPECT_EQ(t.find("10.9.9.9"), -1);
    react(t, open_guard(), datagram(20), late, state, NOW + 60);
    const std::string line =
        "Repeater table full, all 50 slots in use: 10.9.9.9 refused and not answered";
    EXPECT_EQ(count_of(log.text(), line), 2u) << log.text();
    EXPECT_TRUE(contains(log.text(), line + " (119 more refused since the last line)\n"));
    EXPECT_EQ(react(t, open_guard(), datagram(20), endpoint("10.1.0.7", 1), state), 1u);
}

TEST(RdacGuard, AnswersOnlyFromTheRepeatersRdacPortAndChangesAreLogged) {
    CapturedLog log;
    repeater_table t;
    rdac_state state;
    identified_repeater(t, state);
    EXPECT_EQ(slot0(t), "127.0.0.2|2621234|DB0TST|1");
    for (const bytes &d : {answer(7), identity("EVIL")}) {
        EXPECT_EQ(react(t, open_guard(), d, endpoint("127.0.0.2", 50000), state), 0u);
    }
    EXPECT_EQ(slot0(t), "127.0.0.2|2621234|DB0TST|1");
    EXPECT_TRUE(contains(log.text(),
                         "RDAC answer from 127.0.0.2:50000 ignored: the repeater at 127.0.0.2 "
                         "answers from port 62007\n"));

    for (const bytes &d : {identity("DB0NEW"), answer(2621999), answer(2621999)}) {
        react(t, open_guard(), d, endpoint("127.0.0.2", 62007), state);
    }
    EXPECT_EQ(slot0(t), "127.0.0.2|2621999|DB0NEW|1");
    const std::string text = log.text();
    EXPECT_TRUE(contains(
        text, "Repeater 127.0.0.2 (index 0) changed its call sign from DB0TST to DB0NEW\n"));
    EXPECT_TRUE(contains(
        text, "Repeater 127.0.0.2 (index 0) changed its DMR ID from 2621234 to 2621999\n"));
    EXPECT_EQ(count_of(text, "changed its"), 2u);
}

TEST(RdacGuard, IdentityTextsKeepPrintableAsciiOnly) {
    CapturedLog log;
    repeater_table t;
    outbox box;
    t.insert(PORT_KIND_CONTROL, endpoint("127.0.0.2", 1), "127.0.0.2", RDAC_PORT, NOW, box);
    // Escape sequences, a bell, a forged line and bytes above 0x7E.
    const bytes p = rp::identity_answer({.callsign = "DB\x1b[2J\a0\r\nXX\x7f\xff",
                                         .firmware = "A8\x1b]0;x\a.05",
                                         .model = "R\aD98",
                                         .serial = "12\x9b"
                                                   "3"});
    rdac225(t, "127.0.0.2", std::span<const std::uint8_t, 225>(p.data(), 225));
    const repeater_entry e = t.snapshot(0);
    EXPECT_STREQ(e.Hytera_RPT_Callsign, "DB[2J0XX");
    EXPECT_STREQ(e.Hytera_RPT_Firmware, "A8]0;x.05");
    EXPECT_STREQ(e.Hytera_RPT_Model, "RD98");
    EXPECT_STREQ(e.Hytera_RPT_Serialnumme, "123");
}

TEST(OnlineGuard, NoCloseForAnIdThatAnotherRepeaterStillHolds) {
    CapturedLog log;
    repeater_table t;
    outbox box;
    for (const char *ip : {"127.0.0.9", "127.0.0.2", "127.0.0.3"}) {
        t.insert(PORT_KIND_CONTROL, endpoint(ip, 1), ip, RDAC_PORT, NOW, box);
    }
    // A stranger with the real repeater's ID, and one never identified.
    t.locked([](auto &s) {
        std::strcpy(s[0].Hytera_RPT_DmrID, "2621234");
        std::strcpy(s[1].Hytera_RPT_DmrID, "2621234");
        s[0].Hytera_RPT_Timer = s[2].Hytera_RPT_Timer = 1;
    });
    const bool close[] = {false, true}; // slot 0, then slot 2
    for (std::size_t slot : {0u, 2u}) {
        repeater_entry gone{};
        ASSERT_TRUE(online_tick(t, slot, NOW, gone));
        EXPECT_EQ(online_close_due(t, gone), close[slot / 2]) << slot;
    }
    EXPECT_TRUE(contains(log.text(), "No RPTCL for 127.0.0.9: DMR ID 2621234 is still held by the "
                                     "repeater at index 1\n"));
    // The holder's own time-out closes the ID.
    t.locked([](auto &s) { s[1].Hytera_RPT_Timer = 1; });
    repeater_entry gone{};
    ASSERT_TRUE(online_tick(t, 1, NOW, gone));
    EXPECT_TRUE(online_close_due(t, gone));
}
