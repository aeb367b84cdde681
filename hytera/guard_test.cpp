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

std::size_t count_of(const std::string &text, const std::string &what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

bytes rdac_packet(std::size_t length, std::uint16_t sequence) {
    return datagram(length, {{0, 0x7E},
                             {1, 0x04},
                             {6, static_cast<std::uint8_t>(sequence >> 8)},
                             {7, static_cast<std::uint8_t>(sequence)}});
}

// Texts travel as 2-byte characters; `text` may hold any byte but 0.
void put_wide(bytes &p, std::size_t first, const std::string &text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        p[first + 2 * i] = static_cast<std::uint8_t>(text[i]);
    }
}

bytes identity_answer(const std::string &call, const std::string &firmware,
                      const std::string &model, const std::string &serial) {
    bytes p = rdac_packet(225, 3);
    put_wide(p, 56, firmware);
    put_wide(p, 88, call);
    put_wide(p, 120, model);
    put_wide(p, 184, serial);
    return p;
}

bytes radio_data(std::uint32_t id) {
    bytes p = rdac_packet(71, 4);
    for (std::size_t i = 0; i < 3; ++i) {
        p[18 + i] = static_cast<std::uint8_t>(id >> (8 * i));
    }
    return p;
}

// A repeater at 127.0.0.2, registered on the control port and greeted on the
// RDAC port from 62007, identified as 2621234 / DB0TST.
void identified_repeater(repeater_table &t, rdac_state &state) {
    outbox box;
    control_react(t, open_guard(), datagram(20), endpoint("127.0.0.2", 30001), PORTS, NOW, box);
    const auto rdac = endpoint("127.0.0.2", 62007);
    rdac_react(t, open_guard(), bytes{0}, rdac, RDAC_PORT, state, NOW, box);
    rdac_react(t, open_guard(), identity_answer("DB0TST", "A8.05", "RD985", "123"), rdac, RDAC_PORT,
               state, NOW, box);
    rdac_react(t, open_guard(), radio_data(2621234), rdac, RDAC_PORT, state, NOW, box);
}

std::string slot_text(const repeater_table &t, std::size_t slot) {
    const repeater_entry e = t.snapshot(slot);
    return std::string(e.Hytera_RPT_ip) + "|" + e.Hytera_RPT_DmrID + "|" + e.Hytera_RPT_Callsign +
           "|" + std::to_string(e.Hytera_RPT_Timer) + "|" + std::to_string(e.Hytera_RPT_RDAC_OK);
}

} // namespace

TEST(RepeaterGuard, OutsideAddressesGetNothingOnEitherPortAndAreLoggedOnceAMinute) {
    CapturedLog log;
    ipv4_allow_list allow;
    char error[ipv4_allow_list::ERROR_SIZE];
    ASSERT_TRUE(allow.parse("127.0.0.2, 10.0.0.0/8", error));
    repeater_guard guard(allow);
    repeater_table t;
    rdac_state state;
    identified_repeater(t, state);
    const std::string before = slot_text(t, 0);

    const auto stranger = endpoint("127.0.0.9", 40000);
    const std::vector<bytes> control = {datagram(20), datagram(24, {{20, 0x10}}),
                                        datagram(24, {{20, 0x11}}), datagram(24, {{20, 0x12}})};
    const std::vector<bytes> rdac = {bytes{0},           datagram(24),
                                     rdac_packet(25, 2), identity_answer("EVIL", "A1", "X", "Y"),
                                     radio_data(7),      datagram(30)};
    for (int second = 0; second < 59; ++second) {
        for (const bytes &d : control) {
            outbox box;
            control_react(t, guard, d, stranger, PORTS, NOW + second, box);
            EXPECT_EQ(box.count, 0u);
        }
        for (const bytes &d : rdac) {
            outbox box;
            rdac_react(t, guard, d, stranger, RDAC_PORT, state, NOW + second, box);
            EXPECT_EQ(box.count, 0u);
        }
    }
    EXPECT_EQ(t.find("127.0.0.9"), -1);
    EXPECT_EQ(slot_text(t, 0), before);
    EXPECT_EQ(state.rssi_rdac_ack, rdac_state{}.rssi_rdac_ack);

    // The first refusal on any port is logged, then nothing until a minute
    // has passed; the next line counts what came in between.
    std::string text = log.text();
    EXPECT_EQ(count_of(text, "refused"), 1u) << text;
    EXPECT_NE(text.find("Datagram from 127.0.0.9:40000 on the control port refused: address not "
                        "in Hytera_RPT_allow\n"),
              std::string::npos);
    outbox box;
    rdac_react(t, guard, bytes{0}, stranger, RDAC_PORT, state, NOW + 60, box);
    EXPECT_EQ(box.count, 0u);
    EXPECT_NE(log.text().find("Datagram from 127.0.0.9:40000 on the RDAC port refused: address not "
                              "in Hytera_RPT_allow (589 more refused from 127.0.0.9 since the last "
                              "line)\n"),
              std::string::npos)
        << log.text();

    // Inside the list, a new repeater registers as before.
    control_react(t, guard, datagram(20), endpoint("10.1.2.3", 30001), PORTS, NOW, box);
    EXPECT_EQ(t.find("10.1.2.3"), 1);
}

TEST(RepeaterGuard, AFullTableAnswersNoNewcomerAndSaysSoOnceAMinute) {
    CapturedLog log;
    repeater_table t;
    rdac_state state;
    outbox box;
    for (int i = 0; i < 50; ++i) {
        const std::string ip = "10.1.0." + std::to_string(i);
        control_react(t, open_guard(), datagram(20), endpoint(ip.c_str(), 40000), PORTS, NOW, box);
    }
    const auto late = endpoint("10.9.9.9", 41234);
    for (int second = 0; second < 30; ++second) {
        box.clear();
        control_react(t, open_guard(), datagram(24, {{20, 0x11}}), late, PORTS, NOW + second, box);
        control_react(t, open_guard(), datagram(20), late, PORTS, NOW + second, box);
        rdac_react(t, open_guard(), bytes{0}, late, RDAC_PORT, state, NOW + second, box);
        rdac_react(t, open_guard(), rdac_packet(25, 1), late, RDAC_PORT, state, NOW + second, box);
        EXPECT_EQ(box.count, 0u);
    }
    EXPECT_EQ(t.find("10.9.9.9"), -1);
    const std::string line =
        "Repeater table full, all 50 slots in use: 10.9.9.9 refused and not answered";
    EXPECT_EQ(count_of(log.text(), line), 1u) << log.text();
    control_react(t, open_guard(), datagram(20), late, PORTS, NOW + 60, box);
    EXPECT_NE(log.text().find(line + " (119 more refused since the last line)\n"),
              std::string::npos)
        << log.text();

    // Registered repeaters are answered as ever.
    box.clear();
    control_react(t, open_guard(), datagram(20), endpoint("10.1.0.7", 40000), PORTS, NOW, box);
    EXPECT_EQ(box.count, 1u);
}

TEST(RdacGuard, AnswersAreTakenOnlyFromTheRepeatersRdacPortAndChangesAreLogged) {
    CapturedLog log;
    repeater_table t;
    rdac_state state;
    identified_repeater(t, state);
    const std::string before = slot_text(t, 0);
    EXPECT_EQ(before, "127.0.0.2|2621234|DB0TST|35|1");

    // The repeater's address, another port: not stored, not answered.
    const auto other = endpoint("127.0.0.2", 50000);
    for (const bytes &d : {radio_data(7), identity_answer("EVIL", "A1", "X", "Y")}) {
        outbox box;
        rdac_react(t, open_guard(), d, other, RDAC_PORT, state, NOW, box);
        EXPECT_EQ(box.count, 0u);
    }
    EXPECT_EQ(slot_text(t, 0), before);
    EXPECT_NE(log.text().find("RDAC answer from 127.0.0.2:50000 ignored: the repeater at 127.0.0.2 "
                              "answers from port 62007\n"),
              std::string::npos);

    // From the repeater itself, a new identity is taken and logged as a change.
    const auto rdac = endpoint("127.0.0.2", 62007);
    outbox box;
    rdac_react(t, open_guard(), identity_answer("DB0NEW", "A8.05", "RD985", "123"), rdac, RDAC_PORT,
               state, NOW, box);
    rdac_react(t, open_guard(), radio_data(2621999), rdac, RDAC_PORT, state, NOW, box);
    EXPECT_EQ(slot_text(t, 0), "127.0.0.2|2621999|DB0NEW|35|1");
    const std::string text = log.text();
    EXPECT_NE(
        text.find("Repeater 127.0.0.2 (index 0) changed its call sign from DB0TST to DB0NEW\n"),
        std::string::npos)
        << text;
    EXPECT_NE(
        text.find("Repeater 127.0.0.2 (index 0) changed its DMR ID from 2621234 to 2621999\n"),
        std::string::npos);
    // The same answer again changes nothing and says nothing more.
    rdac_react(t, open_guard(), radio_data(2621999), rdac, RDAC_PORT, state, NOW, box);
    EXPECT_EQ(count_of(log.text(), "changed its"), 2u);
}

TEST(RdacGuard, IdentityTextsKeepPrintableAsciiOnly) {
    CapturedLog log;
    repeater_table t;
    outbox box;
    t.insert(PORT_KIND_CONTROL, endpoint("127.0.0.2", 1), "127.0.0.2", RDAC_PORT, NOW, box);
    // Escape sequences, a bell, a forged line and bytes above 0x7E in every field.
    const std::string forged = "DB\x1b[2J\a0\r\nXX\x7f\xff";
    rdac225(t, "127.0.0.2",
            std::span<const std::uint8_t, 225>(identity_answer(forged, "A8\x1b]0;x\a.05", "R\aD98",
                                                               "12\x9b"
                                                               "3")
                                                   .data(),
                                               225));
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
    t.locked([](auto &s) {
        std::strcpy(s[0].Hytera_RPT_DmrID, "2621234"); // a stranger with the real one's ID
        std::strcpy(s[1].Hytera_RPT_DmrID, "2621234");
        s[2].Hytera_RPT_Timer = 1; // unidentified, still on 299199
    });
    // The stranger at index 0 times out while the real repeater still holds
    // the ID; the unidentified one at index 2 is closed as ever.
    repeater_entry gone{};
    ASSERT_TRUE(online_tick(t, 2, NOW, gone));
    EXPECT_TRUE(online_close_due(t, gone));
    bool timed_out = false;
    for (int pass = 0; pass < 35 && !timed_out; ++pass) {
        timed_out = online_tick(t, 0, NOW + pass, gone);
    }
    ASSERT_TRUE(timed_out);
    EXPECT_FALSE(online_close_due(t, gone));
    EXPECT_NE(log.text().find("No RPTCL for 127.0.0.9: DMR ID 2621234 is still held by the "
                              "repeater at index 1\n"),
              std::string::npos)
        << log.text();
    // Once the holder is gone too, its own time-out closes the ID.
    t.locked([](auto &s) { s[1].Hytera_RPT_Timer = 1; });
    ASSERT_TRUE(online_tick(t, 1, NOW, gone));
    EXPECT_TRUE(online_close_due(t, gone));
}
