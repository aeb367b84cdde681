#include "core/supervision.h"

#include <gtest/gtest.h>

#include <vector>

// Steps the loop for the given passes, the link state a function of the pass,
// and lists the passes that call the keep-alive sender.
TEST(Supervision, LoginEverySixPassesKeepAliveEveryThirty) {
    const struct {
        int passes;
        int (*state_at)(int pass);
        std::vector<int> calling;
    } cases[] = {
        {40, [](int) { return 0; }, {7, 13, 19, 25, 31, 37}},
        {100, [](int) { return 2; }, {31, 61, 91}},
        // Logged in from pass 20 on: the 6 s calls stop and only the 30 s
        // schedule, which kept counting all along, remains.
        {70, [](int pass) { return pass >= 20 ? 1 : 0; }, {7, 13, 19, 31, 61}},
    };
    for (const auto &c : cases) {
        SupervisionCounters counters;
        std::vector<int> called;
        for (int pass = 1; pass <= c.passes; ++pass) {
            if (supervision_pass(counters, c.state_at(pass)) > 0) {
                called.push_back(pass);
            }
        }
        EXPECT_EQ(called, c.calling) << c.passes;
    }
}
