#include "hytera/control.h"
#include "hytera/online.h"
#include "hytera/repeater_table.h"
#include "testing/hytera_helpers.h"
#include "testing/test_support.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

#include <thread>

using namespace ferrule_test;

namespace {

insert_result insert(repeater_table &t, int kind, const char *ip, std::uint16_t port = 1) {
    outbox box;
    return t.insert(kind, endpoint(ip, port), ip, RDAC_PORT, NOW, box);
}

} // namespace

TEST(RepeaterTable, RegistrationRecordsOnlyItsOwnPortAndLaterOnesOnlyRefresh) {
    CapturedLog log;
    repeater_table t;
    insert_result r = insert(t, PORT_KIND_VOICE, "10.0.0.5", 50001);
    EXPECT_EQ(r.index, 0);
    EXPECT_TRUE(r.registered);
    repeater_entry e = t.snapshot(0);
    EXPECT_EQ(e.Hytera_RPT_INDEX1, 1);
    EXPECT_EQ(e.Hytera_RPT_INDEX2, 0);
    EXPECT_STREQ(e.Hytera_RPT_DmrID, "299199");
    EXPECT_EQ(e.Hytera_RPT_Firmware[0], 'A');
    EXPECT_EQ(e.Hytera_RPT_Timer, 35);
    EXPECT_TRUE(contains(log.text(), "Hytera_RPT Login ip 10.0.0.5 INDEX:1 with number 0 \n"));

    // Later datagrams refresh only; the first port of each kind stays.
    t.locked([](auto &s) { s[0].Hytera_RPT_Timer = 3; });
    EXPECT_FALSE(insert(t, PORT_KIND_CONTROL, "10.0.0.5", 50002).registered);
    insert(t, PORT_KIND_CONTROL, "10.0.0.5", 50009);
    insert(t, PORT_KIND_VOICE, "10.0.0.5", 50008);
    e = t.snapshot(0);
    EXPECT_EQ(e.Hytera_RPT_Timer, 35);
    EXPECT_EQ(ntohs(e.Hytera_RPT_ip_System.sin_port), 50002);
    EXPECT_EQ(ntohs(e.Hytera_RPT_ip_Audio.sin_port), 50001);
}

TEST(RepeaterTable, LowestFreeSlotMissesAndTheUnregistrableAddress) {
    CapturedLog log;
    repeater_table t;
    for (const char *ip : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) {
        insert(t, PORT_KIND_CONTROL, ip);
    }
    t.locked([](auto &s) { s[1].Hytera_RPT_ip[0] = 0; });
    EXPECT_EQ(insert(t, PORT_KIND_CONTROL, "10.0.0.9").index, 1);
    EXPECT_EQ(t.find("10.0.0.77"), -1);
    EXPECT_EQ(insert(t, PORT_KIND_CONTROL, "0.0.0.0").index, -1);
    EXPECT_TRUE(contains(log.text(), "InsertHytera_RPT IP ERROR\n"));
    // A full table is the guard tests'.
}

TEST(ControlPort, ReactionTable) {
    const struct {
        const char *name;
        std::vector<std::uint8_t> request;
        // Replies on the control socket, in order, as (length, last two bytes).
        std::vector<std::pair<std::size_t, std::uint16_t>> replies;
        bool registers;
    } cases[] = {
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
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        CapturedLog log;
        repeater_table t;
        outbox box;
        control_react(t, open_guard(), c.request, endpoint("10.0.0.5", 30001), PORTS, NOW, box);
        // A registration queues the identity pair before any reply.
        const std::size_t first = c.registers ? 2 : 0;
        ASSERT_EQ(box.count, first + c.replies.size());
        EXPECT_EQ(t.find("10.0.0.5") == 0, c.registers);
        for (std::size_t i = 0; i < first; ++i) {
            EXPECT_EQ(box.items[i].via, socket_kind::rdac);
        }
        for (std::size_t i = 0; i < c.replies.size(); ++i) {
            const outgoing_datagram &d = box.items[first + i];
            const auto b = bytes_of(d);
            EXPECT_EQ(d.via, socket_kind::control);
            ASSERT_EQ(b.size(), c.replies[i].first);
            EXPECT_EQ((b[b.size() - 2] << 8) | b.back(), c.replies[i].second);
            EXPECT_EQ(destination_of(d), "10.0.0.5:30001");
            if (b.size() != 20) {
                EXPECT_EQ(b[20], c.request[20]); // the service code
            }
            if (b.size() == 25) {
                EXPECT_EQ(b[12], c.request[12]); // the sequence, echoed
            }
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

TEST(OnlineSupervision, SilentRepeaterIsDroppedOnThe35thPass) {
    CapturedLog log;
    repeater_table t;
    insert(t, PORT_KIND_CONTROL, "10.0.0.2");
    t.locked([](auto &s) {
        std::snprintf(s[0].Hytera_RPT_Callsign, sizeof s[0].Hytera_RPT_Callsign, "DB0ABCDEFG");
    });
    for (int pass = 1; pass <= 40; ++pass) {
        repeater_entry gone{};
        EXPECT_EQ(online_tick(t, 0, NOW + pass, gone), pass == 35) << pass;
    }
    EXPECT_TRUE(contains(log.text(),
                         "Time Out Hytera_RPT DB0ABCDE IP:       10.0.0.2 TIMER: 00 with number "
                         "0 \n\n"));
    // Freed, with fresh port records for the next registration; the identity stays.
    repeater_entry e = t.snapshot(0);
    EXPECT_FALSE(e.used());
    EXPECT_EQ(e.Hytera_RPT_INDEX2, 0);
    EXPECT_STREQ(e.Hytera_RPT_Callsign, "DB0ABCDEFG");
}

// Receivers register while the supervision ages and the network reads; under
// ThreadSanitizer this is the table's race check.
TEST(RepeaterTable, ConcurrentWritersAndReaders) {
    CapturedLog log;
    repeater_table t;
    std::atomic<bool> stop{false};
    auto writer = [&](int kind) {
        for (int i = 0; i < 2000; ++i) {
            insert(t, kind, ("10.2.0." + std::to_string(i % 60)).c_str());
        }
    };
    // Bounded and yielding: under an emulator a spinning reader can starve
    // the writers of the lock.
    std::thread reader([&] {
        for (int i = 0; i < 20000 && !stop.load(); ++i) {
            (void)t.snapshot(static_cast<std::size_t>(i) % REPEATER_SLOTS);
            std::this_thread::yield();
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
