#include "dmr/rs.h"

std::uint8_t rs_12_9_galois_multiplication(std::uint8_t a, std::uint8_t b) {
    if (a == 0 || b == 0) {
        return 0;
    }
    unsigned i = (rs_12_9_galois_log_table[a] + rs_12_9_galois_log_table[b]) % 255u;
    return rs_12_9_galois_exp_table[i];
}

namespace {
std::uint8_t rs_12_9_checksum[3];
}

const std::uint8_t *rs_12_9_calc_checksum(const rs_12_9_codeword_t *codeword) {
    std::uint8_t c0 = 0, c1 = 0, c2 = 0;
    for (int i = 0; i < 9; ++i) {
        std::uint8_t f = static_cast<std::uint8_t>(c0 ^ (*codeword)[i]);
        c0 = static_cast<std::uint8_t>(rs_12_9_galois_multiplication(genpoly[2], f) ^ c1);
        c1 = static_cast<std::uint8_t>(rs_12_9_galois_multiplication(genpoly[1], f) ^ c2);
        c2 = rs_12_9_galois_multiplication(genpoly[0], f);
    }
    rs_12_9_checksum[0] = c0;
    rs_12_9_checksum[1] = c1;
    rs_12_9_checksum[2] = c2;
    return rs_12_9_checksum;
}
