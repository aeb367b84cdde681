// The online pass as the repeater-side supervisor runs it, with a hand-set
// clock: what goes to the network peer when a repeater falls silent.
#include "app/repeater_side.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using ferrule_test::endpoint;

TEST(OnlinePass, ASilentRepeaterIsReportedGoneWithTheIdItLoggedInWith) {
    ferrule_test::CapturedLog log;
    constexpr std::time_t NOW = 1700000000;
    repeater_table t;
    outbox box;
    for (const char *ip : {"10.0.0.1", "10.0.0.2"}) {
        t.insert(PORT_KIND_CONTROL, endpoint(ip, 1), ip, 62007, NOW, box);
    }
    t.locked([](auto &slots) { std::strcpy(slots[1].Hytera_RPT_DmrID, "026201"); });
    std::vector<std::pair<int, int>> gone; // (pass, ID)
    for (int pass = 1; pass <= 40; ++pass) {
        if (pass % 10 == 0) { // the first repeater keeps itself alive
            t.insert(PORT_KIND_CONTROL, endpoint("10.0.0.1", 1), "10.0.0.1", 62007, NOW, box);
        }
        online_pass(t, NOW + pass, [&](int id) { gone.emplace_back(pass, id); });
    }
    EXPECT_EQ(gone, (std::vector<std::pair<int, int>>{{35, 26201}}));
    EXPECT_TRUE(t.snapshot(0).used());
}
