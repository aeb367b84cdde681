// The generic pieces behind the repeater ports' guard: the address list an
// operator writes, the per-source rate limiter and the log limit built on it.
#include "core/ipv4_allow.h"
#include "core/log.h"
#include "core/rate_limit.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>

namespace {

std::uint32_t ip(const char *dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

// One call site: the kind of a line is its format string.
void junk(int i) {
    ferrule_log("junk %d\n", i);
}

} // namespace

TEST(AllowList, ParsesOrSaysWhyNotAndKeepsTheOldList) {
    struct row {
        const char *text;
        const char *error;   // nullptr: valid
        const char *inside;  // with the error: the old list's address
        const char *outside; // nullptr: the list holds everything
    };
    const row rows[] = {
        {"", nullptr, "203.0.113.7", nullptr},
        {" 192.168.1.0/24 ,10.0.0.9", nullptr, "192.168.1.255", "192.168.2.0"},
        {"192.168.1.0/24,10.0.0.9", nullptr, "10.0.0.9", "10.0.0.8"},
        {"172.16.0.0/12", nullptr, "172.31.255.255", "172.32.0.0"},
        {"0.0.0.0/0", nullptr, "203.0.113.7", nullptr},
        {"10.0.0.256", "\"10.0.0.256\" is not an IPv4 address", "127.0.0.2", "10.0.0.1"},
        {"10.0.0.010", "is not an IPv4 address", "127.0.0.2", "10.0.0.8"}, // octal to some
        {"repeater.local", "is not an IPv4 address", "127.0.0.2", "10.0.0.1"},
        {"10.0.0.1 10.0.0.2", "is not an IPv4 address", "127.0.0.2", "10.0.0.1"},
        {"10.0.0.0/33", "prefix length other than 0-32", "127.0.0.2", "10.0.0.1"},
        {"192.168.1.5/24", "host bits set; the block is 192.168.1.0/24", "127.0.0.2",
         "192.168.1.5"},
        {"10.0.0.1,,10.0.0.2", "an empty entry", "127.0.0.2", "10.0.0.1"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        ipv4_allow_list list;
        char error[ipv4_allow_list::ERROR_SIZE];
        ASSERT_TRUE(list.parse("127.0.0.2", error));
        EXPECT_EQ(list.parse(r.text, error), r.error == nullptr);
        if (r.error != nullptr) {
            EXPECT_NE(std::string(error).find(r.error), std::string::npos) << error;
        }
        EXPECT_TRUE(list.contains(ip(r.inside)));
        if (r.outside != nullptr) {
            EXPECT_FALSE(list.contains(ip(r.outside)));
        }
    }
    std::string many = "10.0.0.0";
    for (std::size_t i = 1; i <= ipv4_allow_list::CAPACITY; ++i) {
        many += ",10.0.0." + std::to_string(i);
    }
    ipv4_allow_list list;
    char error[ipv4_allow_list::ERROR_SIZE];
    EXPECT_FALSE(list.parse(many, error));
    EXPECT_NE(std::string(error).find("more than 64 entries"), std::string::npos);
}

TEST(RateLimiter, BurstThenOnePerPeriodPerKeyWithTheHeldCount) {
    rate_limiter<2> limiter(10, 1000);
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(limiter.admit(1, 7, 0).pass) << i;
    }
    for (int i = 0; i < 25; ++i) {
        EXPECT_FALSE(limiter.admit(1, 7, 500).pass);
    }
    EXPECT_TRUE(limiter.admit(2, 7, 500).pass); // a key of its own
    // No room for a third key: it shares the overflow bucket.
    EXPECT_TRUE(limiter.admit(3, 7, 600).shared);
    const rate_decision next = limiter.admit(1, 7, 1000);
    EXPECT_TRUE(next.pass);
    EXPECT_EQ(next.held, 25u);
    EXPECT_FALSE(limiter.admit(1, 7, 1999).pass);
    // A clock set back starts counting from the new time.
    EXPECT_FALSE(limiter.admit(1, 7, 5).pass);
    EXPECT_EQ(limiter.admit(1, 7, 6).held, 2u);
    // Quiet for a burst's length: the whole burst is back.
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(limiter.admit(1, 7, 20000).pass) << i;
    }
}

TEST(LogLimit, LinesOfOneSenderAndKindAreLimitedAndTheGapIsCounted) {
    ferrule_test::CapturedLog log;
    log_limiter limiter;
    for (int i = 0; i < 200; ++i) {
        log_limit_scope scope(limiter, ip("127.0.0.9"), 5000);
        junk(i);
    }
    {
        log_limit_scope scope(limiter, ip("127.0.0.2"), 5000);
        ferrule_log("call start\n");
    }
    ferrule_log("outside any scope\n");
    {
        log_limit_scope scope(limiter, ip("127.0.0.9"), 6000);
        junk(200);
    }
    EXPECT_EQ(log.text().substr(log.text().find("junk 9\n")),
              "junk 9\ncall start\noutside any scope\n(190 more lines like the next from "
              "127.0.0.9 were held back)\njunk 200\n");
}
