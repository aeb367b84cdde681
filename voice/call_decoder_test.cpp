// What a call's bursts add up to: the bursts missing from a repeater call's
// superframes, the gaps in a network call's sequence numbers, and the DMRA and
// DMRG messages for the network.
#include "dmr/talker_alias.h"
#include "voice/call_decoder.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

TEST(CallDecoder, BurstsMissingFromSuperframesAndSequenceGaps) {
    struct superframe_case {
        std::vector<std::size_t> bursts; // indexes 0 A .. 5 F, as they arrive
        std::uint32_t lost;
    };
    const std::vector<superframe_case> superframes = {
        {{0, 1, 2, 3, 4, 5, 0, 1}, 0},
        {{0, 1, 3, 4, 5}, 1},       // C missing
        {{0, 1, 2, 3, 4, 5, 1}, 1}, // the next A missing, across the superframe
        {{2, 3, 5, 0}, 1},          // a call heard first at C: nothing before it counts
        {{0, 1, 2, 3, 4, 5, 5}, 5}, // a whole superframe less one burst
    };
    const std::array<std::uint8_t, 33> burst{};
    for (const superframe_case &c : superframes) {
        call_decoder d;
        slot_call call{};
        for (std::size_t b : c.bursts) {
            count_voice_burst(d, call, call_direction::to_network, burst, b, true, 0, 0);
        }
        EXPECT_EQ(call.figures.lost_frames, c.lost) << c.bursts.size();
        EXPECT_EQ(call.figures.frames, c.bursts.size());
        EXPECT_EQ(call.figures.bits_checked, 141 * c.bursts.size());
    }
    struct gap_case {
        std::uint8_t last, next;
        std::uint32_t lost;
    };
    for (const gap_case &g : std::vector<gap_case>{
             {4, 5, 0}, {4, 7, 2}, {254, 1, 2}, {5, 5, 0}, {9, 4, 0}, {0, 127, 126}, {0, 128, 0}}) {
        call_figures f{};
        count_sequence_gap(f, g.last, g.next);
        EXPECT_EQ(f.lost_frames, g.lost) << int(g.last) << " -> " << int(g.next);
    }
}

TEST(CallDecoder, TalkerAliasAndPositionMessagesForTheNetwork) {
    std::array<embedded_lc, TALKER_ALIAS_BLOCKS> alias{};
    talker_alias_encode("DL1ABC Hans", talker_alias_format::iso_8859_1, alias);
    std::array<std::uint8_t, NETWORK_LC_MESSAGE_MAX> m{};
    ASSERT_EQ(network_lc_message(2621234, alias[1], m), 15U);
    // Block 1 holds bytes 7-13 of the alias: after the format byte and "DL1ABC".
    const std::array<std::uint8_t, 15> dmra = {'D', 'M', 'R', 'A', 0x27, 0xFF, 0x32, 1,
                                               ' ', 'H', 'a', 'n', 's',  0,    0};
    EXPECT_EQ(m, dmra);
    ASSERT_EQ(network_lc_message(2621234, gps_encode({45.0, 90.0, 0}), m), 14U);
    const std::array<std::uint8_t, 14> dmrg = {'D',  'M',  'R',  'G',  0x27, 0xFF, 0x32,
                                               0x00, 0x80, 0x00, 0x00, 0x40, 0x00, 0x00};
    EXPECT_TRUE(std::equal(dmrg.begin(), dmrg.end(), m.begin()));
    EXPECT_EQ(network_lc_message(2621234, embedded_lc{0x00}, m), 0U) << "a voice LC";
}

} // namespace
