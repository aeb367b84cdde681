#include "dmr/golay.h"

namespace {
// Data bits feeding each parity bit, as a mask with d0 in bit 7.
constexpr std::uint8_t parity_taps[12] = {
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
flag_t parity[12];
} // namespace

const flag_t *golay_20_8_get_parity_bits(const flag_t data[8]) {
    std::uint8_t d = base_bitstobyte(data);
    for (int p = 0; p < 12; ++p) {
        parity[p] = static_cast<flag_t>(__builtin_popcount(d & parity_taps[p]) & 1);
    }
    return parity;
}
