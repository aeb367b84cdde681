#include "dmr/bits.h"
#include "dmr/bptc.h"
#include "dmr/golay.h"
#include "dmr/lc.h"
#include "dmr/rs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <string>

namespace {

std::string bit_string(const flag_t *bits, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += static_cast<char>('0' + bits[i]);
    }
    return s;
}

std::array<flag_t, 8> bits_of(std::uint8_t byte) {
    std::array<flag_t, 8> b{};
    base_bytetobits(byte, b.data());
    return b;
}

TEST(Bits, PackingCountsOnlyExactOnesAndStopsAtWholeBytes) {
    const flag_t odd[8] = {1, 0, 0, 0, 0, 0, 0, 2};
    EXPECT_EQ(base_bitstobyte(odd), 0x80);
    flag_t bits[264] = {};
    bits[263] = 1;
    std::uint8_t out[34];
    std::memset(out, 0xAA, sizeof out);
    base_bitstobytes(bits, 264, out, 34);
    EXPECT_EQ(out[32], 0x01);
    EXPECT_EQ(out[33], 0xAA) << "byte 33 is not written";
    std::uint8_t back[2] = {0xC3, 0x5A};
    flag_t unpacked[16];
    base_bytestobits(back, 2, unpacked, 16);
    EXPECT_EQ(bit_string(unpacked, 16), "1100001101011010");
}

// Slot type parities for colour code 1 with data types 1 and 2, and d0 alone;
// the same as an independent encoder's (dmr_utils3) for these three words. The
// bursts use only the first two.
TEST(Golay, KnownParities) {
    const struct {
        std::uint8_t data;
        const char *parity;
    } cases[] = {{0x11, "101110001100"}, {0x12, "101001011001"}, {0x80, "001111011010"}};
    for (const auto &c : cases) {
        EXPECT_EQ(bit_string(golay_20_8_get_parity_bits(bits_of(c.data).data()), 12), c.parity)
            << int(c.data);
    }
}

TEST(ReedSolomon, TablesFollowTheirRule) {
    unsigned x = 1;
    for (int i = 0; i < 255; ++i) {
        ASSERT_EQ(rs_12_9_galois_exp_table[i], x) << i;
        ASSERT_EQ(rs_12_9_galois_log_table[x], i) << i;
        x = (x << 1) ^ ((x & 0x80) ? 0x11D : 0);
    }
    EXPECT_EQ(rs_12_9_galois_exp_table[255], 0x01);
}

TEST(ReedSolomon, MultiplicationAndKnownChecksums) {
    EXPECT_EQ(rs_12_9_galois_multiplication(0x02, 0x80), 0x1D);
    EXPECT_EQ(rs_12_9_galois_multiplication(0x57, 0x00), 0x00);
    EXPECT_EQ(rs_12_9_galois_multiplication(0x00, 0x57), 0x00);
    rs_12_9_codeword_t zeros = {};
    const std::uint8_t *c = rs_12_9_calc_checksum(&zeros);
    EXPECT_EQ(c[0] | c[1] | c[2], 0);
    // The LC of a group call 9 <- 1234567; an independent encoder (dmr_utils3)
    // gives the same checksum.
    rs_12_9_codeword_t lc = {0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x12, 0xD6, 0x87};
    c = rs_12_9_calc_checksum(&lc);
    EXPECT_EQ(c[0], 0x65);
    EXPECT_EQ(c[1], 0x21);
    EXPECT_EQ(c[2], 0x66);
}

// Evaluates the codeword (byte 0 the coefficient of x^11) at alpha^k.
std::uint8_t evaluate(const rs_12_9_codeword_t &cw, int k) {
    std::uint8_t point = rs_12_9_galois_exp_table[static_cast<std::size_t>(k)];
    std::uint8_t acc = 0;
    for (int i = 0; i < 12; ++i) {
        acc = static_cast<std::uint8_t>(rs_12_9_galois_multiplication(acc, point) ^ cw[i]);
    }
    return acc;
}

TEST(ReedSolomon, CodewordsHaveTheGeneratorRoots) {
    std::mt19937 rng(12345); // NOLINT(cert-msc32-c,cert-msc51-cpp): a failure must reproduce
    for (int trial = 0; trial < 2000; ++trial) {
        rs_12_9_codeword_t cw = {};
        for (int i = 0; i < 9; ++i) {
            cw[i] = static_cast<std::uint8_t>(rng());
        }
        const std::uint8_t *c = rs_12_9_calc_checksum(&cw);
        cw[9] = c[0];
        cw[10] = c[1];
        cw[11] = c[2];
        for (int k = 1; k <= 3; ++k) {
            ASSERT_EQ(evaluate(cw, k), 0) << "trial " << trial << " root alpha^" << k;
        }
    }
}

// The packed rows the bursts are built from against the bit-by-bit block;
// the block itself is pinned by the bursts' known answers.
TEST(Bptc, PackedRowsMatchTheBitBlock) {
    std::mt19937 rng(4242); // NOLINT(cert-msc32-c,cert-msc51-cpp): a failure must reproduce
    for (int trial = 0; trial < 1000; ++trial) {
        std::uint8_t data[12];
        for (std::uint8_t &b : data) {
            b = static_cast<std::uint8_t>(rng());
        }
        bptc_196_96_data_bits_t bits;
        base_bytestobits(data, 12, bits, 96);
        const dmrpacket_payload_info_bits_t &block = *bptc_196_96_generate(&bits);
        std::uint16_t rows[13];
        bptc_196_96_encode_rows(data, rows);
        for (int p = 1; p < 196; ++p) {
            const int row = (p - 1) / 15;
            ASSERT_EQ((rows[row] >> (14 - (p - 1) % 15)) & 1, block[p])
                << "trial " << trial << " position " << p;
        }
    }
}

} // namespace
