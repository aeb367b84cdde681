#include "dmr/bptc.h"

#include <cstring>
#include <initializer_list>

namespace {

dmrpacket_payload_info_bits_t payload_info_bits;

// Block position of matrix element (row, column); position 0 is reserved.
constexpr int at(int row, int column) {
    return 15 * row + column + 1;
}

flag_t xor_of(const flag_t *d, std::initializer_list<int> taps) {
    flag_t v = 0;
    for (int t : taps) {
        v ^= d[t];
    }
    return v;
}

} // namespace

void bptc_196_96_hamming_15_11_3_get_parity_bits(const flag_t *d,
                                                 bptc_196_96_error_vector_t *error_vector) {
    if (d == nullptr || error_vector == nullptr) {
        return;
    }
    (*error_vector)[0] = xor_of(d, {0, 1, 2, 3, 5, 7, 8});
    (*error_vector)[1] = xor_of(d, {1, 2, 3, 4, 6, 8, 9});
    (*error_vector)[2] = xor_of(d, {2, 3, 4, 5, 7, 9, 10});
    (*error_vector)[3] = xor_of(d, {0, 1, 2, 4, 6, 7, 10});
}

void bptc_196_96_hamming_13_9_3_get_parity_bits(const flag_t *d,
                                                bptc_196_96_error_vector_t *error_vector) {
    if (d == nullptr || error_vector == nullptr) {
        return;
    }
    (*error_vector)[0] = xor_of(d, {0, 1, 3, 5, 6});
    (*error_vector)[1] = xor_of(d, {0, 1, 2, 4, 6, 7});
    (*error_vector)[2] = xor_of(d, {0, 1, 2, 3, 5, 7, 8});
    (*error_vector)[3] = xor_of(d, {0, 2, 4, 5, 8});
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
