#pragma once
// Reed-Solomon (12,9) over GF(2^8) with the primitive polynomial
// x^8 + x^4 + x^3 + x^2 + 1 (ETSI TS 102 361-1 B.3.6); generator
// (x + a)(x + a^2)(x + a^3).

#include <array>
#include <cstdint>

// Bytes 0..8 data, 9..11 checksum.
using rs_12_9_codeword_t = std::uint8_t[12];

namespace rs_12_9_detail {
constexpr std::array<std::uint8_t, 256> make_exp_table() {
    std::array<std::uint8_t, 256> t{};
    unsigned x = 1;
    for (int i = 0; i < 256; ++i) {
        t[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(x);
        x <<= 1;
        if (x & 0x100) {
            x ^= 0x11D;
        }
    }
    return t;
}
constexpr std::array<std::uint8_t, 256> make_log_table() {
    auto exp = make_exp_table();
    std::array<std::uint8_t, 256> t{};
    for (int i = 0; i < 255; ++i) {
        t[exp[static_cast<std::size_t>(i)]] = static_cast<std::uint8_t>(i);
    }
    return t;
}
} // namespace rs_12_9_detail

inline constexpr std::array<std::uint8_t, 256> rs_12_9_galois_exp_table =
    rs_12_9_detail::make_exp_table();
inline constexpr std::array<std::uint8_t, 256> rs_12_9_galois_log_table =
    rs_12_9_detail::make_log_table();
static_assert(rs_12_9_galois_exp_table[0] == 0x01 && rs_12_9_galois_exp_table[8] == 0x1D &&
              rs_12_9_galois_exp_table[255] == 0x01);
static_assert(rs_12_9_galois_log_table[0x02] == 1 && rs_12_9_galois_log_table[0x1D] == 8);

// Coefficients of x^0, x^1, x^2, x^3 of the generator polynomial.
inline constexpr std::uint8_t genpoly[4] = {0x40, 0x38, 0x0E, 0x01};

namespace rs_12_9_detail {
constexpr std::array<std::uint8_t, 256> make_product_table(std::uint8_t factor) {
    std::array<std::uint8_t, 256> t{};
    for (unsigned f = 1; f < 256; ++f) {
        unsigned i = (rs_12_9_galois_log_table[f] + rs_12_9_galois_log_table[factor]) % 255u;
        t[f] = rs_12_9_galois_exp_table[i];
    }
    return t;
}
} // namespace rs_12_9_detail

// genpoly[k] times every field element: the checksum costs three look-ups a byte.
inline constexpr std::array<std::array<std::uint8_t, 256>, 3> rs_12_9_genpoly_products = {
    rs_12_9_detail::make_product_table(genpoly[0]), rs_12_9_detail::make_product_table(genpoly[1]),
    rs_12_9_detail::make_product_table(genpoly[2])};
static_assert(rs_12_9_genpoly_products[0][0x00] == 0x00 &&
              rs_12_9_genpoly_products[0][0x04] == 0x1D &&
              rs_12_9_genpoly_products[2][0x02] == 0x1C &&
              rs_12_9_genpoly_products[1][0x01] == 0x38);

std::uint8_t rs_12_9_galois_multiplication(std::uint8_t a, std::uint8_t b);

// Returns the unmasked checksum of bytes 0..8, in the order of bytes 9, 10, 11.
// Static buffer, overwritten by the next call.
const std::uint8_t *rs_12_9_calc_checksum(const rs_12_9_codeword_t *codeword);
// The same checksum of data[0..8] into out[0..2], with no shared state.
void rs_12_9_checksum(const std::uint8_t data[9], std::uint8_t out[3]);
