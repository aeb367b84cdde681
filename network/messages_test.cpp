#include "network/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace link_msg;

namespace {

std::vector<std::uint8_t> bytes(const std::string &text) {
    return {text.begin(), text.end()};
}

std::string text_at(std::span<const std::uint8_t> d, rptc_field f) {
    return {reinterpret_cast<const char *>(d.data()) + f.offset, f.width};
}

constexpr std::array<std::uint8_t, 4> ACK_ONE{0, 0, 0, 1};

const rptc_source TYPICAL{"DB0ABC",  "438500000", "431100000", "5",       "1",
                          "50.1234", "8.12345",   "Testort",   "http://x"};

TEST(RptcLayout, FieldsWidthsAndJustification) {
    struct row {
        const char *name;
        rptc_source source;
        rptc_field field;
        std::string expected;
    };
    rptc_source call5 = TYPICAL;
    call5.callsign = "DB0AB";
    rptc_source longcall = TYPICAL;
    longcall.callsign = "DB0ABCDEFG";
    rptc_source watt100 = TYPICAL;
    watt100.power = "100";
    rptc_source empty = TYPICAL;
    empty.location = "";
    empty.url = "";
    const std::vector<row> rows = {
        {"call sign of 5", call5, RPTC_CALLSIGN, "DB0AB   "},
        {"call sign of 10 is cut", longcall, RPTC_CALLSIGN, "DB0ABCDE"},
        {"power 5 right-justified", TYPICAL, RPTC_POWER, " 5"},
        {"power 100 cut after two", watt100, RPTC_POWER, "10"},
        {"colour code", TYPICAL, RPTC_COLOUR, " 1"},
        {"empty location", empty, RPTC_LOCATION, std::string(20, ' ')},
        {"empty URL", empty, RPTC_URL, std::string(124, ' ')},
        {"RX field", TYPICAL, RPTC_RX_FREQ, "438500000"},
        {"TX field", TYPICAL, RPTC_TX_FREQ, "431100000"},
        {"latitude left", TYPICAL, RPTC_LATITUDE, "50.1234 "},
        {"longitude left", TYPICAL, RPTC_LONGITUDE, "8.12345  "},
        {"height fixed", TYPICAL, RPTC_HEIGHT, "000"},
        {"location left", TYPICAL, RPTC_LOCATION, "Testort" + std::string(13, ' ')},
        {"description fixed", TYPICAL, RPTC_DESCRIPTION, "Multi-Mode Repeater"},
        {"slots fixed", TYPICAL, RPTC_SLOTS, "3"},
        {"software ID", TYPICAL, RPTC_SOFTWARE, "20171220" + std::string(32, ' ')},
        {"package ID", TYPICAL, RPTC_PACKAGE, "MMDVM" + std::string(35, ' ')},
    };
    for (const row &r : rows) {
        std::array<std::uint8_t, RPTC_LENGTH> out;
        out.fill(0xAA);
        build_rptc(ACK_ONE, r.source, out);
        EXPECT_EQ(text_at(out, r.field), r.expected) << r.name;
        EXPECT_EQ(text_at(out, {0, 4}), "RPTC") << r.name;
        EXPECT_EQ(get_u32(out.data() + 4), 1u) << r.name;
        // Nothing of the buffer's earlier content survives: every byte is set.
        EXPECT_EQ(std::count(out.begin(), out.end(), 0xAA), 0) << r.name;
    }
}

TEST(IdMessages, RepeaterIdTextToBigEndianBytes) {
    struct row {
        const char *text;
        std::int32_t id;
    };
    const std::vector<row> rows = {
        {"026201", 26201}, {"2620101", 2620101},        {" 42x", 42}, {"", 0}, {"abc", 0},
        {"-", 0},          {"99999999999", 2147483647},
    };
    for (const row &r : rows) {
        EXPECT_EQ(repeater_id(r.text), r.id) << r.text;
    }
    EXPECT_EQ(repeater_id(nullptr), 0);

    std::array<std::uint8_t, RPTL_LENGTH> rptl{};
    build_rptl(repeater_id("026201"), rptl);
    EXPECT_EQ(rptl, (std::array<std::uint8_t, 8>{'R', 'P', 'T', 'L', 0x00, 0x00, 0x66, 0x59}));
    std::array<std::uint8_t, RPTPING_LENGTH> ping{};
    build_rptping(26201, ping);
    EXPECT_EQ(text_at(ping, {0, 7}), "RPTPING");
    EXPECT_EQ(get_u32(ping.data() + 7), 26201u);
    std::array<std::uint8_t, RPTCL_LENGTH> close{};
    build_rptcl(26201, close);
    EXPECT_EQ(text_at(close, {0, 5}), "RPTCL");
    EXPECT_EQ(get_u32(close.data() + 5), 26201u);
}

TEST(IdMessages, RptkEchoesAcknowledgeAndCarriesDigest) {
    std::vector<std::uint8_t> rptack = bytes("RPTACK");
    rptack.insert(rptack.end(), {0x00, 0x00, 0x00, 0x01});
    const auto ack = ack_bytes(rptack);
    EXPECT_EQ(ack, ACK_ONE);
    EXPECT_EQ(ack_value(ack), 1);
    std::array<std::uint8_t, RPTK_LENGTH> rptk{};
    build_rptk(ack, rptk);
    EXPECT_EQ(text_at(rptk, {0, 4}), "RPTK");
    EXPECT_TRUE(std::equal(ACK_ONE.begin(), ACK_ONE.end(), rptk.begin() + 4));
    EXPECT_TRUE(std::equal(LOGIN_DIGEST.begin(), LOGIN_DIGEST.end(), rptk.begin() + 8));
    // The log prints the value as signed.
    const std::array<std::uint8_t, 4> high{0xFF, 0xFF, 0xFF, 0xFE};
    EXPECT_EQ(ack_value(high), -2);
}

TEST(Classify, TagsLengthsAndLookalikes) {
    struct row {
        std::vector<std::uint8_t> datagram;
        tag expected;
    };
    auto with = [](std::string t, std::size_t length) {
        std::vector<std::uint8_t> d(t.begin(), t.end());
        d.resize(length, 0);
        return d;
    };
    const std::vector<row> rows = {
        {with("RPTACK", 10), tag::RPTACK},
        {with("RPTACK", 9), tag::none}, // no whole acknowledge value
        {with("RPTNAK", 10), tag::RPTNAK},
        {with("RPTNAK", 6), tag::none},
        {with("MSTNAK", 12), tag::MSTNAK},
        {with("MSTNAK", 8), tag::none},
        {with("RPTPONG", 7), tag::RPTPONG},
        {with("RPTPONG", 11), tag::RPTPONG}, // trailing bytes are fine
        {with("MSTPONG", 11), tag::MSTPONG},
        {bytes("RPTPONX"), tag::none},
        {bytes("RPTPON"), tag::none}, // shorter than the tag
        {with("DMRD", 55), tag::DMRD},
        {with("DMRD", 54), tag::none},
        {bytes("DMR"), tag::none},
        {bytes("RPTL1234"), tag::none},
        {{}, tag::none},
    };
    for (const row &r : rows) {
        EXPECT_EQ(classify(r.datagram), r.expected)
            << std::string(r.datagram.begin(), r.datagram.end()) << " len " << r.datagram.size();
    }
}

} // namespace
