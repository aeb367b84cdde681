#pragma once
// Golay (20,8) parity of the slot type (ETSI TS 102 361-1 B.3.1): a Golay
// (24,12) code shortened by four information bits, minimum distance 8.

#include "dmr/bits.h"

// Returns the 12 parity bits of data bits d0..d7 (d0 first on air). The result
// is a static buffer, overwritten by the next call.
const flag_t *golay_20_8_get_parity_bits(const flag_t data[8]);
