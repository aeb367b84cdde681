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
#include <set>
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

// Slot type parities for colour code 1 with data types 1 and 2, and d0 alone.
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

TEST(Golay, EvenWeightAndMinimumDistanceEight) {
    std::array<std::uint32_t, 256> words{};
    for (int d = 0; d < 256; ++d) {
        const flag_t *p = golay_20_8_get_parity_bits(bits_of(static_cast<std::uint8_t>(d)).data());
        std::uint32_t w = static_cast<std::uint32_t>(d) << 12;
        for (int i = 0; i < 12; ++i) {
            w |= static_cast<std::uint32_t>(p[i]) << (11 - i);
        }
        EXPECT_EQ(__builtin_popcount(w) % 2, 0) << d;
        words[static_cast<std::size_t>(d)] = w;
    }
    int min_distance = 20;
    for (int a = 0; a < 256; ++a) {
        for (int b = a + 1; b < 256; ++b) {
            min_distance = std::min(min_distance, __builtin_popcount(words[a] ^ words[b]));
        }
    }
    EXPECT_EQ(min_distance, 8);
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

// Syndrome check of a Hamming row or column against its own parity rule.
bool row_ok(const flag_t *row) {
    bptc_196_96_error_vector_t p;
    bptc_196_96_hamming_15_11_3_get_parity_bits(row, &p);
    return std::memcmp(p, row + 11, 4) == 0;
}

TEST(Bptc, RowsAndColumnsAreCodewords) {
    std::mt19937 rng(777); // NOLINT(cert-msc32-c,cert-msc51-cpp): a failure must reproduce
    for (int trial = 0; trial < 1000; ++trial) {
        bptc_196_96_data_bits_t data;
        for (flag_t &b : data) {
            b = static_cast<flag_t>(rng() & 1);
        }
        const dmrpacket_payload_info_bits_t &block = *bptc_196_96_generate(&data);
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(block[i], 0);
        }
        for (int row = 0; row < 13; ++row) {
            ASSERT_TRUE(row_ok(&block[15 * row + 1])) << "row " << row;
        }
        for (int column = 0; column < 15; ++column) {
            flag_t col[13];
            for (int row = 0; row < 13; ++row) {
                col[row] = block[15 * row + column + 1];
            }
            bptc_196_96_error_vector_t p;
            bptc_196_96_hamming_13_9_3_get_parity_bits(col, &p);
            ASSERT_EQ(std::memcmp(p, col + 9, 4), 0) << "column " << column;
        }
        // The information bits come back out where they went in.
        ASSERT_EQ(std::memcmp(&block[4], data, 8), 0);
        ASSERT_EQ(std::memcmp(&block[16], data + 8, 11), 0);
    }
}

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

TEST(Bptc, ZerosGiveZerosAndNullIsIgnored) {
    bptc_196_96_data_bits_t zeros = {};
    const dmrpacket_payload_info_bits_t &block = *bptc_196_96_generate(&zeros);
    for (flag_t b : block) {
        ASSERT_EQ(b, 0);
    }
    bptc_196_96_error_vector_t p = {9, 9, 9, 9};
    bptc_196_96_hamming_15_11_3_get_parity_bits(nullptr, &p);
    bptc_196_96_hamming_13_9_3_get_parity_bits(nullptr, &p);
    EXPECT_EQ(p[0], 9);
    bptc_196_96_hamming_15_11_3_get_parity_bits(block, nullptr);
}

TEST(Interleave, IsAPermutation) {
    EXPECT_EQ(dmrpacket_data_bptc_interleave(nullptr), nullptr);
    std::set<int> seen;
    for (int i = 0; i < 196; ++i) {
        dmrpacket_payload_info_bits_t one = {};
        one[i] = 1;
        const dmrpacket_payload_info_bits_t &out = *dmrpacket_data_bptc_interleave(&one);
        int hits = 0;
        for (int j = 0; j < 196; ++j) {
            if (out[j] == 1) {
                ++hits;
                seen.insert(j);
            }
        }
        ASSERT_EQ(hits, 1);
    }
    EXPECT_EQ(seen.size(), 196u);
}

} // namespace
