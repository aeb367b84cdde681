#pragma once
// A voice burst that plays silence (ETSI TS 102 361-1 9.1.1 for the burst's
// layout): three AMBE+2 frames of silence around the burst's middle 48 bits,
// which carry the voice sync of burst A or the EMB and embedded signalling of
// bursts B-F. Bits are in air order, most significant bit of byte 0 first.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace dmr_silence {

inline constexpr std::size_t BURST_BYTES = 33;
inline constexpr std::size_t MIDDLE_BYTES = 6;
// The middle 48 bits sit at bits 108-155 of the 264, between the two voice
// halves of 108 bits each.
inline constexpr std::size_t MIDDLE_FIRST_BIT = 108;
inline constexpr std::size_t MIDDLE_BITS = 48;

// One AMBE+2 frame (72 bits with its FEC) that decodes to silence; the same
// pattern the field's hosts put into a burst they fill.
inline constexpr std::array<std::uint8_t, 9> AMBE_SILENCE = {0xB9, 0xE8, 0x81, 0x52, 0x61,
                                                             0x73, 0x00, 0x2A, 0x6B};

using burst = std::span<std::uint8_t, BURST_BYTES>;
using const_burst = std::span<const std::uint8_t, BURST_BYTES>;
using middle = std::array<std::uint8_t, MIDDLE_BYTES>;

// The middle 48 bits of `b`.
middle middle_of(const_burst b);
// A burst of three silence frames around `mid`.
void build_silence(const middle &mid, burst out);

} // namespace dmr_silence
