#pragma once
// Bit arrays hold one bit per byte (0 or 1), element 0 first on air, which is
// the most significant bit of the first packed byte.

#include <cstdint>

using flag_t = std::uint8_t;

// Bit (7 - i) of the result is set for each element i that equals exactly 1.
std::uint8_t base_bitstobyte(const flag_t bits[8]);
// Packs min(bits_length / 8, bytes_size) bytes; bits past the last whole byte
// and bytes past that count are left untouched.
void base_bitstobytes(const flag_t *bits, std::uint16_t bits_length, std::uint8_t *bytes,
                      std::uint16_t bytes_size);
void base_bytetobits(std::uint8_t byte, flag_t bits[8]);
// Unpacks min(bytes_length, bits_size / 8) bytes.
void base_bytestobits(const std::uint8_t *bytes, std::uint16_t bytes_length, flag_t *bits,
                      std::uint16_t bits_size);
