#include "dmr/rs.h"

std::uint8_t rs_12_9_galois_multiplication(std::uint8_t a, std::uint8_t b) {
    if (a == 0 || b == 0) {
        return 0;
    }
    unsigned i = (rs_12_9_galois_log_table[a] + rs_12_9_galois_log_table[b]) % 255u;
    return rs_12_9_galois_exp_table[i];
}

void rs_12_9_checksum(const std::uint8_t data[9], std::uint8_t out[3]) {
    const auto &g0 = rs_12_9_genpoly_products[0];
    const auto &g1 = rs_12_9_genpoly_products[1];
    const auto &g2 = rs_12_9_genpoly_products[2];
    std::uint8_t c0 = 0, c1 = 0, c2 = 0;
    for (int i = 0; i < 9; ++i) {
        std::uint8_t f = static_cast<std::uint8_t>(c0 ^ data[i]);
        c0 = static_cast<std::uint8_t>(g2[f] ^ c1);
        c1 = static_cast<std::uint8_t>(g1[f] ^ c2);
        c2 = g0[f];
    }
    out[0] = c0;
    out[1] = c1;
    out[2] = c2;
}

namespace {
std::uint8_t rs_12_9_checksum_buffer[3];
}

const std::uint8_t *rs_12_9_calc_checksum(const rs_12_9_codeword_t *codeword) {
    rs_12_9_checksum(*codeword, rs_12_9_checksum_buffer);
    return rs_12_9_checksum_buffer;
}
