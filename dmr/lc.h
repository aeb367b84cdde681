#pragma once
// Voice LC header and Terminator with LC bursts (ETSI TS 102 361-1 7.1,
// 9.1): full link control, RS (12,9) checksum with the burst's mask, BPTC
// (196,96), interleaving, slot type and sync, packed into 33 bytes in air order.
//
// Not reentrant: every result lives in a static buffer owned by its function
// and stays valid until that function is called again. The two payload
// builders own separate buffers.

#include "dmr/bptc.h"

#include <cstdint>

using dmrpacket_payload_bits_t = flag_t[264];
using dmrpacket_slot_type_bits_t = flag_t[20];
using dmrpacket_sync_bits_t = flag_t[48];
using dmrpacket_sync_pattern_t = std::uint8_t[6];

inline constexpr int IPSCPACKET_PAYLOAD_SIZE = 34; // 33 burst bytes and one zero byte

enum dmrpacket_sync_type_t : std::uint8_t {
    DMRPACKET_SYNC_TYPE_BS_SOURCED_VOICE = 1,
    DMRPACKET_SYNC_TYPE_BS_SOURCED_DATA = 2,
    DMRPACKET_SYNC_TYPE_MS_SOURCED_VOICE = 3,
    DMRPACKET_SYNC_TYPE_MS_SOURCED_DATA = 4,
    DMRPACKET_SYNC_TYPE_MS_SOURCED_RC = 5,
    DMRPACKET_SYNC_TYPE_DIRECT_VOICE_TS1 = 6,
    DMRPACKET_SYNC_TYPE_DIRECT_DATA_TS1 = 7,
    DMRPACKET_SYNC_TYPE_DIRECT_VOICE_TS2 = 8,
    DMRPACKET_SYNC_TYPE_DIRECT_DATA_TS2 = 9,
};

inline constexpr dmrpacket_sync_pattern_t dmrpacket_sync_pattern_bs_sourced_voice = {
    0x75, 0x5F, 0xD7, 0xDF, 0x75, 0xF7};
inline constexpr dmrpacket_sync_pattern_t dmrpacket_sync_pattern_bs_sourced_data = {
    0xDF, 0xF5, 0x7D, 0x75, 0xDF, 0x5D};
inline constexpr dmrpacket_sync_pattern_t dmrpacket_sync_pattern_ms_sourced_voice = {
    0x7F, 0x7D, 0x5D, 0xD5, 0x7D, 0xFD};
inline constexpr dmrpacket_sync_pattern_t dmrpacket_sync_pattern_ms_sourced_data = {
    0xD5, 0xD7, 0xF7, 0x7F, 0xD7, 0x57};
inline constexpr dmrpacket_sync_pattern_t dmrpacket_sync_pattern_ms_sourced_rc = {0x77, 0xD5, 0x5F,
                                                                                  0x7D, 0xFD, 0x77};
inline constexpr dmrpacket_sync_pattern_t dmrpacket_sync_pattern_direct_voice_ts1 = {
    0x5D, 0x57, 0x7F, 0x77, 0x57, 0xFF};
inline constexpr dmrpacket_sync_pattern_t dmrpacket_sync_pattern_direct_data_ts1 = {
    0xF7, 0xFD, 0xD5, 0xDD, 0xFD, 0x55};
inline constexpr dmrpacket_sync_pattern_t dmrpacket_sync_pattern_direct_voice_ts2 = {
    0x7D, 0xFF, 0xD5, 0xF5, 0x5D, 0x5F};
inline constexpr dmrpacket_sync_pattern_t dmrpacket_sync_pattern_direct_data_ts2 = {
    0xD7, 0x55, 0x7F, 0x5F, 0xF7, 0xF5};

// Call type 0 builds a private call (FLCO 3), any other value a group call
// (FLCO 0). Only the low 24 bits of each ID are used.
const std::uint8_t *dmrpacket_lc_construct_lc(std::uint8_t call_type, std::uint32_t dst_id,
                                              std::uint32_t src_id);
const std::uint8_t *dmrpacket_lc_construct_full_lc(std::uint8_t call_type, std::uint32_t dst_id,
                                                   std::uint32_t src_id);
// 96 bits of the masked full link control, byte 0 first.
const bptc_196_96_data_bits_t *dmrpacket_lc_construct_voice_lc_header(std::uint8_t call_type,
                                                                      std::uint32_t dst_id,
                                                                      std::uint32_t src_id);
const bptc_196_96_data_bits_t *dmrpacket_lc_construct_terminator_with_lc(std::uint8_t call_type,
                                                                         std::uint32_t dst_id,
                                                                         std::uint32_t src_id);

// Null in, null out.
const dmrpacket_payload_info_bits_t *
dmrpacket_data_bptc_interleave(const dmrpacket_payload_info_bits_t *deint_info_bits);
const dmrpacket_slot_type_bits_t *dmrpacket_slot_type_construct_bits(std::uint8_t color_code,
                                                                     std::uint8_t data_type);
// Codes outside 1..9 give 48 zero bits.
const dmrpacket_sync_bits_t *dmrpacket_sync_construct_bits(std::uint8_t sync_type);

// Each does nothing when either pointer is null.
void dmrpacket_insert_info_bits(dmrpacket_payload_bits_t *payload_bits,
                                const dmrpacket_payload_info_bits_t *info_bits);
void dmrpacket_slot_type_insert_bits(dmrpacket_payload_bits_t *payload_bits,
                                     const dmrpacket_slot_type_bits_t *slot_type_bits);
void dmrpacket_sync_insert_bits(dmrpacket_payload_bits_t *payload_bits,
                                const dmrpacket_sync_bits_t *sync_bits);

// 34 bytes: the burst packed most significant bit first in bytes 0..32, byte 33 zero.
const std::uint8_t *ipscpacket_construct_payload_voice_lc_header(std::uint8_t call_type,
                                                                 std::uint32_t dst_id,
                                                                 std::uint32_t src_id);
const std::uint8_t *ipscpacket_construct_payload_terminator_with_lc(std::uint8_t call_type,
                                                                    std::uint32_t dst_id,
                                                                    std::uint32_t src_id);
