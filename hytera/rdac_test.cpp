#include "hytera/rdac.h"
#include "testing/hytera_helpers.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace ferrule_test;

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

Sent react(repeater_table &t, const bytes &d, const sockaddr_in &from, rdac_state &state) {
    outbox box;
    rdac_react(t, open_guard(), d, from, RDAC_PORT, state, NOW, box);
    Sent s;
    for (std::size_t i = 0; i < box.count; ++i) {
        EXPECT_EQ(box.items[i].via, socket_kind::rdac);
        s.packets.push_back(bytes_of(box.items[i]));
        s.destinations.push_back(destination_of(box.items[i]));
    }
    return s;
}

bytes rdac_packet(std::size_t length, std::uint8_t type, std::uint16_t sequence) {
    return datagram(length, {{0, 0x7E},
                             {1, 0x04},
                             {3, type},
                             {6, static_cast<std::uint8_t>(sequence >> 8)},
                             {7, static_cast<std::uint8_t>(sequence)}});
}

void put_wide(bytes &p, std::size_t first, const char *text) {
    for (std::size_t i = 0; text[i] != 0; ++i) {
        p[first + 2 * i] = static_cast<std::uint8_t>(text[i]);
    }
}

void put_le(bytes &p, std::size_t offset, std::uint32_t v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        p[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

bytes identity_answer(const char *call, const char *firmware, const char *model,
                      const char *serial) {
    bytes p = rdac_packet(225, 0, 3);
    put_wide(p, 88, call);
    put_wide(p, 56, firmware);
    put_wide(p, 120, model);
    put_wide(p, 184, serial);
    return p;
}

bytes radio_data(std::uint32_t id, std::uint32_t rx, std::uint32_t tx) {
    bytes p = rdac_packet(71, 0, 4);
    put_le(p, 18, id, 3);
    put_le(p, 29, rx, 4);
    put_le(p, 33, tx, 4);
    return p;
}

void register_repeater(repeater_table &t, const char *ip) {
    outbox box;
    t.insert(PORT_KIND_CONTROL, endpoint(ip, 30001), ip, RDAC_PORT, NOW, box);
}

} // namespace

TEST(RdacChecksum, EveryStoredTemplateSatisfiesIt) {
    rdac_state fresh;
    const std::vector<bytes> templates = {
        of(start12),  of(start24),  of(next1_12), of(next2_12), of(next2_25),
        of(next3_12), of(next3_25), of(next4_25), of(next4_12), of(fresh.rssi_rdac_ack)};
    for (const bytes &t : templates) {
        bytes copy = t;
        copy[10] = copy[11] = 0;
        rdac_checksum(copy.data(), static_cast<int>(copy.size()));
        EXPECT_EQ(copy, t);
    }
}

struct RdacCase {
    const char *name;
    bytes datagram;
    std::vector<bytes> expected;
    bool logged;
};

TEST(RdacPort, ReactionTable) {
    const bytes generic7{0x7E, 0x04, 0x00, 0x10, 0x20, 0x10, 0x00, 0x07, 0x00, 0x0C, 0x61, 0xC8};
    bytes bad225 = rdac_packet(225, 0, 3);
    bad225[1] = 0x05;
    bytes stranger29 = datagram(29, {{6, 0x00}, {7, 0x07}});
    const std::vector<RdacCase> cases = {
        {"24 bytes", datagram(24), {of(start12), of(start24)}, false},
        {"resend request", rdac_packet(12, 0xFD, 9), {of(start24)}, false},
        {"sequence 3", rdac_packet(12, 0x10, 3), {of(next4_25)}, false},
        {"other 12", rdac_packet(12, 0x10, 2), {}, false},
        {"12 without header", datagram(12, {{3, 0xFD}}), {}, false},
        {"25 seq 1", rdac_packet(25, 0, 1), {of(next1_12)}, false},
        {"25 seq 2", rdac_packet(25, 0, 2), {of(next2_12), of(next2_25)}, false},
        {"25 seq 7", rdac_packet(25, 0, 7), {generic7}, false},
        {"25 without header", datagram(25, {{7, 1}}), {}, false},
        {"225", rdac_packet(225, 0, 3), {of(next3_12), of(next3_25)}, false},
        {"225 without header", bad225, {}, false},
        {"71", rdac_packet(71, 0, 4), {of(next4_12)}, false},
        {"29", stranger29, {generic7}, false},
        {"34", rdac_packet(34, 0, 7), {generic7}, false},
        {"38", rdac_packet(38, 0, 7), {generic7}, false},
        {"30 logged", rdac_packet(30, 0, 7), {generic7}, true},
        {"300 logged", rdac_packet(300, 0, 7), {generic7}, true},
    };
    for (const RdacCase &c : cases) {
        SCOPED_TRACE(c.name);
        CapturedLog log;
        repeater_table t;
        rdac_state state;
        Sent s = react(t, c.datagram, endpoint("10.0.0.5", 40000), state);
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
    react(t, rdac_packet(25, 0, 0x0107), endpoint("10.0.0.5", 40000), state);
    for (std::size_t n : {0u, 2u, 7u}) {
        Sent s = react(t, datagram(n), endpoint("10.0.0.5", 40000), state);
        ASSERT_EQ(s.packets.size(), 1u);
        EXPECT_EQ(s.packets[0][6], 0x01);
        EXPECT_EQ(s.packets[0][7], 0x07);
        bytes check = s.packets[0];
        rdac_checksum(check.data(), 12);
        EXPECT_EQ(check, s.packets[0]);
    }
    EXPECT_NE(log.text().find("recvlen:0 an_ip:10.0.0.5"), std::string::npos);
}

TEST(RdacPort, GreetingRegistersAndAsksUntilIdentified) {
    CapturedLog log;
    repeater_table t;
    rdac_state state;
    const auto from = endpoint("10.0.0.5", 40000);
    // New repeater: ack, the pair from registration and the pair again, all to
    // the repeater's RDAC port.
    Sent s = react(t, {0x00}, from, state);
    EXPECT_EQ(s.packets,
              (std::vector<bytes>{of(ack), of(start12), of(start24), of(start12), of(start24)}));
    EXPECT_EQ(s.destinations[0], "10.0.0.5:40000");
    for (std::size_t i = 1; i < s.destinations.size(); ++i) {
        EXPECT_EQ(s.destinations[i], "10.0.0.5:62007");
    }
    // Registered but not identified: the pair goes to the sender.
    s = react(t, {0x00}, from, state);
    EXPECT_EQ(s.packets, (std::vector<bytes>{of(ack), of(start12), of(start24)}));
    EXPECT_EQ(s.destinations[2], "10.0.0.5:40000");
    // Identified: ack only.
    react(t, radio_data(2621234, 431675000, 439275000), from, state);
    s = react(t, {0x00}, from, state);
    EXPECT_EQ(s.packets, (std::vector<bytes>{of(ack)}));
}

TEST(RdacPort, IdentityAndRadioDataAreStoredAndLoggedOnce) {
    CapturedLog log;
    repeater_table t;
    rdac_state state;
    register_repeater(t, "10.0.0.5");
    register_repeater(t, "10.0.0.6");
    const auto from = endpoint("10.0.0.5", 40000);
    react(t, identity_answer("N0CALL", "A8.05.07.001", "RD985", "1234567890"), from, state);
    repeater_entry e = t.snapshot(0);
    EXPECT_STREQ(e.Hytera_RPT_Callsign, "N0CALL");
    EXPECT_STREQ(e.Hytera_RPT_Firmware, "A8.05.07.001");
    EXPECT_STREQ(e.Hytera_RPT_Model, "RD985");
    EXPECT_STREQ(e.Hytera_RPT_Serialnumme, "1234567890");
    EXPECT_EQ(e.Hytera_RPT_RDAC_OK, 0);
    EXPECT_STREQ(t.snapshot(1).Hytera_RPT_Callsign, "");

    react(t, radio_data(2621234, 431675000, 439275000), from, state);
    e = t.snapshot(0);
    EXPECT_STREQ(e.Hytera_RPT_DmrID, "2621234");
    EXPECT_STREQ(e.Hytera_RPT_TX_requency, "439.2750");
    EXPECT_STREQ(e.Hytera_RPT_RX_requency, "431.6750");
    EXPECT_STREQ(e.Hytera_RPT_TX_Frequency, "439275000");
    EXPECT_STREQ(e.Hytera_RPT_RX_Frequency, "431675000");
    EXPECT_STREQ(e.Hytera_RPT_Shift, "7.6");
    EXPECT_EQ(e.Hytera_RPT_RDAC_OK, 1);
    const std::string login = "\033[1;36mHytera_RPT Login Type:0 IP:10.0.0.5        ID:262123 "
                              "Call:          N0CALL TX:439.2750  Shift:7.6    Hardware:RD985     "
                              "\033[0m\n";
    const std::string firmware =
        "\033[1;36mFirmware:A8.05.07.001 ID:262123 SerialNr:1234567890\033[0m\n";
    std::string text = log.text();
    EXPECT_NE(text.find(login), std::string::npos) << text;
    EXPECT_NE(text.find(firmware), std::string::npos) << text;

    // A second answer overwrites the fields; beside the colour it logs only
    // the change of ID.
    react(t, radio_data(12345, 439275000, 431675000), from, state);
    EXPECT_STREQ(t.snapshot(0).Hytera_RPT_DmrID, "012345");
    EXPECT_STREQ(t.snapshot(0).Hytera_RPT_Shift, "-7.6");
    std::string later = log.text().substr(text.size());
    EXPECT_EQ(later, "Repeater 10.0.0.5 (index 0) changed its DMR ID from 2621234 to 012345\n"
                     "\033[1;36m");

    // A firmware text not beginning with A stops later identity answers.
    react(t, identity_answer("SECOND", "V1.0", "X", "Y"), from, state);
    EXPECT_STREQ(t.snapshot(0).Hytera_RPT_Callsign, "SECOND");
    react(t, identity_answer("THIRD", "A1", "X", "Y"), from, state);
    EXPECT_STREQ(t.snapshot(0).Hytera_RPT_Callsign, "SECOND");
}

TEST(RdacPort, RadioDataBeforeIdentityAndFromStrangers) {
    CapturedLog log;
    repeater_table t;
    rdac_state state;
    register_repeater(t, "10.0.0.5");
    react(t, radio_data(7, 1, 2), endpoint("10.0.0.99", 40000), state);
    EXPECT_EQ(t.snapshot(0).Hytera_RPT_RDAC_OK, 0);
    react(t, radio_data(7, 1, 2), endpoint("10.0.0.5", 40000), state);
    EXPECT_EQ(t.snapshot(0).Hytera_RPT_RDAC_OK, 1);
    EXPECT_STREQ(t.snapshot(0).Hytera_RPT_DmrID, "000007");
    // Registration left the firmware as "A": the firmware line shows it.
    EXPECT_NE(log.text().find("Firmware:A ID:000007 SerialNr:\033[0m\n"), std::string::npos);

    // An FW firmware suppresses the firmware line.
    repeater_table t2;
    register_repeater(t2, "10.0.0.5");
    CapturedLog log2;
    react(t2, identity_answer("C", "FW1", "M", "S"), endpoint("10.0.0.5", 1), state);
    react(t2, radio_data(7, 1, 2), endpoint("10.0.0.5", 1), state);
    EXPECT_EQ(log2.text().find("Firmware:"), std::string::npos);
}
