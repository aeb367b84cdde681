#include "core/supervision.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Steps the loop for the given passes; the link state is a function of the pass.
std::vector<int> calling_passes(int passes, int (*state_at)(int pass)) {
    SupervisionCounters counters;
    std::vector<int> called;
    for (int pass = 1; pass <= passes; ++pass) {
        if (supervision_pass(counters, state_at(pass)) > 0) {
            called.push_back(pass);
        }
    }
    return called;
}

TEST(Supervision, LoginEverySixPassesWhileNotLoggedIn) {
    EXPECT_EQ(calling_passes(40, [](int) { return 0; }), (std::vector<int>{7, 13, 19, 25, 31, 37}));
}

TEST(Supervision, KeepAliveEveryThirtyPassesWhileLoggedIn) {
    EXPECT_EQ(calling_passes(100, [](int) { return 2; }), (std::vector<int>{31, 61, 91}));
}

TEST(Supervision, LoginCallsStopOnceTheExchangeStarts) {
    // Logged in from pass 20 on: the 6 s calls stop and only the 30 s schedule,
    // which kept counting all along, remains.
    EXPECT_EQ(calling_passes(70, [](int pass) { return pass >= 20 ? 1 : 0; }),
              (std::vector<int>{7, 13, 19, 31, 61}));
}

} // namespace
