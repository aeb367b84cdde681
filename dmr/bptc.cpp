#include "dmr/bptc.h"

#include <array>
#include <bit>
#include <cstring>
#include <initializer_list>

namespace {

dmrpacket_payload_info_bits_t payload_info_bits;

// Block position of matrix element (row, column); position 0 is reserved.
constexpr int at(int row, int column) {
    return 15 * row + column + 1;
}

// Data bits feeding one parity bit, as a mask of a width-bit word with data
// bit 0 the most significant.
constexpr std::uint16_t taps(int width, std::initializer_list<int> bits) {
    unsigned mask = 0;
    for (int b : bits) {
        mask |= 1u << (width - 1 - b);
    }
    return static_cast<std::uint16_t>(mask);
}

constexpr std::uint16_t row_taps[4] = {
    taps(11, {0, 1, 2, 3, 5, 7, 8}),
    taps(11, {1, 2, 3, 4, 6, 8, 9}),
    taps(11, {2, 3, 4, 5, 7, 9, 10}),
    taps(11, {0, 1, 2, 4, 6, 7, 10}),
};
constexpr std::uint16_t column_taps[4] = {
    taps(9, {0, 1, 3, 5, 6}),
    taps(9, {0, 1, 2, 4, 6, 7}),
    taps(9, {0, 1, 2, 3, 5, 7, 8}),
    taps(9, {0, 2, 4, 5, 8}),
};

void parity_of(const flag_t *d, int width, const std::uint16_t (&masks)[4],
               bptc_196_96_error_vector_t *error_vector) {
    for (int k = 0; k < 4; ++k) {
        flag_t v = 0;
        for (int i = 0; i < width; ++i) {
            if ((masks[k] >> (width - 1 - i)) & 1) {
                v ^= d[i];
            }
        }
        (*error_vector)[k] = v;
    }
}

// For data row r, a 1 in the lowest bit of 16-bit lane 3 - k for each
// column parity bit k that row r feeds.
constexpr std::array<std::uint64_t, 9> make_column_spread() {
    std::array<std::uint64_t, 9> t{};
    for (int row = 0; row <= 8; ++row) {
        for (int k = 0; k < 4; ++k) {
            if ((column_taps[k] >> (8 - row)) & 1) {
                t[static_cast<std::size_t>(row)] |= std::uint64_t{1} << (48 - 16 * k);
            }
        }
    }
    return t;
}
constexpr std::array<std::uint64_t, 9> column_spread = make_column_spread();
static_assert(column_spread[0] == 0x0001'0001'0001'0001 &&
              column_spread[8] == 0x0000'0000'0001'0001);

// Row parity p0..p3 (p0 in bit 3) of every 11-bit row, data bit 0 in bit 10.
constexpr std::array<std::uint8_t, 2048> make_row_parity_table() {
    std::array<std::uint8_t, 2048> t{};
    for (unsigned d = 0; d < 2048; ++d) {
        unsigned p = 0;
        for (unsigned mask : row_taps) {
            p = (p << 1) | (static_cast<unsigned>(std::popcount(d & mask)) & 1u);
        }
        t[d] = static_cast<std::uint8_t>(p);
    }
    return t;
}
constexpr std::array<std::uint8_t, 2048> row_parity = make_row_parity_table();
static_assert(row_parity[0x400] == 0b1001 && row_parity[0x001] == 0b0011 &&
              row_parity[0x7FF] == 0b1111);

} // namespace

void bptc_196_96_hamming_15_11_3_get_parity_bits(const flag_t *d,
                                                 bptc_196_96_error_vector_t *error_vector) {
    if (d == nullptr || error_vector == nullptr) {
        return;
    }
    parity_of(d, 11, row_taps, error_vector);
}

void bptc_196_96_hamming_13_9_3_get_parity_bits(const flag_t *d,
                                                bptc_196_96_error_vector_t *error_vector) {
    if (d == nullptr || error_vector == nullptr) {
        return;
    }
    parity_of(d, 9, column_taps, error_vector);
}

const dmrpacket_payload_info_bits_t *bptc_196_96_generate(const bptc_196_96_data_bits_t *data) {
    std::memset(payload_info_bits, 0, sizeof payload_info_bits);
    const flag_t *in = *data;
    // Row 0 starts with three reserved zero bits, so it carries only 8 data bits.
    std::memcpy(&payload_info_bits[at(0, 3)], in, 8);
    in += 8;
    for (int row = 1; row <= 8; ++row) {
        std::memcpy(&payload_info_bits[at(row, 0)], in, 11);
        in += 11;
    }
    bptc_196_96_error_vector_t parity;
    for (int row = 0; row <= 8; ++row) {
        bptc_196_96_hamming_15_11_3_get_parity_bits(&payload_info_bits[at(row, 0)], &parity);
        std::memcpy(&payload_info_bits[at(row, 11)], parity, 4);
    }
    for (int column = 0; column < 15; ++column) {
        flag_t bits[9];
        for (int row = 0; row <= 8; ++row) {
            bits[row] = payload_info_bits[at(row, column)];
        }
        bptc_196_96_hamming_13_9_3_get_parity_bits(bits, &parity);
        for (int k = 0; k < 4; ++k) {
            payload_info_bits[at(9 + k, column)] = parity[k];
        }
    }
    return &payload_info_bits;
}

void bptc_196_96_encode_rows(const std::uint8_t data[12], std::uint16_t rows[13]) {
    // Bits 0..63 and 32..95 of the data: every 11-bit row lies wholly in one.
    std::uint64_t head = 0, tail = 0;
    for (int i = 0; i < 8; ++i) {
        head = (head << 8) | data[i];
        tail = (tail << 8) | data[i + 4];
    }
    unsigned info[9];
    info[0] = data[0]; // columns 0..2 of row 0 are reserved zeros
    for (int row = 1; row <= 8; ++row) {
        const int first = 8 + 11 * (row - 1);
        const std::uint64_t bits =
            first + 11 <= 64 ? head >> (64 - first - 11) : tail >> (96 - first - 11);
        info[row] = static_cast<unsigned>(bits & 0x7FF);
    }
    for (int row = 0; row <= 8; ++row) {
        rows[row] = static_cast<std::uint16_t>(info[row] << 4 | row_parity[info[row]]);
    }
    // Column parity for all 15 columns at once: parity row k is the sum of the
    // data rows its taps name. Each data row is copied by one multiplication
    // into the 16-bit lanes of the parity rows it feeds; the lanes never carry.
    std::uint64_t parity_rows = 0;
    for (int row = 0; row <= 8; ++row) {
        parity_rows ^= rows[row] * column_spread[static_cast<std::size_t>(row)];
    }
    for (int k = 0; k < 4; ++k) {
        rows[9 + k] = static_cast<std::uint16_t>(parity_rows >> (48 - 16 * k));
    }
}
