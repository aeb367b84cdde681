#pragma once
// The datagrams a Hytera repeater exchanges on its voice port. Offsets are
// named here once so the conversions read like the frame layout, not like a
// list of numbers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace hytera_frame {

inline constexpr std::size_t LENGTH = 72;
// Larger than any frame, so an oversized datagram shows up as a wrong length
// instead of being cut down to a plausible one.
inline constexpr std::size_t RECEIVE_CAPACITY = 224;
inline constexpr std::size_t REGISTRATION_LENGTH = 1;
inline constexpr std::uint8_t REGISTRATION_ANSWER = 0x41;

using Frame = std::array<std::uint8_t, LENGTH>;

// Offsets.
inline constexpr std::size_t SIGNATURE = 0;
inline constexpr std::size_t SEQUENCE_LOW = 4;
inline constexpr std::size_t SEQUENCE_HIGH = 5;
inline constexpr std::size_t FRAME_KIND = 8;
inline constexpr std::size_t FIXED_05 = 10;
inline constexpr std::size_t FIXED_01 = 11;
inline constexpr std::size_t SLOT_NUMBER = 12;
inline constexpr std::size_t SLOT_WORD = 16;
inline constexpr std::size_t SLOT_TYPE = 18;
inline constexpr std::size_t FIRST_MARK = 20;
inline constexpr std::size_t SETUP_MARK = 22;
inline constexpr std::size_t BURST_CLASS = 24;
inline constexpr std::size_t DATA_CLASS = 25;
inline constexpr std::size_t PAYLOAD = 26;
inline constexpr std::size_t PAYLOAD_LENGTH = 34;
inline constexpr std::size_t CALL_TYPE = 62;
inline constexpr std::size_t DESTINATION = 64;
inline constexpr std::size_t SOURCE = 68;
inline constexpr std::size_t ID_LENGTH = 3;
// Call setup frames carry the IDs most significant byte first, every second byte.
inline constexpr std::size_t SETUP_DESTINATION = 32;
inline constexpr std::size_t SETUP_SOURCE = 38;
inline constexpr std::size_t SETUP_ID_STRIDE = 2;

inline constexpr std::array<std::uint8_t, 4> SIGNATURE_NORMAL = {0x5A, 0x5A, 0x5A, 0x5A};
inline constexpr std::array<std::uint8_t, 4> SIGNATURE_BURST_E = {0xEE, 0xEE, 0x11, 0x11};
inline constexpr std::uint8_t FIXED_05_VALUE = 0x05;
inline constexpr std::uint8_t FIXED_01_VALUE = 0x01;

// Frame kinds as sent, before the firmware family adjusts them.
inline constexpr std::uint8_t KIND_VOICE = 0x01;
inline constexpr std::uint8_t KIND_CALL_SETUP = 0x02;
inline constexpr std::uint8_t KIND_TERMINATOR = 0x03;
inline constexpr std::uint8_t KIND_DATA = 0x41;
inline constexpr std::uint8_t KIND_LOW_MASK = 0x0F;
inline constexpr std::uint8_t KIND_END_OF_CALL = 0x03;
inline constexpr std::uint8_t KIND_A8_FLAG = 0x40;

// Slot word: both bytes equal, so the first byte alone identifies it.
inline constexpr std::uint16_t SLOT_WORD_TS1 = 0x1111;
inline constexpr std::uint16_t SLOT_WORD_TS2 = 0x2222;
inline constexpr std::uint8_t SLOT_BYTE_TS1 = 0x11;
inline constexpr std::uint8_t SLOT_BYTE_TS2 = 0x22;
inline constexpr std::uint8_t SLOT_NUMBER_TS1 = 1;
inline constexpr std::uint8_t SLOT_NUMBER_TS2 = 2;
// Repeaters expect every data burst numbered as slot 1.
inline constexpr std::uint8_t SLOT_NUMBER_DATA = 1;

inline constexpr std::uint16_t MARK_SET = 0x1111;

// Slot type, one byte of the word (both bytes are equal when sent).
inline constexpr std::uint8_t TYPE_VOICE_LC_HEADER = 0x11;
inline constexpr std::uint8_t TYPE_TERMINATOR = 0x22;
inline constexpr std::uint8_t TYPE_CSBK = 0x33;
inline constexpr std::uint8_t TYPE_DATA_HEADER = 0x44;
inline constexpr std::uint8_t TYPE_RATE_12 = 0x55;
inline constexpr std::uint8_t TYPE_RATE_34 = 0x66;
inline constexpr std::uint8_t TYPE_VOICE_A = 0x77;
inline constexpr std::uint8_t TYPE_VOICE_B = 0x88;
inline constexpr std::uint8_t TYPE_VOICE_C = 0x99;
inline constexpr std::uint8_t TYPE_VOICE_D = 0xAA;
inline constexpr std::uint8_t TYPE_VOICE_E = 0xBB;
inline constexpr std::uint8_t TYPE_VOICE_F = 0xCC;
inline constexpr std::uint8_t TYPE_IDLE = 0xDD;
inline constexpr std::uint8_t TYPE_CALL_SETUP = 0xEE;
inline constexpr std::uint16_t TYPE_WORD_IDLE = 0xDDDD;
inline constexpr std::uint16_t TYPE_WORD_CALL_SETUP = 0xEEEE;

inline constexpr std::uint8_t BURST_CLASS_VOICE = 0x10;
inline constexpr std::uint8_t BURST_CLASS_DATA = 0x40;
inline constexpr std::uint8_t DATA_CLASS_CSBK_FIRST = 0xDD;
inline constexpr std::uint8_t DATA_CLASS_CSBK_NEXT = 0xD8;
inline constexpr std::uint8_t DATA_CLASS_DATA_HEADER = 0x94;
inline constexpr std::uint8_t DATA_CLASS_RATE_DATA = 0xB0;

inline constexpr std::uint8_t CALL_PRIVATE = 0;
inline constexpr std::uint8_t CALL_GROUP = 1;
inline constexpr std::uint8_t CALL_ALL = 2;
inline constexpr std::uint8_t CALL_TYPE_MASK = 0x0F;

inline std::uint16_t read_word(std::span<const std::uint8_t, LENGTH> f, std::size_t at) {
    return static_cast<std::uint16_t>(f[at] << 8 | f[at + 1]);
}
inline void write_word(std::span<std::uint8_t, LENGTH> f, std::size_t at, std::uint16_t w) {
    f[at] = static_cast<std::uint8_t>(w >> 8);
    f[at + 1] = static_cast<std::uint8_t>(w);
}
inline void write_byte_word(std::span<std::uint8_t, LENGTH> f, std::size_t at, std::uint8_t b) {
    f[at] = b;
    f[at + 1] = b;
}
inline std::uint32_t read_id(std::span<const std::uint8_t, LENGTH> f, std::size_t at) {
    return f[at] | static_cast<std::uint32_t>(f[at + 1]) << 8 |
           static_cast<std::uint32_t>(f[at + 2]) << 16;
}
inline void write_id(std::span<std::uint8_t, LENGTH> f, std::size_t at, std::uint32_t id) {
    for (std::size_t i = 0; i < ID_LENGTH; ++i) {
        f[at + i] = static_cast<std::uint8_t>(id >> (8 * i));
    }
}
inline void write_setup_id(std::span<std::uint8_t, LENGTH> f, std::size_t at, std::uint32_t id) {
    for (std::size_t i = 0; i < ID_LENGTH; ++i) {
        f[at + SETUP_ID_STRIDE * i] = static_cast<std::uint8_t>(id >> (8 * (ID_LENGTH - 1 - i)));
    }
}

// The repeater stores the burst with the two bytes of every pair exchanged.
// The exchange is its own inverse, so one routine serves both directions.
inline void swap_byte_pairs(std::span<const std::uint8_t, PAYLOAD_LENGTH> from,
                            std::span<std::uint8_t, PAYLOAD_LENGTH> to) {
    for (std::size_t i = 0; i < PAYLOAD_LENGTH; i += 2) {
        to[i] = from[i + 1];
        to[i + 1] = from[i];
    }
}

// Two firmware families number their frame kinds differently; the firmware
// text the repeater reported decides which numbering it understands.
inline std::uint8_t adjust_frame_kind(std::uint8_t kind, std::string_view firmware) {
    if (firmware.starts_with("A7")) {
        return kind & KIND_LOW_MASK;
    }
    if (firmware.starts_with("A8")) {
        return kind | KIND_A8_FLAG;
    }
    return kind;
}

} // namespace hytera_frame
