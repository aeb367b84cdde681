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

std::size_t count_of(const std::string &text, const std::string &what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// One call site: the kind of a line is its format string.
void junk(int i) {
    ferrule_log("junk %d\n", i);
}

} // namespace

TEST(AllowList, ParsesAddressesAndBlocks) {
    struct row {
        const char *text;
        const char *inside;  // nullptr: none to check
        const char *outside; // nullptr: none to check
        std::size_t entries;
    };
    const row rows[] = {
        {"", "203.0.113.7", nullptr, 0}, // empty: open
        {"   ", "203.0.113.7", nullptr, 0},
        {"127.0.0.2", "127.0.0.2", "127.0.0.3", 1},
        {" 192.168.1.0/24 ,10.0.0.9", "192.168.1.255", "192.168.2.0", 2},
        {"192.168.1.0/24,10.0.0.9", "10.0.0.9", "10.0.0.8", 2},
        {"10.0.0.0/8", "10.255.1.2", "11.0.0.0", 1},
        {"0.0.0.0/0", "203.0.113.7", nullptr, 1},
        {"172.16.0.0/12", "172.31.255.255", "172.32.0.0", 1},
        {"255.255.255.255/32", "255.255.255.255", "255.255.255.254", 1},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        ipv4_allow_list list;
        char error[ipv4_allow_list::ERROR_SIZE];
        ASSERT_TRUE(list.parse(r.text, error)) << error;
        EXPECT_EQ(list.size(), r.entries);
        EXPECT_TRUE(list.contains(ip(r.inside)));
        if (r.outside != nullptr) {
            EXPECT_FALSE(list.contains(ip(r.outside)));
        }
    }
}

TEST(AllowList, RejectsWhatItCannotReadAndKeepsTheOldList) {
    struct row {
        const char *text;
        const char *reason;
    };
    const row rows[] = {
        {"10.0.0.256", "\"10.0.0.256\" is not an IPv4 address"},
        {"10.0.0", "is not an IPv4 address"},
        {"10.0.0.1.2", "is not an IPv4 address"},
        {"10.0.0.010", "is not an IPv4 address"}, // octal to some readers
        {"repeater.local", "\"repeater.local\" is not an IPv4 address"},
        {"10.0.0.1 10.0.0.2", "is not an IPv4 address"},
        {"10.0.0.0/33", "prefix length other than 0-32"},
        {"10.0.0.0/", "prefix length"},
        {"10.0.0.0/-8", "prefix length"},
        {"192.168.1.5/24", "host bits set; the block is 192.168.1.0/24"},
        {"10.0.0.1,,10.0.0.2", "an empty entry"},
        {"10.0.0.1,", "an empty entry"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        ipv4_allow_list list;
        char error[ipv4_allow_list::ERROR_SIZE];
        ASSERT_TRUE(list.parse("127.0.0.2", error));
        EXPECT_FALSE(list.parse(r.text, error));
        EXPECT_NE(std::string(error).find(r.reason), std::string::npos) << error;
        EXPECT_EQ(list.size(), 1u);
        EXPECT_FALSE(list.contains(ip("10.0.0.1")));
    }
    std::string many;
    for (std::size_t i = 0; i <= ipv4_allow_list::CAPACITY; ++i) {
        many += (i ? "," : "") + std::string("10.0.0.") + std::to_string(i);
    }
    ipv4_allow_list list;
    char error[ipv4_allow_list::ERROR_SIZE];
    EXPECT_FALSE(list.parse(many, error));
    EXPECT_NE(std::string(error).find("more than 64 entries"), std::string::npos);
}

TEST(RateLimiter, BurstThenOnePerPeriodWithTheHeldCount) {
    rate_limiter<4> limiter(10, 1000);
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(limiter.admit(1, 7, 0).pass) << i;
    }
    for (int i = 0; i < 25; ++i) {
        EXPECT_FALSE(limiter.admit(1, 7, 500).pass);
    }
    // Another kind and another source have buckets of their own.
    EXPECT_TRUE(limiter.admit(1, 8, 500).pass);
    EXPECT_TRUE(limiter.admit(2, 7, 500).pass);
    const rate_decision next = limiter.admit(1, 7, 1000);
    EXPECT_TRUE(next.pass);
    EXPECT_EQ(next.held, 25u);
    EXPECT_FALSE(limiter.admit(1, 7, 1999).pass);
    EXPECT_EQ(limiter.admit(1, 7, 2000).held, 1u);
    // Quiet for the length of a burst: the whole burst is back.
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(limiter.admit(1, 7, 12000).pass) << i;
    }
    EXPECT_FALSE(limiter.admit(1, 7, 12000).pass);
}

TEST(RateLimiter, OncePerMinuteSurvivesAClockSetBack) {
    rate_limiter<4> limiter(1, 60000);
    EXPECT_TRUE(limiter.admit(9, 0, 1000000).pass);
    EXPECT_FALSE(limiter.admit(9, 0, 1059999).pass);
    // Set back by more than the minute: the bucket counts on from the new
    // time instead of waiting for the old one to come round again.
    EXPECT_FALSE(limiter.admit(9, 0, 5000).pass);
    const rate_decision d = limiter.admit(9, 0, 5001);
    EXPECT_TRUE(d.pass);
    EXPECT_EQ(d.held, 2u);
}

TEST(RateLimiter, AFullTableSharesOneBucketAndFreesQuietOnes) {
    rate_limiter<2> limiter(1, 1000);
    EXPECT_TRUE(limiter.admit(1, 0, 0).pass);
    EXPECT_TRUE(limiter.admit(2, 0, 0).pass);
    // No room: sources 3 and 4 share the overflow bucket.
    const rate_decision third = limiter.admit(3, 0, 0);
    EXPECT_TRUE(third.pass);
    EXPECT_TRUE(third.shared);
    EXPECT_FALSE(limiter.admit(4, 0, 0).pass);
    EXPECT_FALSE(limiter.admit(1, 0, 500).pass); // source 1 keeps its own bucket
    // Source 2 has refilled and holds no count: its bucket goes to source 5,
    // which starts with a full burst.
    const rate_decision fifth = limiter.admit(5, 0, 1000);
    EXPECT_TRUE(fifth.pass);
    EXPECT_FALSE(fifth.shared);
    EXPECT_FALSE(limiter.admit(5, 0, 1000).pass);
}

TEST(LogLimit, LinesOfOneSenderAndKindAreLimitedAndTheGapIsCounted) {
    ferrule_test::CapturedLog log;
    log_limiter limiter;
    const std::uint32_t stranger = ip("127.0.0.9");
    const std::uint32_t repeater = ip("127.0.0.2");
    for (int i = 0; i < 200; ++i) {
        log_limit_scope scope(limiter, stranger, 5000);
        junk(i);
    }
    {
        log_limit_scope scope(limiter, repeater, 5000);
        ferrule_log("call start\n");
        ferrule_log("call end\n");
    }
    ferrule_log("outside any scope\n");
    {
        log_limit_scope scope(limiter, stranger, 6000);
        junk(200);
    }
    const std::string text = log.text();
    EXPECT_EQ(count_of(text, "junk "), 11u);
    EXPECT_NE(text.find("junk 9\ncall start\ncall end\noutside any scope\n(190 more lines like "
                        "the next from 127.0.0.9 were held back)\njunk 200\n"),
              std::string::npos)
        << text;
}
