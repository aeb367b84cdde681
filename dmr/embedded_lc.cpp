#include "dmr/embedded_lc.h"

namespace {

constexpr std::size_t ROWS = 8;
constexpr std::size_t DATA_ROWS = 7;
constexpr unsigned ROW_BITS = 16;

// Hamming (16,11,4) of the embedded LC (ETSI TS 102 361-1 B.3.7): the data
// bits (bit 0 first, the row's most significant bit) each parity bit covers.
constexpr std::array<std::uint16_t, 5> PARITY_TAPS = {
    // d0 d1 d2 d3 d5 d7 d8
    0b11110101100,
    // d1 d2 d3 d4 d6 d8 d9
    0b01111010110,
    // d2 d3 d4 d5 d7 d9 d10
    0b00111101011,
    // d0 d1 d2 d4 d6 d7 d10
    0b11101011001,
    // d0 d2 d5 d6 d8 d9 d10
    0b10100110111,
};

// The 5 parity bits of an 11-bit row value (d0 in bit 10).
unsigned row_parity(unsigned data) {
    unsigned p = 0;
    for (std::uint16_t taps : PARITY_TAPS) {
        p = p << 1 | static_cast<unsigned>(__builtin_parity(data & taps));
    }
    return p;
}

// The syndrome of a single flipped bit, by its position in the row (0 first).
constexpr std::array<std::uint8_t, 16> single_error_syndromes() {
    std::array<std::uint8_t, 16> s{};
    for (unsigned bit = 0; bit < 11; ++bit) {
        unsigned p = 0;
        for (std::uint16_t taps : PARITY_TAPS) {
            p = p << 1 | ((taps >> (10 - bit)) & 1U);
        }
        s[bit] = static_cast<std::uint8_t>(p);
    }
    for (unsigned bit = 11; bit < 16; ++bit) {
        s[bit] = static_cast<std::uint8_t>(1U << (15 - bit));
    }
    return s;
}
constexpr std::array<std::uint8_t, 16> SYNDROMES = single_error_syndromes();

bool correct_row(std::uint16_t &row) {
    const unsigned syndrome = row_parity(row >> 5) ^ (row & 0x1FU);
    if (syndrome == 0) {
        return true;
    }
    for (unsigned bit = 0; bit < ROW_BITS; ++bit) {
        if (SYNDROMES[bit] == syndrome) {
            row ^= static_cast<std::uint16_t>(0x8000U >> bit);
            return true;
        }
    }
    return false;
}

// Data bits per row: 11 in rows 0 and 1, 10 in rows 2-6, whose 11th bit
// carries one bit of the checksum.
constexpr std::array<unsigned, DATA_ROWS> ROW_DATA = {11, 11, 10, 10, 10, 10, 10};

// Bits are sent down the columns: bit k of the 128 goes to matrix bit
// (16 k) mod 127, and the last to bit 127.
std::size_t matrix_index(std::size_t k) {
    return k == 127 ? 127 : (k * ROW_BITS) % 127;
}

bool bit_of(std::span<const std::uint8_t> bytes, std::size_t i) {
    return ((bytes[i >> 3] >> (7 - (i & 7))) & 1U) != 0;
}

unsigned checksum(const embedded_lc &lc) {
    unsigned sum = 0;
    for (std::uint8_t b : lc) {
        sum += b;
    }
    return sum % 31;
}

constexpr std::size_t EMB_FIRST_HALF = 13; // low nibble of byte 13, high of 14
constexpr std::size_t FRAGMENT_BYTE = 14;  // low nibble of 14 to high of 18

} // namespace

emb_fields emb_read(std::span<const std::uint8_t, 33> burst) {
    const auto first =
        static_cast<std::uint8_t>((burst[EMB_FIRST_HALF] << 4) | (burst[EMB_FIRST_HALF + 1] >> 4));
    return {static_cast<std::uint8_t>(first >> 4), (first & 0x08U) != 0,
            static_cast<lcss>((first >> 1) & 0x03U)};
}

std::uint32_t embedded_fragment_read(std::span<const std::uint8_t, 33> burst) {
    const std::size_t f = FRAGMENT_BYTE;
    return (static_cast<std::uint32_t>(burst[f] & 0x0FU) << 28) |
           static_cast<std::uint32_t>(burst[f + 1]) << 20 |
           static_cast<std::uint32_t>(burst[f + 2]) << 12 |
           static_cast<std::uint32_t>(burst[f + 3]) << 4 |
           static_cast<std::uint32_t>(burst[f + 4] >> 4);
}

void embedded_write(std::span<std::uint8_t, 33> burst, const emb_fields &emb,
                    std::uint32_t fragment) {
    // EMB: colour code, PI, LCSS, then 9 bits of QR (16,7) parity left zero
    // here (receivers of this system check the LC's own codes instead).
    const auto first =
        static_cast<std::uint8_t>((emb.color_code & 0x0FU) << 4 | (emb.privacy ? 0x08U : 0U) |
                                  static_cast<unsigned>(emb.fragment) << 1);
    const std::size_t f = FRAGMENT_BYTE;
    burst[EMB_FIRST_HALF] = static_cast<std::uint8_t>((burst[EMB_FIRST_HALF] & 0xF0U) | first >> 4);
    burst[f] = static_cast<std::uint8_t>((first & 0x0FU) << 4 | (fragment >> 28));
    burst[f + 1] = static_cast<std::uint8_t>(fragment >> 20);
    burst[f + 2] = static_cast<std::uint8_t>(fragment >> 12);
    burst[f + 3] = static_cast<std::uint8_t>(fragment >> 4);
    burst[f + 4] = static_cast<std::uint8_t>((fragment & 0x0FU) << 4);
    burst[f + 5] = static_cast<std::uint8_t>(burst[f + 5] & 0x0FU);
}

bool embedded_lc_decode(const std::array<std::uint32_t, 4> &fragments, embedded_lc &out) {
    std::array<std::uint8_t, 16> raw{};
    for (std::size_t i = 0; i < fragments.size(); ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            raw[i * 4 + b] = static_cast<std::uint8_t>(fragments[i] >> (24 - 8 * b));
        }
    }
    std::array<std::uint16_t, ROWS> rows{};
    for (std::size_t k = 0; k < 128; ++k) {
        if (bit_of(raw, k)) {
            const std::size_t m = matrix_index(k);
            rows[m / ROW_BITS] |= static_cast<std::uint16_t>(0x8000U >> (m % ROW_BITS));
        }
    }
    std::uint16_t columns = 0;
    for (std::size_t r = 0; r < ROWS; ++r) {
        if (r < DATA_ROWS && !correct_row(rows[r])) {
            return false;
        }
        columns ^= rows[r];
    }
    if (columns != 0) {
        return false;
    }
    out.fill(0);
    std::size_t bit = 0;
    unsigned sum_bits = 0;
    for (std::size_t r = 0; r < DATA_ROWS; ++r) {
        for (unsigned c = 0; c < ROW_DATA[r]; ++c, ++bit) {
            if ((rows[r] >> (15 - c)) & 1U) {
                out[bit >> 3] |= static_cast<std::uint8_t>(0x80U >> (bit & 7));
            }
        }
        if (r >= 2) {
            sum_bits = sum_bits << 1 | ((rows[r] >> 5) & 1U);
        }
    }
    return sum_bits == checksum(out);
}

std::array<std::uint32_t, 4> embedded_lc_encode(const embedded_lc &lc) {
    std::array<std::uint16_t, ROWS> rows{};
    const unsigned sum = checksum(lc);
    std::size_t bit = 0;
    for (std::size_t r = 0; r < DATA_ROWS; ++r) {
        unsigned data = 0;
        for (unsigned c = 0; c < ROW_DATA[r]; ++c, ++bit) {
            data = data << 1 | (bit_of(lc, bit) ? 1U : 0U);
        }
        if (r >= 2) {
            data = data << 1 | ((sum >> (6 - r)) & 1U);
        }
        rows[r] = static_cast<std::uint16_t>(data << 5 | row_parity(data));
        rows[DATA_ROWS] ^= rows[r];
    }
    std::array<std::uint32_t, 4> fragments{};
    for (std::size_t k = 0; k < 128; ++k) {
        const std::size_t m = matrix_index(k);
        if ((rows[m / ROW_BITS] >> (15 - m % ROW_BITS)) & 1U) {
            fragments[k / 32] |= 0x80000000U >> (k % 32);
        }
    }
    return fragments;
}

bool embedded_lc_collector::add(std::span<const std::uint8_t, 33> burst, embedded_lc &out) {
    const emb_fields emb = emb_read(burst);
    const std::uint32_t fragment = embedded_fragment_read(burst);
    switch (emb.fragment) {
    case lcss::first:
        fragments_[0] = fragment;
        next_ = 1;
        return false;
    case lcss::continuation:
        if (next_ == 1 || next_ == 2) {
            fragments_[next_++] = fragment;
        } else {
            next_ = 0;
        }
        return false;
    case lcss::last:
        if (next_ != 3) {
            next_ = 0;
            return false;
        }
        fragments_[3] = fragment;
        next_ = 0;
        return embedded_lc_decode(fragments_, out);
    case lcss::single:
        break;
    }
    next_ = 0;
    return false;
}
