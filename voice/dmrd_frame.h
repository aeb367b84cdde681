#pragma once
// The network voice frame: one DMR burst in air order with its call header.
// Every multi-byte number is big-endian.

#include "voice/hytera_frame.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace dmrd_frame {

inline constexpr std::size_t LENGTH = 55;
using Frame = std::array<std::uint8_t, LENGTH>;

inline constexpr std::size_t SIGNATURE = 0;
inline constexpr std::size_t SEQUENCE = 4;
inline constexpr std::size_t SOURCE = 5;
inline constexpr std::size_t DESTINATION = 8;
inline constexpr std::size_t ID_LENGTH = 3;
inline constexpr std::size_t REPEATER_ID = 11;
inline constexpr std::size_t FLAGS = 15;
inline constexpr std::size_t STREAM_ID = 16;
inline constexpr std::size_t BURST = 20;
inline constexpr std::size_t BURST_LENGTH = 33;
inline constexpr std::size_t BER = 53;
inline constexpr std::size_t RSSI = 54;

inline constexpr std::array<std::uint8_t, 4> SIGNATURE_BYTES = {0x44, 0x4D, 0x52, 0x44};

inline constexpr std::uint8_t FLAG_TS2 = 0x80;
inline constexpr std::uint8_t FLAG_PRIVATE = 0x40;
inline constexpr std::uint8_t FLAG_DATA_SYNC = 0x20;
inline constexpr std::uint8_t KIND_MASK = 0x3F;

// Flags bits 5-0.
inline constexpr std::uint8_t KIND_VOICE_A = 0x10;
inline constexpr std::uint8_t KIND_VOICE_B = 0x01;
inline constexpr std::uint8_t KIND_VOICE_C = 0x02;
inline constexpr std::uint8_t KIND_VOICE_D = 0x03;
inline constexpr std::uint8_t KIND_VOICE_E = 0x04;
inline constexpr std::uint8_t KIND_VOICE_F = 0x05;
inline constexpr std::uint8_t KIND_VOICE_LC_HEADER = 0x21;
inline constexpr std::uint8_t KIND_TERMINATOR = 0x22;
inline constexpr std::uint8_t KIND_CSBK = 0x23;
inline constexpr std::uint8_t KIND_DATA_HEADER = 0x26;
inline constexpr std::uint8_t KIND_RATE_12 = 0x27;
inline constexpr std::uint8_t KIND_RATE_34 = 0x28;

// Burst kinds both sides know, and the Hytera slot type byte of each. The
// voice LC header maps to the repeater's own header type here; towards the
// repeater it is sent as a call setup frame instead.
struct KindPair {
    std::uint8_t hytera_type;
    std::uint8_t dmrd_kind;
};
inline constexpr std::array<KindPair, 12> KINDS = {{
    {hytera_frame::TYPE_VOICE_A, KIND_VOICE_A},
    {hytera_frame::TYPE_VOICE_B, KIND_VOICE_B},
    {hytera_frame::TYPE_VOICE_C, KIND_VOICE_C},
    {hytera_frame::TYPE_VOICE_D, KIND_VOICE_D},
    {hytera_frame::TYPE_VOICE_E, KIND_VOICE_E},
    {hytera_frame::TYPE_VOICE_F, KIND_VOICE_F},
    {hytera_frame::TYPE_VOICE_LC_HEADER, KIND_VOICE_LC_HEADER},
    {hytera_frame::TYPE_TERMINATOR, KIND_TERMINATOR},
    {hytera_frame::TYPE_CSBK, KIND_CSBK},
    {hytera_frame::TYPE_DATA_HEADER, KIND_DATA_HEADER},
    {hytera_frame::TYPE_RATE_12, KIND_RATE_12},
    {hytera_frame::TYPE_RATE_34, KIND_RATE_34},
}};

inline std::optional<std::uint8_t> kind_of_hytera_type(std::uint8_t type) {
    for (const KindPair &k : KINDS) {
        if (k.hytera_type == type) {
            return k.dmrd_kind;
        }
    }
    return std::nullopt;
}
inline std::optional<std::uint8_t> hytera_type_of_kind(std::uint8_t kind) {
    for (const KindPair &k : KINDS) {
        if (k.dmrd_kind == kind) {
            return k.hytera_type;
        }
    }
    return std::nullopt;
}

inline std::uint32_t read_be(std::span<const std::uint8_t, LENGTH> f, std::size_t at,
                             std::size_t width) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < width; ++i) {
        v = v << 8 | f[at + i];
    }
    return v;
}
inline void write_be(std::span<std::uint8_t, LENGTH> f, std::size_t at, std::size_t width,
                     std::uint32_t v) {
    for (std::size_t i = 0; i < width; ++i) {
        f[at + i] = static_cast<std::uint8_t>(v >> (8 * (width - 1 - i)));
    }
}

} // namespace dmrd_frame
