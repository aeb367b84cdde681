// The host name lookup with a hand-set clock and a resolver that answers as
// the test says.
#include "network/peer_lookup.h"

#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <vector>

using namespace ferrule_test;

namespace {

// The answers the fake resolver gives, in turn; 0 for "does not resolve".
std::vector<std::uint32_t> answers;
std::size_t asked = 0;

bool fake_resolve(const char *, in_addr &address, char *reason, std::size_t size) {
    const std::uint32_t a = asked < answers.size() ? answers[asked] : 0;
    ++asked;
    if (a == 0) {
        std::strncpy(reason, "Temporary failure in name resolution", size - 1);
        return false;
    }
    address.s_addr = htonl(a);
    return true;
}

TEST(PeerLookup, TriesAtTheLoginPaceUntilTheNameResolvesThenBeforeLogins) {
    CapturedLog log;
    answers = {0, 0, 0x7F000001, 0x7F000001, 0x0A000001};
    asked = 0;
    peer_lookup lookup("master.example.net", fake_resolve);
    const struct {
        std::int64_t at_ms;
        bool again;
        std::size_t asked;
        bool changed;
    } steps[] = {
        {0, false, 1, false},     // at start: not yet
        {9999, false, 1, false},  // waits the login interval
        {10000, false, 2, false}, // still not
        {20000, false, 3, true},  // resolves
        {40000, false, 3, false}, // resolved: no more looks unless a login comes
        {40000, true, 4, false},  // a login: looked again, same address
        {45000, true, 4, false},  // not before the interval
        {50000, true, 5, true},   // the address moved
    };
    for (const auto &s : steps) {
        EXPECT_EQ(lookup.step(s.at_ms, s.again), s.changed) << s.at_ms;
        EXPECT_EQ(asked, s.asked) << s.at_ms;
    }
    EXPECT_EQ(lookup.address().s_addr, htonl(0x0A000001));
    const std::string lines = log.text();
    EXPECT_EQ(count_of(lines, "DMRGateway_address master.example.net does not resolve (Temporary "
                              "failure in name resolution), trying again in 10 s\n"),
              2U);
    EXPECT_EQ(count_of(lines, "DMRGateway_address master.example.net resolves to 127.0.0.1\n"), 1U);
    EXPECT_EQ(count_of(lines, "resolves to 10.0.0.1\n"), 1U);
}

} // namespace
