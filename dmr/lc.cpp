#include "dmr/lc.h"

#include "dmr/golay.h"
#include "dmr/rs.h"

#include <array>
#include <cstring>

namespace {

constexpr std::uint8_t FLCO_GROUP_VOICE = 0;
constexpr std::uint8_t FLCO_UNIT_TO_UNIT_VOICE = 3;
constexpr std::uint8_t VOICE_LC_HEADER_CRC_MASK = 0x96;
constexpr std::uint8_t TERMINATOR_WITH_LC_CRC_MASK = 0x99;
constexpr std::uint8_t BURST_COLOUR_CODE = 1;
constexpr std::uint8_t DATA_TYPE_VOICE_LC_HEADER = 1;
constexpr std::uint8_t DATA_TYPE_TERMINATOR_WITH_LC = 2;

// Burst layout around the centre field.
constexpr int INFO_FIRST_HALF = 98;
constexpr int SLOT_TYPE_FIRST = 98;
constexpr int SYNC_FIRST = 108;
constexpr int SLOT_TYPE_SECOND = 156;
constexpr int INFO_SECOND = 166;

std::uint8_t bytes[12];
std::uint8_t full_lc[12];
bptc_196_96_data_bits_t voice_lc_header_data_bits;
bptc_196_96_data_bits_t terminator_data_bits;
dmrpacket_payload_info_bits_t int_info_bits;
dmrpacket_slot_type_bits_t slot_type_bits;
dmrpacket_sync_bits_t sync_bits;
std::uint8_t voice_lc_header_payload[IPSCPACKET_PAYLOAD_SIZE];
std::uint8_t terminator_payload[IPSCPACKET_PAYLOAD_SIZE];

void put_lc(std::uint8_t call_type, std::uint32_t dst_id, std::uint32_t src_id,
            std::uint8_t out[9]) {
    out[0] = call_type == 0 ? FLCO_UNIT_TO_UNIT_VOICE : FLCO_GROUP_VOICE;
    out[1] = 0;
    out[2] = 0;
    out[3] = static_cast<std::uint8_t>(dst_id >> 16);
    out[4] = static_cast<std::uint8_t>(dst_id >> 8);
    out[5] = static_cast<std::uint8_t>(dst_id);
    out[6] = static_cast<std::uint8_t>(src_id >> 16);
    out[7] = static_cast<std::uint8_t>(src_id >> 8);
    out[8] = static_cast<std::uint8_t>(src_id);
}

void put_masked_full_lc(std::uint8_t call_type, std::uint32_t dst_id, std::uint32_t src_id,
                        std::uint8_t mask, std::uint8_t lc[12]) {
    put_lc(call_type, dst_id, src_id, lc);
    std::uint8_t checksum[3] = {};
    rs_12_9_checksum(lc, checksum);
    for (int i = 0; i < 3; ++i) {
        lc[9 + i] = static_cast<std::uint8_t>(checksum[i] ^ mask);
    }
}

const bptc_196_96_data_bits_t *masked_lc_bits(std::uint8_t call_type, std::uint32_t dst_id,
                                              std::uint32_t src_id, std::uint8_t mask,
                                              bptc_196_96_data_bits_t &out) {
    put_masked_full_lc(call_type, dst_id, src_id, mask, full_lc);
    base_bytestobits(full_lc, 12, out, 96);
    return &out;
}

// The two burst builders skip the one-bit-per-byte stages the dmrpacket_*
// functions offer: the block stays packed in 15-bit rows and every burst bit
// is fetched from it directly.

constexpr std::size_t BURST_BYTES = 33;
static_assert(BURST_BYTES + 1 == IPSCPACKET_PAYLOAD_SIZE);
constexpr std::size_t BURST_BITS = 8 * BURST_BYTES;
// Stands in for the block's reserved position and for the slot type and sync
// bits, which come from the burst template.
constexpr int ZERO_ROW = 13;
// Bytes wholly inside the slot type and sync.
constexpr std::size_t FIRST_CONSTANT_BYTE = (SLOT_TYPE_FIRST + 7) / 8;
constexpr std::size_t LAST_CONSTANT_BYTE = (INFO_SECOND / 8) - 1;
static_assert(FIRST_CONSTANT_BYTE == 13 && LAST_CONSTANT_BYTE == 19);

// Burst position of interleaved info bit q: the info field is split around
// the slot type and sync.
constexpr std::size_t burst_position(int q) {
    return static_cast<std::size_t>(q < INFO_FIRST_HALF ? q : q + (INFO_SECOND - INFO_FIRST_HALF));
}

// For each burst position, the packed row and bit its value comes from, as
// row << 8 | bit, so neither needs masking out.
constexpr std::array<std::uint16_t, BURST_BITS> make_burst_sources() {
    std::array<std::uint16_t, BURST_BITS> t{};
    for (auto &source : t) {
        source = ZERO_ROW << 8;
    }
    for (int p = 1; p < 196; ++p) {
        const int row = (p - 1) / 15;
        const int bit = 14 - (p - 1) % 15;
        t[burst_position((181 * p) % 196)] = static_cast<std::uint16_t>(row << 8 | bit);
    }
    return t;
}
constexpr std::array<std::uint16_t, BURST_BITS> burst_sources = make_burst_sources();
// Position 1 of the block (row 0, column 0) lands on interleaved bit 181.
static_assert(burst_sources[burst_position(181)] == 0x0E && burst_sources[0] == ZERO_ROW << 8);

// Slot type (colour code and data type, then their Golay parity) and the BS
// sourced data sync, everything else zero.
constexpr std::array<std::uint8_t, BURST_BYTES> make_burst_template(std::uint8_t data_type) {
    std::array<std::uint8_t, BURST_BYTES> t{};
    auto set = [&t](int position) {
        t[static_cast<std::size_t>(position / 8)] |=
            static_cast<std::uint8_t>(0x80 >> position % 8);
    };
    const unsigned slot_type_byte = (BURST_COLOUR_CODE << 4) | data_type;
    const unsigned slot_type = slot_type_byte << 12 | golay_20_8_parity_table[slot_type_byte];
    for (int i = 0; i < 20; ++i) {
        if ((slot_type >> (19 - i)) & 1) {
            set(i < 10 ? SLOT_TYPE_FIRST + i : SLOT_TYPE_SECOND + i - 10);
        }
    }
    for (int i = 0; i < 48; ++i) {
        if ((dmrpacket_sync_pattern_bs_sourced_data[i / 8] >> (7 - i % 8)) & 1) {
            set(SYNC_FIRST + i);
        }
    }
    return t;
}
constexpr std::array<std::uint8_t, BURST_BYTES> voice_lc_header_template =
    make_burst_template(DATA_TYPE_VOICE_LC_HEADER);
constexpr std::array<std::uint8_t, BURST_BYTES> terminator_template =
    make_burst_template(DATA_TYPE_TERMINATOR_WITH_LC);
static_assert(voice_lc_header_template[13] == 0x6D && voice_lc_header_template[19] == 0xDE);
static_assert(terminator_template[13] == 0xAD && terminator_template[19] == 0xD9);

const std::uint8_t *build_payload(std::uint8_t call_type, std::uint32_t dst_id,
                                  std::uint32_t src_id, std::uint8_t mask,
                                  const std::array<std::uint8_t, BURST_BYTES> &burst_template,
                                  std::uint8_t *payload) {
    std::uint8_t lc[12];
    put_masked_full_lc(call_type, dst_id, src_id, mask, lc);
    std::uint16_t rows[ZERO_ROW + 1];
    bptc_196_96_encode_rows(lc, rows);
    rows[ZERO_ROW] = 0;
    for (std::size_t k = 0; k < BURST_BYTES; ++k) {
        unsigned byte = burst_template[k];
        if (k >= FIRST_CONSTANT_BYTE && k <= LAST_CONSTANT_BYTE) {
            payload[k] = static_cast<std::uint8_t>(byte);
            continue;
        }
#pragma GCC unroll 8
        for (std::size_t b = 0; b < 8; ++b) {
            const unsigned source = burst_sources[8 * k + b];
            byte |= ((rows[source >> 8] >> (source & 0xFF)) & 1u) << (7 - b);
        }
        payload[k] = static_cast<std::uint8_t>(byte);
    }
    payload[BURST_BYTES] = 0;
    return payload;
}

} // namespace

const std::uint8_t *dmrpacket_lc_construct_lc(std::uint8_t call_type, std::uint32_t dst_id,
                                              std::uint32_t src_id) {
    put_lc(call_type, dst_id, src_id, bytes);
    bytes[9] = 0;
    bytes[10] = 0;
    bytes[11] = 0;
    return bytes;
}

const std::uint8_t *dmrpacket_lc_construct_full_lc(std::uint8_t call_type, std::uint32_t dst_id,
                                                   std::uint32_t src_id) {
    put_lc(call_type, dst_id, src_id, bytes);
    rs_12_9_checksum(bytes, bytes + 9);
    return bytes;
}

const bptc_196_96_data_bits_t *dmrpacket_lc_construct_voice_lc_header(std::uint8_t call_type,
                                                                      std::uint32_t dst_id,
                                                                      std::uint32_t src_id) {
    return masked_lc_bits(call_type, dst_id, src_id, VOICE_LC_HEADER_CRC_MASK,
                          voice_lc_header_data_bits);
}

const bptc_196_96_data_bits_t *dmrpacket_lc_construct_terminator_with_lc(std::uint8_t call_type,
                                                                         std::uint32_t dst_id,
                                                                         std::uint32_t src_id) {
    return masked_lc_bits(call_type, dst_id, src_id, TERMINATOR_WITH_LC_CRC_MASK,
                          terminator_data_bits);
}

const dmrpacket_payload_info_bits_t *
dmrpacket_data_bptc_interleave(const dmrpacket_payload_info_bits_t *deint_info_bits) {
    if (deint_info_bits == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < 196; ++i) {
        int_info_bits[(181 * i) % 196] = (*deint_info_bits)[i];
    }
    return &int_info_bits;
}

const dmrpacket_slot_type_bits_t *dmrpacket_slot_type_construct_bits(std::uint8_t color_code,
                                                                     std::uint8_t data_type) {
    base_bytetobits(static_cast<std::uint8_t>(((color_code & 0x0F) << 4) | (data_type & 0x0F)),
                    slot_type_bits);
    std::memcpy(&slot_type_bits[8], golay_20_8_get_parity_bits(slot_type_bits), 12);
    return &slot_type_bits;
}

const dmrpacket_sync_bits_t *dmrpacket_sync_construct_bits(std::uint8_t sync_type) {
    static constexpr const std::uint8_t *patterns[] = {
        nullptr,
        dmrpacket_sync_pattern_bs_sourced_voice,
        dmrpacket_sync_pattern_bs_sourced_data,
        dmrpacket_sync_pattern_ms_sourced_voice,
        dmrpacket_sync_pattern_ms_sourced_data,
        dmrpacket_sync_pattern_ms_sourced_rc,
        dmrpacket_sync_pattern_direct_voice_ts1,
        dmrpacket_sync_pattern_direct_data_ts1,
        dmrpacket_sync_pattern_direct_voice_ts2,
        dmrpacket_sync_pattern_direct_data_ts2,
    };
    if (sync_type >= 1 && sync_type <= 9) {
        base_bytestobits(patterns[sync_type], 6, sync_bits, 48);
    } else {
        std::memset(sync_bits, 0, sizeof sync_bits);
    }
    return &sync_bits;
}

void dmrpacket_insert_info_bits(dmrpacket_payload_bits_t *payload_bits,
                                const dmrpacket_payload_info_bits_t *info_bits) {
    if (payload_bits == nullptr || info_bits == nullptr) {
        return;
    }
    std::memcpy(*payload_bits, *info_bits, INFO_FIRST_HALF);
    std::memcpy(&(*payload_bits)[INFO_SECOND], &(*info_bits)[INFO_FIRST_HALF],
                196 - INFO_FIRST_HALF);
}

void dmrpacket_slot_type_insert_bits(dmrpacket_payload_bits_t *payload_bits,
                                     const dmrpacket_slot_type_bits_t *slot_type_bits_in) {
    if (payload_bits == nullptr || slot_type_bits_in == nullptr) {
        return;
    }
    std::memcpy(&(*payload_bits)[SLOT_TYPE_FIRST], *slot_type_bits_in, 10);
    std::memcpy(&(*payload_bits)[SLOT_TYPE_SECOND], &(*slot_type_bits_in)[10], 10);
}

void dmrpacket_sync_insert_bits(dmrpacket_payload_bits_t *payload_bits,
                                const dmrpacket_sync_bits_t *sync_bits_in) {
    if (payload_bits == nullptr || sync_bits_in == nullptr) {
        return;
    }
    std::memcpy(&(*payload_bits)[SYNC_FIRST], *sync_bits_in, 48);
}

const std::uint8_t *ipscpacket_construct_payload_voice_lc_header(std::uint8_t call_type,
                                                                 std::uint32_t dst_id,
                                                                 std::uint32_t src_id) {
    return build_payload(call_type, dst_id, src_id, VOICE_LC_HEADER_CRC_MASK,
                         voice_lc_header_template, voice_lc_header_payload);
}

const std::uint8_t *ipscpacket_construct_payload_terminator_with_lc(std::uint8_t call_type,
                                                                    std::uint32_t dst_id,
                                                                    std::uint32_t src_id) {
    return build_payload(call_type, dst_id, src_id, TERMINATOR_WITH_LC_CRC_MASK,
                         terminator_template, terminator_payload);
}
