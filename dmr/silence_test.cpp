// The silence burst against the one the field's hosts send (three AMBE+2
// silence frames with an empty middle), and with a middle put in and read back.
#include "dmr/lc.h"
#include "dmr/silence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

namespace {

constexpr std::array<std::uint8_t, 33> HOSTS_SILENCE = {
    0xB9, 0xE8, 0x81, 0x52, 0x61, 0x73, 0x00, 0x2A, 0x6B, 0xB9, 0xE8,
    0x81, 0x52, 0x60, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x73, 0x00,
    0x2A, 0x6B, 0xB9, 0xE8, 0x81, 0x52, 0x61, 0x73, 0x00, 0x2A, 0x6B};

TEST(SilenceBurst, KnownAnswers) {
    std::array<std::uint8_t, 33> out{};
    out.fill(0xFF);
    dmr_silence::build_silence({}, out);
    EXPECT_EQ(out, HOSTS_SILENCE);

    // Burst A: the base station's voice sync sits on a nibble boundary.
    dmr_silence::middle sync{};
    std::copy(std::begin(dmrpacket_sync_pattern_bs_sourced_voice),
              std::end(dmrpacket_sync_pattern_bs_sourced_voice), sync.begin());
    dmr_silence::build_silence(sync, out);
    const std::array<std::uint8_t, 7> middle_bytes = {0x67, 0x55, 0xFD, 0x7D, 0xF7, 0x5F, 0x71};
    EXPECT_TRUE(std::equal(middle_bytes.begin(), middle_bytes.end(), out.begin() + 13));
    EXPECT_EQ(dmr_silence::middle_of(out), sync);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 13, HOSTS_SILENCE.begin()));
    EXPECT_TRUE(std::equal(out.begin() + 20, out.end(), HOSTS_SILENCE.begin() + 20));
}

} // namespace
