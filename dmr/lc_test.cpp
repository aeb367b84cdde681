// Known answers for the Voice LC header and the Terminator with LC
// (ETSI TS 102 361-1 7.1.1 and 9.1.4 for the bursts, B.3.6 for the checksum).
// The checksums and the whole bursts below are the coder's own output,
// confirmed byte for byte with an independent encoder (dmr_utils3's RS, BPTC,
// Golay and sync pattern) for the group call 9 <- 1234567 and the private
// call 1234567 <- 7654321.
#include "dmr/bits.h"
#include "dmr/lc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

std::string hex(const std::uint8_t *bytes, int n) {
    std::string s;
    char buf[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        s += buf;
    }
    return s;
}

std::string packed_lc(const bptc_196_96_data_bits_t *bits) {
    std::uint8_t bytes[12];
    base_bitstobytes(*bits, 96, bytes, 12);
    return hex(bytes, 12);
}

TEST(LinkControl, GroupCall) {
    EXPECT_EQ(hex(dmrpacket_lc_construct_lc(1, 9, 1234567), 12),
              "00 00 00 00 00 09 12 D6 87 00 00 00");
    EXPECT_EQ(hex(dmrpacket_lc_construct_full_lc(1, 9, 1234567), 12),
              "00 00 00 00 00 09 12 D6 87 65 21 66");
    EXPECT_EQ(packed_lc(dmrpacket_lc_construct_voice_lc_header(1, 9, 1234567)),
              "00 00 00 00 00 09 12 D6 87 F3 B7 F0");
    EXPECT_EQ(packed_lc(dmrpacket_lc_construct_terminator_with_lc(1, 9, 1234567)),
              "00 00 00 00 00 09 12 D6 87 FC B8 FF");
}

TEST(LinkControl, PrivateCall) {
    EXPECT_EQ(hex(dmrpacket_lc_construct_lc(0, 1234567, 7654321), 9), "03 00 00 12 D6 87 74 CB B1");
    EXPECT_EQ(packed_lc(dmrpacket_lc_construct_voice_lc_header(0, 1234567, 7654321)).substr(27),
              "50 73 46");
    EXPECT_EQ(packed_lc(dmrpacket_lc_construct_terminator_with_lc(0, 1234567, 7654321)).substr(27),
              "5F 7C 49");
}

TEST(LinkControl, CallTypesAndWideIds) {
    const std::string group = hex(dmrpacket_lc_construct_full_lc(1, 9, 1234567), 12);
    for (std::uint8_t type : {2, 0xFF}) {
        EXPECT_EQ(hex(dmrpacket_lc_construct_full_lc(type, 9, 1234567), 12), group) << int(type);
    }
    EXPECT_EQ(hex(dmrpacket_lc_construct_full_lc(1, 0xAB000009, 0xFF12D687), 12), group);
}

TEST(Burst, PayloadsByteForByte) {
    EXPECT_EQ(hex(ipscpacket_construct_payload_voice_lc_header(1, 9, 1234567), 34),
              "02 8F 08 34 03 68 0F 98 1A 20 3F 20 C4 6D FF 57 D7 5D F5 DE 33 D8 17 48 13 A0 "
              "04 40 54 01 BB 00 AE 00");
    EXPECT_EQ(hex(ipscpacket_construct_payload_terminator_with_lc(1, 9, 1234567), 34),
              "02 E0 08 E0 03 D8 0F E0 1A 50 3F 80 C4 AD FF 57 D7 5D F5 D9 66 CC 14 70 14 C0 "
              "08 00 5C 01 A2 00 9D 00");
}

// The builders' packed path against the bit-per-byte stages it replaces.
std::string reference_burst(const bptc_196_96_data_bits_t *lc_bits, std::uint8_t data_type) {
    dmrpacket_payload_bits_t burst;
    dmrpacket_insert_info_bits(&burst,
                               dmrpacket_data_bptc_interleave(bptc_196_96_generate(lc_bits)));
    dmrpacket_slot_type_insert_bits(&burst, dmrpacket_slot_type_construct_bits(1, data_type));
    dmrpacket_sync_insert_bits(&burst,
                               dmrpacket_sync_construct_bits(DMRPACKET_SYNC_TYPE_BS_SOURCED_DATA));
    std::uint8_t bytes[34] = {};
    base_bitstobytes(burst, 264, bytes, 34);
    return hex(bytes, 34);
}

TEST(Burst, MatchesTheBitByBitStages) {
    std::mt19937 rng(2024); // NOLINT(cert-msc32-c,cert-msc51-cpp): a failure must reproduce
    for (int trial = 0; trial < 2000; ++trial) {
        const auto type = static_cast<std::uint8_t>(trial % 3 == 0 ? 0 : rng());
        const std::uint32_t dst = rng(), src = rng();
        ASSERT_EQ(hex(ipscpacket_construct_payload_voice_lc_header(type, dst, src), 34),
                  reference_burst(dmrpacket_lc_construct_voice_lc_header(type, dst, src), 1))
            << int(type) << " " << dst << " " << src;
        ASSERT_EQ(hex(ipscpacket_construct_payload_terminator_with_lc(type, dst, src), 34),
                  reference_burst(dmrpacket_lc_construct_terminator_with_lc(type, dst, src), 2))
            << int(type) << " " << dst << " " << src;
    }
}

// The sync patterns of ETSI TS 102 361-1 clause 9.1.1.
TEST(Sync, AllPatternsAndUnknownCodes) {
    const char *expected[] = {"75 5F D7 DF 75 F7", "DF F5 7D 75 DF 5D", "7F 7D 5D D5 7D FD",
                              "D5 D7 F7 7F D7 57", "77 D5 5F 7D FD 77", "5D 57 7F 77 57 FF",
                              "F7 FD D5 DD FD 55", "7D FF D5 F5 5D 5F", "D7 55 7F 5F F7 F5"};
    std::uint8_t bytes[6];
    for (int code = 1; code <= 9; ++code) {
        base_bitstobytes(*dmrpacket_sync_construct_bits(static_cast<std::uint8_t>(code)), 48, bytes,
                         6);
        EXPECT_EQ(hex(bytes, 6), expected[code - 1]) << code;
    }
    for (std::uint8_t code : {0, 10}) {
        base_bitstobytes(*dmrpacket_sync_construct_bits(code), 48, bytes, 6);
        EXPECT_EQ(hex(bytes, 6), "00 00 00 00 00 00");
    }
}

} // namespace
