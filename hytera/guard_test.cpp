// The repeater ports against strangers: the allow-list, the full table, RDAC
// answers from the wrong port, identity changes, text that is not printable
// and the close of a repeater whose ID another one holds.
#include "hytera/control.h"
#include "hytera/guard.h"
#include "hytera/online.h"
#include "hytera/rdac.h"
#include "testing/hytera_helpers.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace ferrule_test;

namespace {

constexpr std::uint16_t RDAC_PORT = 62007;
const control_ports PORTS{62006, RDAC_PORT};
constexpr std::time_t NOW = 1700000000;
using bytes = std::vector<std::uint8_t>;

// An identity answer (texts as 2-byte characters, any byte but 0) or, with
// no texts, a radio data answer carrying `id`.
bytes answer(std::uint32_t id, const std::vector<std::pair<std::size_t, std::string>> &texts = {}) {
    bytes p = datagram(texts.empty() ? 71 : 225, {{0, 0x7E}, {1, 0x04}});
    for (const auto &[first, text] : texts) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            p[first + 2 * i] = static_cast<std::uint8_t>(text[i]);
        }
    }
    for (std::size_t i = 0; texts.empty() && i < 3; ++i) {
        p[18 + i] = static_cast<std::uint8_t>(id >> (8 * i));
    }
    return p;
}
bytes identity(const std::string &call) {
    return answer(0, {{56, "A8.05"}, {88, call}});
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
    EXPECT_NE(log.text().find("Datagram from 127.0.0.9:40000 on the RDAC port refused: address "
                              "not in Hytera_RPT_allow (471 more refused from 127.0.0.9 since the "
                              "last line)\n"),
              std::string::npos)
        << log.text();
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
    EXPECT_NE(log.text().find(line + " (119 more refused since the last line)\n"),
              std::string::npos);
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
    EXPECT_NE(log.text().find("RDAC answer from 127.0.0.2:50000 ignored: the repeater at 127.0.0.2 "
                              "answers from port 62007\n"),
              std::string::npos);

    for (const bytes &d : {identity("DB0NEW"), answer(2621999), answer(2621999)}) {
        react(t, open_guard(), d, endpoint("127.0.0.2", 62007), state);
    }
    EXPECT_EQ(slot0(t), "127.0.0.2|2621999|DB0NEW|1");
    const std::string text = log.text();
    EXPECT_NE(
        text.find("Repeater 127.0.0.2 (index 0) changed its call sign from DB0TST to DB0NEW\n"),
        std::string::npos)
        << text;
    EXPECT_NE(
        text.find("Repeater 127.0.0.2 (index 0) changed its DMR ID from 2621234 to 2621999\n"),
        std::string::npos);
    EXPECT_EQ(count_of(text, "changed its"), 2u);
}

TEST(RdacGuard, IdentityTextsKeepPrintableAsciiOnly) {
    CapturedLog log;
    repeater_table t;
    outbox box;
    t.insert(PORT_KIND_CONTROL, endpoint("127.0.0.2", 1), "127.0.0.2", RDAC_PORT, NOW, box);
    // Escape sequences, a bell, a forged line and bytes above 0x7E.
    const bytes p = answer(0, {{56, "A8\x1b]0;x\a.05"},
                               {88, "DB\x1b[2J\a0\r\nXX\x7f\xff"},
                               {120, "R\aD98"},
                               {184, "12\x9b"
                                     "3"}});
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
    EXPECT_NE(log.text().find("No RPTCL for 127.0.0.9: DMR ID 2621234 is still held by the "
                              "repeater at index 1\n"),
              std::string::npos);
    // The holder's own time-out closes the ID.
    t.locked([](auto &s) { s[1].Hytera_RPT_Timer = 1; });
    repeater_entry gone{};
    ASSERT_TRUE(online_tick(t, 1, NOW, gone));
    EXPECT_TRUE(online_close_due(t, gone));
}
