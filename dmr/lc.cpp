#include "dmr/lc.h"

#include "dmr/golay.h"
#include "dmr/rs.h"

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

const bptc_196_96_data_bits_t *masked_lc_bits(std::uint8_t call_type, std::uint32_t dst_id,
                                              std::uint32_t src_id, std::uint8_t mask,
                                              bptc_196_96_data_bits_t &out) {
    std::memcpy(full_lc, dmrpacket_lc_construct_full_lc(call_type, dst_id, src_id), 12);
    for (int i = 9; i < 12; ++i) {
        full_lc[i] ^= mask;
    }
    base_bytestobits(full_lc, 12, out, 96);
    return &out;
}

const std::uint8_t *build_payload(const bptc_196_96_data_bits_t *lc_bits, std::uint8_t data_type,
                                  std::uint8_t *payload) {
    std::memset(payload, 0, IPSCPACKET_PAYLOAD_SIZE);
    // Steps below write every burst position, so the burst needs no clearing.
    dmrpacket_payload_bits_t burst;
    dmrpacket_insert_info_bits(&burst,
                               dmrpacket_data_bptc_interleave(bptc_196_96_generate(lc_bits)));
    dmrpacket_slot_type_insert_bits(
        &burst, dmrpacket_slot_type_construct_bits(BURST_COLOUR_CODE, data_type));
    dmrpacket_sync_insert_bits(&burst,
                               dmrpacket_sync_construct_bits(DMRPACKET_SYNC_TYPE_BS_SOURCED_DATA));
    base_bitstobytes(burst, 264, payload, IPSCPACKET_PAYLOAD_SIZE);
    return payload;
}

} // namespace

const std::uint8_t *dmrpacket_lc_construct_lc(std::uint8_t call_type, std::uint32_t dst_id,
                                              std::uint32_t src_id) {
    std::memset(bytes, 0, sizeof bytes);
    bytes[0] = call_type == 0 ? FLCO_UNIT_TO_UNIT_VOICE : FLCO_GROUP_VOICE;
    bytes[3] = static_cast<std::uint8_t>(dst_id >> 16);
    bytes[4] = static_cast<std::uint8_t>(dst_id >> 8);
    bytes[5] = static_cast<std::uint8_t>(dst_id);
    bytes[6] = static_cast<std::uint8_t>(src_id >> 16);
    bytes[7] = static_cast<std::uint8_t>(src_id >> 8);
    bytes[8] = static_cast<std::uint8_t>(src_id);
    return bytes;
}

const std::uint8_t *dmrpacket_lc_construct_full_lc(std::uint8_t call_type, std::uint32_t dst_id,
                                                   std::uint32_t src_id) {
    dmrpacket_lc_construct_lc(call_type, dst_id, src_id);
    const std::uint8_t *checksum =
        rs_12_9_calc_checksum(reinterpret_cast<const rs_12_9_codeword_t *>(bytes));
    bytes[9] = checksum[0];
    bytes[10] = checksum[1];
    bytes[11] = checksum[2];
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
    return build_payload(dmrpacket_lc_construct_voice_lc_header(call_type, dst_id, src_id),
                         DATA_TYPE_VOICE_LC_HEADER, voice_lc_header_payload);
}

const std::uint8_t *ipscpacket_construct_payload_terminator_with_lc(std::uint8_t call_type,
                                                                    std::uint32_t dst_id,
                                                                    std::uint32_t src_id) {
    return build_payload(dmrpacket_lc_construct_terminator_with_lc(call_type, dst_id, src_id),
                         DATA_TYPE_TERMINATOR_WITH_LC, terminator_payload);
}
