#include "network/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace link_msg;

namespace {

std::string text_at(std::span<const std::uint8_t> d, rptc_field f) {
    return {reinterpret_cast<const char *>(d.data()) + f.offset, f.width};
}

constexpr std::array<std::uint8_t, 4> ACK_ONE{0, 0, 0, 1};

const rptc_source TYPICAL{"DB0ABC",  "438500000", "431100000", "5",       "1",
                          "50.1234", "8.12345",   "Testort",   "http://x"};

// The fixed fields are checked end to end, by the simulated peer's reading.
TEST(RptcLayout, FieldsWidthsAndJustification) {
    rptc_source call5 = TYPICAL, longcall = TYPICAL, watt100 = TYPICAL, empty = TYPICAL;
    call5.callsign = "DB0AB";
    longcall.callsign = "DB0ABCDEFG";
    watt100.power = "100";
    empty.location = "";
    empty.url = "";
    const struct {
        rptc_source source;
        rptc_field field;
        std::string expected;
    } rows[] = {
        {call5, RPTC_CALLSIGN, "DB0AB   "},
        {longcall, RPTC_CALLSIGN, "DB0ABCDE"},
        {TYPICAL, RPTC_POWER, " 5"},
        {watt100, RPTC_POWER, "10"},
        {TYPICAL, RPTC_COLOUR, " 1"},
        {empty, RPTC_LOCATION, std::string(20, ' ')},
        {empty, RPTC_URL, std::string(124, ' ')},
        {TYPICAL, RPTC_RX_FREQ, "438500000"},
        {TYPICAL, RPTC_TX_FREQ, "431100000"},
        {TYPICAL, RPTC_LATITUDE, "50.1234 "},
        {TYPICAL, RPTC_LONGITUDE, "8.12345  "},
        {TYPICAL, RPTC_LOCATION, "Testort" + std::string(13, ' ')},
    };
    for (const auto &r : rows) {
        std::array<std::uint8_t, RPTC_LENGTH> out;
        out.fill(0xAA);
        build_rptc(ACK_ONE, r.source, out);
        EXPECT_EQ(text_at(out, r.field), r.expected) << r.field.offset;
        EXPECT_EQ(text_at(out, {0, 8}), std::string("RPTC\0\0\0\1", 8));
        // Nothing of the buffer's earlier content survives: every byte is set.
        EXPECT_EQ(std::count(out.begin(), out.end(), 0xAA), 0) << r.field.offset;
    }
}

// The messages built from it are checked whole by the link tests.
TEST(IdMessages, RepeaterIdText) {
    const std::pair<const char *, std::int32_t> rows[] = {
        {"026201", 26201}, {"2620101", 2620101},        {" 42x", 42}, {"", 0},
        {"-", 0},          {"99999999999", 2147483647},
    };
    for (auto [text, id] : rows) {
        EXPECT_EQ(repeater_id(text), id) << text;
    }
}

TEST(Classify, TagsLengthsAndLookalikes) {
    auto with = [](std::string t, std::size_t length) {
        std::vector<std::uint8_t> d(t.begin(), t.end());
        d.resize(length, 0);
        return d;
    };
    const std::pair<std::vector<std::uint8_t>, tag> rows[] = {
        {with("RPTACK", 10), tag::RPTACK},
        {with("RPTACK", 9), tag::none}, // no whole acknowledge value
        {with("RPTNAK", 10), tag::RPTNAK},
        {with("RPTNAK", 6), tag::none},
        {with("MSTNAK", 12), tag::MSTNAK},
        {with("MSTNAK", 8), tag::none},
        {with("RPTPONG", 7), tag::RPTPONG},
        {with("RPTPONG", 11), tag::RPTPONG}, // trailing bytes are fine
        {with("MSTPONG", 11), tag::MSTPONG},
        {with("RPTPONX", 7), tag::none},
        {with("RPTPON", 6), tag::none}, // shorter than the tag
        {with("DMRD", 55), tag::DMRD},
        {with("DMRD", 54), tag::none},
        {with("DMR", 3), tag::none},
        {with("RPTL1234", 8), tag::none},
        {{}, tag::none},
    };
    for (const auto &[datagram, expected] : rows) {
        EXPECT_EQ(classify(datagram), expected)
            << std::string(datagram.begin(), datagram.end()) << " len " << datagram.size();
    }
}

} // namespace
