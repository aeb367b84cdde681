#include "dmr/silence.h"

namespace dmr_silence {

namespace {

bool bit_at(std::span<const std::uint8_t> bytes, std::size_t i) {
    return ((bytes[i / 8] >> (7 - i % 8)) & 1U) != 0;
}

void put_bit(std::span<std::uint8_t> bytes, std::size_t i, bool on) {
    const auto mask = static_cast<std::uint8_t>(1U << (7 - i % 8));
    bytes[i / 8] = static_cast<std::uint8_t>(on ? bytes[i / 8] | mask : bytes[i / 8] & ~mask);
}

constexpr std::size_t VOICE_BITS = 3 * AMBE_SILENCE.size() * 8;
static_assert(VOICE_BITS + MIDDLE_BITS == BURST_BYTES * 8);

} // namespace

middle middle_of(const_burst b) {
    middle m{};
    for (std::size_t i = 0; i < MIDDLE_BITS; ++i) {
        put_bit(m, i, bit_at(b, MIDDLE_FIRST_BIT + i));
    }
    return m;
}

void build_silence(const middle &mid, burst out) {
    // The second frame is split by the middle: the voice bits run on after it.
    for (std::size_t v = 0; v < VOICE_BITS; ++v) {
        const std::size_t at = v < MIDDLE_FIRST_BIT ? v : v + MIDDLE_BITS;
        put_bit(out, at, bit_at(AMBE_SILENCE, v % (AMBE_SILENCE.size() * 8)));
    }
    for (std::size_t i = 0; i < MIDDLE_BITS; ++i) {
        put_bit(out, MIDDLE_FIRST_BIT + i, bit_at(mid, i));
    }
}

} // namespace dmr_silence
