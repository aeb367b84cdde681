#pragma once
// BPTC (196,96) block product code (ETSI TS 102 361-1 B.1.1): 13 rows by 15
// columns after one reserved position; rows are Hamming (15,11,3) codewords,
// columns Hamming (13,9,3) codewords.

#include "dmr/bits.h"

#include <cstdint>

using bptc_196_96_data_bits_t = flag_t[96];
using dmrpacket_payload_info_bits_t = flag_t[196];
using bptc_196_96_error_vector_t = flag_t[4];

// Parity of 11 row bits / 9 column bits; nothing happens when a pointer is null.
void bptc_196_96_hamming_15_11_3_get_parity_bits(const flag_t *data_bits,
                                                 bptc_196_96_error_vector_t *error_vector);
void bptc_196_96_hamming_13_9_3_get_parity_bits(const flag_t *data_bits,
                                                bptc_196_96_error_vector_t *error_vector);

// Encodes 96 information bits; the 196-bit block (not interleaved) is a static
// buffer, overwritten by the next call.
const dmrpacket_payload_info_bits_t *bptc_196_96_generate(const bptc_196_96_data_bits_t *data);

// The same block, packed: data holds the 96 information bits most significant
// bit first; rows[r] receives row r in bits 14..0, column 0 in bit 14, so block
// position 15 * r + c + 1 is bit 14 - c of rows[r]. Position 0 is always zero.
// No shared state.
void bptc_196_96_encode_rows(const std::uint8_t data[12], std::uint16_t rows[13]);
