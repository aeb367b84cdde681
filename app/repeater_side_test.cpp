// The online pass as the repeater-side supervisor runs it, with a hand-set
// clock: what goes to the network peer when a repeater falls silent.
#include "app/repeater_side.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using ferrule_test::endpoint;

TEST(OnlinePass, ASilentRepeaterIsClosedOnTheLinkWithTheIdItLoggedInWith) {
    ferrule_test::CapturedLog log;
    constexpr std::time_t NOW = 1700000000;
    repeater_table t;
    outbox box;
    for (const char *ip : {"10.0.0.1", "10.0.0.2"}) {
        t.insert(PORT_KIND_CONTROL, endpoint(ip, 1), ip, 62007, NOW, box);
    }
    t.locked([](auto &slots) { std::strcpy(slots[1].Hytera_RPT_DmrID, "026201"); });
    std::vector<std::pair<int, std::vector<std::uint8_t>>> closes;
    for (int pass = 1; pass <= 40; ++pass) {
        if (pass % 10 == 0) { // the first repeater keeps itself alive
            t.insert(PORT_KIND_CONTROL, endpoint("10.0.0.1", 1), "10.0.0.1", 62007, NOW, box);
        }
        online_pass(t, NOW + pass, [&](std::int32_t id, std::span<const std::uint8_t> bytes) {
            closes.emplace_back(pass, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
            EXPECT_EQ(id, 26201);
        });
    }
    const std::vector<std::uint8_t> rptcl{'R', 'P', 'T', 'C', 'L', 0x00, 0x00, 0x66, 0x59};
    EXPECT_EQ(closes, (std::vector<std::pair<int, std::vector<std::uint8_t>>>{{35, rptcl}}));
    EXPECT_TRUE(t.snapshot(0).used());
}
