#pragma once
// Golay (20,8) parity of the slot type (ETSI TS 102 361-1 B.3.1): a Golay
// (24,12) code shortened by four information bits, minimum distance 8.

#include "dmr/bits.h"

#include <array>
#include <cstdint>

namespace golay_20_8_detail {
// Data bits feeding each parity bit p0..p11, as a mask with d0 in bit 7.
inline constexpr std::uint8_t parity_taps[12] = {
    0b01001111, // d1 d4 d5 d6 d7
    0b01101000, // d1 d2 d4
    0b10110100, // d0 d2 d3 d5
    0b11011010, // d0 d1 d3 d4 d6
    0b11101101, // d0 d1 d2 d4 d5 d7
    0b10111001, // d0 d2 d3 d4 d7
    0b00010011, // d3 d6 d7
    0b11000110, // d0 d1 d5 d6
    0b11100011, // d0 d1 d2 d6 d7
    0b00111110, // d2 d3 d4 d5 d6
    0b10011111, // d0 d3 d4 d5 d6 d7
    0b01110101, // d1 d2 d3 d5 d7
};

constexpr std::array<std::uint16_t, 256> make_parity_table() {
    std::array<std::uint16_t, 256> t{};
    for (unsigned d = 0; d < 256; ++d) {
        unsigned word = 0;
        for (unsigned taps : parity_taps) {
            unsigned x = d & taps;
            x ^= x >> 4;
            x ^= x >> 2;
            x ^= x >> 1;
            word = (word << 1) | (x & 1);
        }
        t[d] = static_cast<std::uint16_t>(word);
    }
    return t;
}
} // namespace golay_20_8_detail

// Parity bits of data byte d (d0 in bit 7): p0 in bit 11 down to p11 in bit 0.
inline constexpr std::array<std::uint16_t, 256> golay_20_8_parity_table =
    golay_20_8_detail::make_parity_table();
static_assert(golay_20_8_parity_table[0x00] == 0x000 && golay_20_8_parity_table[0x11] == 0xB8C &&
              golay_20_8_parity_table[0x12] == 0xA59 && golay_20_8_parity_table[0x80] == 0x3DA);

// Returns the 12 parity bits of data bits d0..d7 (d0 first on air). The result
// is a static buffer, overwritten by the next call.
const flag_t *golay_20_8_get_parity_bits(const flag_t data[8]);
