#include "ids/id_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

struct lookup {
    std::uint32_t id;
    const char *callsign; // nullptr: not found
    const char *name;
};

void expect_lookups(const id_table &t, const std::vector<lookup> &cases) {
    for (const lookup &c : cases) {
        char callsign[ID_CALLSIGN_SIZE];
        char name[ID_NAME_SIZE];
        EXPECT_EQ(t.find(c.id, callsign, name), c.callsign != nullptr) << c.id;
        EXPECT_STREQ(callsign, c.callsign != nullptr ? c.callsign : "") << c.id;
        EXPECT_STREQ(name, c.name != nullptr ? c.name : "") << c.id;
    }
}

TEST(IdList, BothFileFormsWithBadLines) {
    struct form {
        const char *text;
        std::size_t entries, skipped;
        std::vector<lookup> lookups;
    };
    const std::vector<form> forms = {
        {"# DMRIds.dat\n"
         "2621234\tDL1ABC\tHans\n"
         "2621235 DL2XYZ  Anna Maria \r\n"
         "\n"
         "abc\tDL3BAD\tNot a number\n"
         "99999999\tDL4BIG\tToo big\n"
         "2621236\n"
         "2621237\tDL5NON\n"
         "2621234\tDL9DUP\tSecond line\n"
         "3100001\tK1XYZ\tJos\xe9 Caf\xc3\xa9\n"
         "3100002\tW1ABCDEFGHIJKLMNOPQ\tA name far longer than the thirty-one bytes kept\n",
         5, // the second line of 2621234 is not a second entry
         3,
         {{2621234, "DL1ABC", "Hans"},
          {2621235, "DL2XYZ", "Anna Maria"},
          {2621237, "DL5NON", ""},
          {3100001, "K1XYZ", "Jos\xc3\xa9 Caf\xc3\xa9"},
          {3100002, "W1ABCDEFGHIJKLM", "A name far longer than the thir"},
          {2621236, nullptr, nullptr},
          {1, nullptr, nullptr}}},
        {"RADIO_ID,CALLSIGN,FIRST_NAME,LAST_NAME,CITY,STATE,COUNTRY\n"
         "2621234,DL1ABC,Hans,Muster,Berlin,Berlin,Germany\n"
         "\"2621235\",\"DL2XYZ\",\"Anna, Maria\",\"\"\"Q\"\"\",,,\n"
         "x,DL3BAD,Bad,,,,\n"
         "2621238,,Nocall,,,,\n"
         "2621239\n"
         "3100001,K1XYZ\n",
         3,
         3,
         {{2621234, "DL1ABC", "Hans"},
          {2621235, "DL2XYZ", "Anna, Maria"},
          {3100001, "K1XYZ", ""},
          {2621238, nullptr, nullptr}}},
        {"CALLSIGN,RADIO_ID\nDL1ABC,2621234\n", 1, 0, {{2621234, "DL1ABC", ""}}},
    };
    for (const form &f : forms) {
        id_read_counts counts;
        const auto table = id_table::parse(f.text, counts);
        EXPECT_EQ(counts.entries, f.entries) << f.text;
        EXPECT_EQ(counts.skipped_lines, f.skipped) << f.text;
        expect_lookups(*table, f.lookups);
    }
    id_read_counts counts;
    EXPECT_EQ(id_table_read("/nonexistent/DMRIds.dat", counts), nullptr);
}

// Lookups on several threads while the list is replaced again and again:
// each sees one whole list or the other (run under ThreadSanitizer in CI).
TEST(IdList, ReplacedWhileLookedUp) {
    id_list list;
    char callsign[ID_CALLSIGN_SIZE];
    char name[ID_NAME_SIZE];
    EXPECT_FALSE(list.find(2621234, callsign, name)) << "nothing loaded yet";
    auto table_of = [](const char *name) {
        std::string text;
        for (std::uint32_t id = 2620000; id < 2621000; ++id) {
            text += std::to_string(id) + "\tDL" + std::to_string(id % 1000) + "\t" + name + "\n";
        }
        id_read_counts counts;
        return id_table::parse(text, counts);
    };
    list.publish(table_of("Old"), {"a", 1000, 0, 1});
    std::atomic<bool> stop{false};
    std::atomic<int> mixed{0};
    std::vector<std::thread> readers;
    readers.reserve(3);
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            char c[ID_CALLSIGN_SIZE];
            char n[ID_NAME_SIZE];
            while (!stop.load()) {
                for (std::uint32_t id = 2620000; id < 2621000; id += 97) {
                    if (!list.find(id, c, n) ||
                        (std::string(n) != "Old" && std::string(n) != "New")) {
                        mixed.fetch_add(1);
                    }
                }
            }
        });
    }
    for (int i = 0; i < 40; ++i) {
        list.publish(table_of(i % 2 == 0 ? "New" : "Old"), {"a", 1000, 0, 2 + i});
    }
    stop.store(true);
    for (std::thread &t : readers) {
        t.join();
    }
    EXPECT_EQ(mixed.load(), 0);
    EXPECT_TRUE(list.find(2620005, callsign, name));
    EXPECT_STREQ(name, "Old");
    EXPECT_EQ(list.info().loaded, 41);
}

} // namespace
