#include "dmr/bits.h"

#include <algorithm>
#include <cstddef>

std::uint8_t base_bitstobyte(const flag_t bits[8]) {
    std::uint8_t value = 0;
    for (int i = 0; i < 8; ++i) {
        if (bits[i] == 1) {
            value = static_cast<std::uint8_t>(value | (0x80 >> i));
        }
    }
    return value;
}

void base_bitstobytes(const flag_t *bits, std::uint16_t bits_length, std::uint8_t *bytes,
                      std::uint16_t bytes_size) {
    std::ptrdiff_t n = std::min<int>(bits_length / 8, bytes_size);
    for (std::ptrdiff_t k = 0; k < n; ++k) {
        bytes[k] = base_bitstobyte(bits + 8 * k);
    }
}

void base_bytetobits(std::uint8_t byte, flag_t bits[8]) {
    for (int i = 0; i < 8; ++i) {
        bits[i] = static_cast<flag_t>((byte >> (7 - i)) & 1);
    }
}

void base_bytestobits(const std::uint8_t *bytes, std::uint16_t bytes_length, flag_t *bits,
                      std::uint16_t bits_size) {
    std::ptrdiff_t n = std::min<int>(bytes_length, bits_size / 8);
    for (std::ptrdiff_t k = 0; k < n; ++k) {
        base_bytetobits(bytes[k], bits + 8 * k);
    }
}
