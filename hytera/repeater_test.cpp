#include "hytera/control.h"
#include "hytera/online.h"
#include "hytera/repeater_table.h"
#include "testing/hytera_helpers.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <thread>

using namespace ferrule_test;

namespace {

constexpr std::uint16_t RDAC_PORT = 62007;
const control_ports PORTS{62006, RDAC_PORT};
constexpr std::time_t NOW = 1700000000;

std::string table_ip(const repeater_table &t, std::size_t i) {
    return t.snapshot(i).Hytera_RPT_ip;
}

} // namespace

TEST(RepeaterTable, RegistrationRecordsOnlyItsOwnPortAndQueuesTheOpeningPair) {
    CapturedLog log;
    repeater_table t;
    outbox box;
    auto voice_src = endpoint("10.0.0.5", 50001);
    insert_result r = t.insert(PORT_KIND_VOICE, voice_src, "10.0.0.5", RDAC_PORT, NOW, box);
    EXPECT_EQ(r.index, 0);
    EXPECT_TRUE(r.registered);
    repeater_entry e = t.snapshot(0);
    EXPECT_EQ(e.Hytera_RPT_INDEX1, 1);
    EXPECT_EQ(e.Hytera_RPT_INDEX2, 0);
    EXPECT_EQ(ntohs(e.Hytera_RPT_ip_Audio.sin_port), 50001);
    EXPECT_STREQ(e.Hytera_RPT_DmrID, "299199");
    EXPECT_EQ(e.Hytera_RPT_Firmware[0], 'A');
    EXPECT_EQ(e.Hytera_RPT_Timer, 35);
    EXPECT_NE(log.text().find("Hytera_RPT Login ip 10.0.0.5 INDEX:1 with number 0 \n"),
              std::string::npos);
    ASSERT_EQ(box.count, 2u);
    EXPECT_EQ(bytes_of(box.items[0]), std::vector<std::uint8_t>(start12.begin(), start12.end()));
    EXPECT_EQ(bytes_of(box.items[1]), std::vector<std::uint8_t>(start24.begin(), start24.end()));
    EXPECT_EQ(destination_of(box.items[0]), "10.0.0.5:62007");
    EXPECT_EQ(box.items[0].via, socket_kind::rdac);

    // Later datagrams refresh only; the first port of each kind stays.
    box.clear();
    t.insert(PORT_KIND_CONTROL, endpoint("10.0.0.5", 50002), "10.0.0.5", RDAC_PORT, NOW, box);
    t.insert(PORT_KIND_CONTROL, endpoint("10.0.0.5", 50009), "10.0.0.5", RDAC_PORT, NOW, box);
    t.insert(PORT_KIND_VOICE, endpoint("10.0.0.5", 50008), "10.0.0.5", RDAC_PORT, NOW, box);
    EXPECT_EQ(box.count, 0u);
    e = t.snapshot(0);
    EXPECT_EQ(ntohs(e.Hytera_RPT_ip_System.sin_port), 50002);
    EXPECT_EQ(ntohs(e.Hytera_RPT_ip_Audio.sin_port), 50001);
}

TEST(RepeaterTable, LowestFreeSlotMissesAndTheUnregistrableAddress) {
    CapturedLog log;
    repeater_table t;
    outbox box;
    for (const char *ip : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) {
        t.insert(PORT_KIND_CONTROL, endpoint(ip, 1), ip, RDAC_PORT, NOW, box);
    }
    t.locked([](auto &s) { s[1].Hytera_RPT_ip[0] = 0; });
    box.clear();
    EXPECT_EQ(
        t.insert(PORT_KIND_CONTROL, endpoint("10.0.0.9", 1), "10.0.0.9", RDAC_PORT, NOW, box).index,
        1);
    EXPECT_EQ(t.find("10.0.0.77"), -1);

    box.clear();
    insert_result r =
        t.insert(PORT_KIND_CONTROL, endpoint("0.0.0.0", 1), "0.0.0.0", RDAC_PORT, NOW, box);
    EXPECT_EQ(r.index, -1);
    EXPECT_EQ(box.count, 0u);
    EXPECT_NE(log.text().find("InsertHytera_RPT IP ERROR\n"), std::string::npos);

    // Fill the table: the 51st address is not registered and queues nothing.
    for (int i = 0; i < 60; ++i) {
        std::string ip = "10.1.0." + std::to_string(i);
        box.clear();
        t.insert(PORT_KIND_CONTROL, endpoint(ip.c_str(), 1), ip.c_str(), RDAC_PORT, NOW, box);
    }
    EXPECT_EQ(table_ip(t, 49), "10.1.0.46");
    EXPECT_EQ(box.count, 0u);
    EXPECT_EQ(t.find("10.1.0.59"), -1);
}

struct ControlCase {
    const char *name;
    std::vector<std::uint8_t> request;
    // Expected replies on the control socket, in order, as (length, last two bytes).
    std::vector<std::pair<std::size_t, std::uint16_t>> replies;
    bool registers;
};

TEST(ControlPort, ReactionTable) {
    const std::vector<ControlCase> cases = {
        {"announce", datagram(24, {{12, 0x33}, {20, 0x10}}), {{25, 0x0001}}, true},
        {"voice port", datagram(24, {{20, 0x11}}), {{25, 0x0001}, {28, 0x36F2}}, true},
        {"rdac port", datagram(24, {{20, 0x12}}), {{25, 0x0001}, {28, 0x37F2}}, true},
        {"unknown code 13", datagram(24, {{20, 0x13}}), {}, false},
        {"unknown code 0F", datagram(24, {{20, 0x0F}}), {}, false},
        {"keep-alive", datagram(20, {{0, 0xAA}, {19, 0x55}}), {{20, 0x0000}}, true},
        {"23 bytes", datagram(23, {{20, 0x10}}), {}, false},
        {"25 bytes", datagram(25, {{20, 0x10}}), {}, false},
        {"empty", datagram(0), {}, false},
    };
    for (const ControlCase &c : cases) {
        SCOPED_TRACE(c.name);
        CapturedLog log;
        repeater_table t;
        outbox box;
        control_react(t, open_guard(), c.request, endpoint("10.0.0.5", 30001), PORTS, NOW, box);
        std::vector<outgoing_datagram> control;
        for (std::size_t i = 0; i < box.count; ++i) {
            if (box.items[i].via == socket_kind::control) {
                control.push_back(box.items[i]);
            }
        }
        ASSERT_EQ(control.size(), c.replies.size());
        for (std::size_t i = 0; i < control.size(); ++i) {
            auto b = bytes_of(control[i]);
            ASSERT_EQ(b.size(), c.replies[i].first);
            EXPECT_EQ((b[b.size() - 2] << 8) | b.back(), c.replies[i].second);
            EXPECT_EQ(destination_of(control[i]), "10.0.0.5:30001");
            if (b.size() != 20) {
                EXPECT_EQ(b[20], c.request[20]);
            }
        }
        if (!control.empty() && control[0].length == 25) {
            EXPECT_EQ(control[0].bytes[12], c.request[12]);
        }
        EXPECT_EQ(t.find("10.0.0.5") == 0, c.registers);
        // A registration queues the identity pair before any reply.
        EXPECT_EQ(box.count, control.size() + (c.registers ? 2 : 0));
        if (c.registers) {
            EXPECT_EQ(box.items[0].via, socket_kind::rdac);
        }
    }
}

TEST(ControlPort, RepliesGoToTheFirstPort) {
    CapturedLog log;
    repeater_table t;
    outbox box;
    control_react(t, open_guard(), datagram(20), endpoint("10.0.0.5", 30001), PORTS, NOW, box);
    box.clear();
    control_react(t, open_guard(), datagram(20), endpoint("10.0.0.5", 30002), PORTS, NOW, box);
    ASSERT_EQ(box.count, 1u);
    EXPECT_EQ(destination_of(box.items[0]), "10.0.0.5:30001");
}

TEST(OnlineSupervision, SilentRepeaterIsDroppedOnThe35thPassWithItsId) {
    CapturedLog log;
    repeater_table t;
    outbox box;
    t.insert(PORT_KIND_CONTROL, endpoint("10.0.0.1", 1), "10.0.0.1", RDAC_PORT, NOW, box);
    t.insert(PORT_KIND_CONTROL, endpoint("10.0.0.2", 1), "10.0.0.2", RDAC_PORT, NOW, box);
    t.locked([](auto &s) {
        std::snprintf(s[1].Hytera_RPT_DmrID, sizeof s[1].Hytera_RPT_DmrID, "2621234");
        std::snprintf(s[1].Hytera_RPT_Callsign, sizeof s[1].Hytera_RPT_Callsign, "DB0ABCDEFG");
    });
    std::vector<int> dropped_at;
    std::vector<std::string> gone_ids;
    for (int pass = 1; pass <= 40; ++pass) {
        for (std::size_t slot = 0; slot < REPEATER_SLOTS; ++slot) {
            repeater_entry gone{};
            if (online_tick(t, slot, NOW + pass, gone)) {
                dropped_at.push_back(pass);
                gone_ids.emplace_back(gone.Hytera_RPT_DmrID);
            }
        }
    }
    EXPECT_EQ(dropped_at, (std::vector<int>{35, 35}));
    // The close message is sent with the ID the repeater had when it went.
    EXPECT_EQ(gone_ids, (std::vector<std::string>{"299199", "2621234"}));
    std::string text = log.text();
    EXPECT_NE(text.find("Time Out Hytera_RPT DB0ABCDE IP:       10.0.0.2 TIMER: 00 with number 1 "
                        "\n\n"),
              std::string::npos);

    // Freed, with fresh port records for the next registration; the identity stays.
    repeater_entry e = t.snapshot(1);
    EXPECT_FALSE(e.used());
    EXPECT_EQ(e.Hytera_RPT_INDEX2, 0);
    EXPECT_STREQ(e.Hytera_RPT_Callsign, "DB0ABCDEFG");
}

TEST(OnlineSupervision, KeepAliveEvery30PassesKeepsTheRepeater) {
    CapturedLog log;
    repeater_table t;
    outbox box;
    for (int pass = 0; pass < 200; ++pass) {
        if (pass % 30 == 0) {
            control_react(t, open_guard(), datagram(20), endpoint("10.0.0.1", 1), PORTS, NOW, box);
        }
        repeater_entry gone{};
        ASSERT_FALSE(online_tick(t, 0, NOW + pass, gone)) << pass;
    }
}

// Receivers register while the supervision ages and the network reads; under
// ThreadSanitizer this is the table's race check.
TEST(RepeaterTable, ConcurrentWritersAndReaders) {
    CapturedLog log;
    repeater_table t;
    std::atomic<bool> stop{false};
    auto writer = [&](int kind) {
        outbox box;
        for (int i = 0; i < 2000; ++i) {
            std::string ip = "10.2.0." + std::to_string(i % 60);
            box.clear();
            t.insert(kind, endpoint(ip.c_str(), 1), ip.c_str(), RDAC_PORT, NOW, box);
        }
    };
    std::thread reader([&] {
        while (!stop.load()) {
            for (std::size_t i = 0; i < REPEATER_SLOTS; ++i) {
                (void)t.snapshot(i);
            }
        }
    });
    std::thread ager([&] {
        for (int pass = 0; pass < 200; ++pass) {
            for (std::size_t slot = 0; slot < REPEATER_SLOTS; ++slot) {
                repeater_entry gone{};
                online_tick(t, slot, NOW + pass, gone);
            }
        }
    });
    std::thread a(writer, PORT_KIND_CONTROL), b(writer, PORT_KIND_VOICE);
    a.join();
    b.join();
    ager.join();
    stop.store(true);
    reader.join();
    // No address is ever held by two slots.
    for (std::size_t i = 0; i < REPEATER_SLOTS; ++i) {
        repeater_entry e = t.snapshot(i);
        if (e.used()) {
            EXPECT_EQ(t.find(e.Hytera_RPT_ip), static_cast<int>(i));
        }
    }
}
