#include "dmr/golay.h"

namespace {
flag_t parity[12];
} // namespace

const flag_t *golay_20_8_get_parity_bits(const flag_t data[8]) {
    unsigned word = golay_20_8_parity_table[base_bitstobyte(data)];
    for (int p = 0; p < 12; ++p) {
        parity[p] = static_cast<flag_t>((word >> (11 - p)) & 1);
    }
    return parity;
}
