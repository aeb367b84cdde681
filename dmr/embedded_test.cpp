#include "dmr/ambe_fec.h"
#include "dmr/embedded_lc.h"
#include "dmr/talker_alias.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace {

using burst_t = std::array<std::uint8_t, 33>;

// The AMBE+2 silence frame every DMR system sends in place of lost voice,
// first 9 bytes of a burst: A = 0xF80148, B = 0x54150D, C = 0x13F19C1.
constexpr std::array<std::uint8_t, 9> SILENCE = {0xB9, 0xE8, 0x81, 0x52, 0x61,
                                                 0x73, 0x00, 0x2A, 0x6B};

burst_t silence_burst() {
    burst_t b{};
    std::copy(SILENCE.begin(), SILENCE.end(), b.begin());
    const ambe_words w = ambe_read_frame(b, 0);
    ambe_write_frame(b, 1, w);
    ambe_write_frame(b, 2, w);
    return b;
}

void flip(burst_t &b, std::size_t bit) {
    b[bit >> 3] ^= static_cast<std::uint8_t>(0x80U >> (bit & 7));
}

TEST(AmbeFec, SilenceIsCleanAndItsWordsAreCodewords) {
    const burst_t b = silence_burst();
    const ambe_words w = ambe_read_frame(b, 0);
    EXPECT_EQ(w.a, 0xF80148U);
    EXPECT_EQ(w.b, 0x54150DU);
    EXPECT_EQ(w.c, 0x13F19C1U);
    EXPECT_EQ(golay_24_12_encode(0xF80), 0xF80148U);
    EXPECT_EQ(ambe_burst_errors(b), 0U);
    EXPECT_EQ(ambe_read_frame(b, 2).c, 0x13F19C1U);
}

TEST(AmbeFec, CountsFlipsInEachFrameUpToThreePerCodeWord) {
    struct flips {
        std::size_t frame;
        std::vector<std::size_t> a; // bit indexes into word A
        std::vector<std::size_t> b; // into word B
        std::vector<std::size_t> c; // into C: never counted
        std::uint32_t expected;
    };
    const std::vector<flips> cases = {
        {0, {0, 1}, {}, {}, 2},
        {0, {3}, {22}, {}, 2},
        {0, {0, 5, 23}, {0, 1, 2}, {}, 6},
        {1, {10, 11}, {}, {}, 2},
        {1, {}, {4, 12, 17}, {0, 24}, 3},
        {1, {17, 18, 19}, {}, {}, 3}, // across the burst's middle
        {2, {23}, {}, {}, 1},         // A's parity bit
        {2, {1, 2, 3}, {5, 6}, {3}, 5},
    };
    for (const flips &c : cases) {
        burst_t b = silence_burst();
        for (std::size_t i : c.a) {
            flip(b, ambe_a_bit(c.frame, i));
        }
        for (std::size_t i : c.b) {
            flip(b, ambe_b_bit(c.frame, i));
        }
        for (std::size_t i : c.c) {
            flip(b, ambe_c_bit(c.frame, i));
        }
        EXPECT_EQ(ambe_burst_errors(b), c.expected) << "frame " << c.frame;
    }
    // The frames skip the 48 middle bits: none of them lands there.
    for (std::size_t f = 0; f < 3; ++f) {
        for (std::size_t i = 0; i < 23; ++i) {
            EXPECT_TRUE(ambe_b_bit(f, i) < 108 || ambe_b_bit(f, i) >= 156);
        }
    }
}

// Writes the four fragments of `lc` into bursts B-E and feeds them on.
bool through_superframe(const embedded_lc &lc, embedded_lc &out, std::size_t damaged_bit = 999) {
    const auto fragments = embedded_lc_encode(lc);
    const std::array<lcss, 4> order = {lcss::first, lcss::continuation, lcss::continuation,
                                       lcss::last};
    embedded_lc_collector collector;
    bool done = false;
    for (std::size_t i = 0; i < 4; ++i) {
        burst_t b = silence_burst();
        std::uint32_t f = fragments[i];
        if (damaged_bit / 32 == i) {
            f ^= 0x80000000U >> (damaged_bit % 32);
        }
        embedded_write(b, {1, false, order[i]}, f);
        EXPECT_EQ(ambe_burst_errors(b), 0U) << "the embedded signalling stays out of the voice";
        EXPECT_EQ(emb_read(b).fragment, order[i]);
        EXPECT_EQ(emb_read(b).color_code, 1);
        done = collector.add(b, out);
    }
    return done;
}

TEST(EmbeddedLc, SuperframeRoundTripCorrectsOneBitAndRejectsABadChecksum) {
    const embedded_lc group = {0x00, 0x00, 0x20, 0x00, 0x01, 0x06, 0x27, 0xD6, 0x13};
    embedded_lc out{};
    ASSERT_TRUE(through_superframe(group, out));
    EXPECT_EQ(out, group);
    // Bit 127 alone would land in the parity row, which no code corrects.
    for (std::size_t bit : {0U, 45U, 77U, 126U}) {
        out = {};
        EXPECT_TRUE(through_superframe(group, out, bit)) << bit;
        EXPECT_EQ(out, group) << bit;
    }
    // Fragments out of order complete nothing.
    embedded_lc_collector collector;
    burst_t b = silence_burst();
    embedded_write(b, {1, false, lcss::last}, embedded_lc_encode(group)[3]);
    EXPECT_FALSE(collector.add(b, out));
    // Two flips in one row are beyond the code.
    std::array<std::uint32_t, 4> f = embedded_lc_encode(group);
    f[0] ^= 0xC0000000U; // bits 0 and 1 land in rows 0 and 1: each correctable
    EXPECT_TRUE(embedded_lc_decode(f, out));
    f = embedded_lc_encode(group);
    f[0] ^= 0x80000000U; // row 0
    f[0] ^= 0x00800000U; // bit 8: row 0 again
    EXPECT_FALSE(embedded_lc_decode(f, out));
}

TEST(TalkerAlias, EachFormatThroughTheEmbeddedLc) {
    struct format_case {
        talker_alias_format format;
        const char *sent;
        const char *shown;
        std::size_t blocks;
    };
    const std::vector<format_case> cases = {
        {talker_alias_format::seven_bit, "DL1ABC Hans", "DL1ABC Hans", 2},
        {talker_alias_format::iso_8859_1, "DL1ABC J\xfcrgen", "DL1ABC J\xc3\xbcrgen", 2},
        {talker_alias_format::utf8, "DL1ABC J\xc3\xbcrgen", "DL1ABC J\xc3\xbcrgen", 3},
        {talker_alias_format::utf16, "DL1ABC Hans", "DL1ABC Hans", 4},
        {talker_alias_format::seven_bit, "0123456789012345678901234567890123",
         "0123456789012345678901234567890", 4},
        {talker_alias_format::iso_8859_1,
         "A\x01"
         "B\x7f",
         "AB", 1},
    };
    for (const format_case &c : cases) {
        std::array<embedded_lc, TALKER_ALIAS_BLOCKS> lcs{};
        const std::size_t n = talker_alias_encode(c.sent, c.format, lcs);
        EXPECT_EQ(n, c.blocks) << c.sent;
        talker_alias_collector ta;
        char text[TALKER_ALIAS_TEXT] = {};
        for (std::size_t i = 0; i < n; ++i) {
            embedded_lc lc{};
            ASSERT_TRUE(through_superframe(lcs[i], lc));
            EXPECT_TRUE(ta.add(lc));
            EXPECT_EQ(ta.text(text), i + 1 == n) << c.sent << " block " << i;
        }
        EXPECT_STREQ(text, c.shown);
    }
    // As much as arrived: the header alone gives the first characters.
    std::array<embedded_lc, TALKER_ALIAS_BLOCKS> lcs{};
    talker_alias_encode("DL1ABC Hans", talker_alias_format::iso_8859_1, lcs);
    talker_alias_collector ta;
    char text[TALKER_ALIAS_TEXT] = {};
    EXPECT_FALSE(ta.text(text));
    ta.add(lcs[1]);
    EXPECT_FALSE(ta.text(text)) << "nothing without the header";
    EXPECT_STREQ(text, "");
    ta.add(lcs[0]);
    EXPECT_TRUE(ta.text(text));
    ta.reset();
    ta.add(lcs[0]);
    EXPECT_FALSE(ta.text(text));
    EXPECT_STREQ(text, "DL1ABC");
    EXPECT_FALSE(ta.add(gps_encode({0, 0, 0})));
}

TEST(GpsLc, KnownPositionsAndSigns) {
    struct position_case {
        double latitude, longitude;
        std::uint8_t error;
        embedded_lc lc;
    };
    // Latitude steps are 180 / 2^24 degrees, longitude steps 360 / 2^25.
    const std::vector<position_case> cases = {
        {0.0, 0.0, 7, {0x08, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {45.0, 90.0, 0, {0x08, 0x00, 0x00, 0x80, 0x00, 0x00, 0x40, 0x00, 0x00}},
        {-45.0, -90.0, 2, {0x08, 0x00, 0x05, 0x80, 0x00, 0x00, 0xC0, 0x00, 0x00}},
    };
    for (const position_case &c : cases) {
        EXPECT_EQ(gps_encode({c.latitude, c.longitude, c.error}), c.lc);
        gps_position p{};
        ASSERT_TRUE(gps_decode(c.lc, p));
        EXPECT_DOUBLE_EQ(p.latitude, c.latitude);
        EXPECT_DOUBLE_EQ(p.longitude, c.longitude);
        EXPECT_EQ(p.error, c.error);
    }
    gps_position p{};
    ASSERT_TRUE(gps_decode(gps_encode({52.52, 13.405, 1}), p));
    EXPECT_NEAR(p.latitude, 52.52, 180.0 / 16777216.0);
    EXPECT_NEAR(p.longitude, 13.405, 360.0 / 33554432.0);
    EXPECT_FALSE(gps_decode(embedded_lc{0x04}, p));
}

} // namespace
