#pragma once
// Error count of the three AMBE+2 voice frames in a DMR voice burst (ETSI TS
// 102 361-1 annex B.2 and the AMBE+2 frame layout): each 72-bit frame holds a
// Golay (24,12) word A, a Golay (23,12) word B scrambled with a sequence
// seeded by A's data, and 25 unprotected bits C. The errors the codes correct
// in A and B are counted; 3 x (24 + 23) = 141 bits are checked per burst. The
// burst itself is not changed.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t AMBE_FRAMES_PER_BURST = 3;
inline constexpr std::uint32_t AMBE_BITS_CHECKED = 141;

namespace ambe_detail {
inline constexpr std::uint32_t GOLAY_23_GENERATOR = 0xC75; // x^11+x^10+x^6+x^5+x^4+x^2+1

// Remainder of the 23-bit polynomial `word` divided by the generator.
constexpr std::uint32_t golay_23_remainder(std::uint32_t word) {
    for (int bit = 22; bit >= 11; --bit) {
        if ((word >> bit) & 1U) {
            word ^= GOLAY_23_GENERATOR << (bit - 11);
        }
    }
    return word & 0x7FF;
}

// Parity of data d: the remainder of d * x^11. The syndrome of a 23-bit word
// is then parity[word >> 11] ^ (word & 0x7FF), a table look-up.
constexpr std::array<std::uint16_t, 4096> make_parity() {
    std::array<std::uint16_t, 4096> t{};
    for (std::uint32_t d = 0; d < 4096; ++d) {
        t[d] = static_cast<std::uint16_t>(golay_23_remainder(d << 11));
    }
    return t;
}
inline constexpr std::array<std::uint16_t, 4096> GOLAY_23_PARITY = make_parity();

// The code is perfect: the 2048 syndromes are exactly the patterns of at most
// three errors.
constexpr std::array<std::uint32_t, 2048> make_corrections() {
    std::array<std::uint32_t, 2048> t{};
    for (int i = 0; i < 23; ++i) {
        for (int j = i; j < 23; ++j) {
            for (int k = j; k < 23; ++k) {
                const std::uint32_t e =
                    (1U << i) ^ (i == j ? 0 : 1U << j) ^ (k == j || k == i ? 0 : 1U << k);
                t[golay_23_remainder(e)] = e;
            }
        }
    }
    t[0] = 0;
    return t;
}
inline constexpr std::array<std::uint32_t, 2048> GOLAY_23_CORRECTION = make_corrections();

// The scrambling sequence of word B: 23 bits of the generator
// p(n) = (173 p(n-1) + 13849) mod 65536 seeded with 16 times A's data, one
// bit per step (its top bit), first bit most significant.
constexpr std::array<std::uint32_t, 4096> make_scrambling() {
    std::array<std::uint32_t, 4096> t{};
    for (std::uint32_t d = 0; d < 4096; ++d) {
        std::uint32_t p = 16 * d;
        std::uint32_t v = 0;
        for (int i = 0; i < 23; ++i) {
            p = (173 * p + 13849) % 65536;
            v = v << 1 | (p >> 15);
        }
        t[d] = v;
    }
    return t;
}
inline constexpr std::array<std::uint32_t, 4096> B_SCRAMBLING = make_scrambling();
} // namespace ambe_detail

static_assert(ambe_detail::GOLAY_23_PARITY[1] == 0x475);
static_assert(ambe_detail::GOLAY_23_CORRECTION[0x475] == 0x800); // a data bit alone
static_assert(ambe_detail::B_SCRAMBLING[0] == 0x42CC47 >> 1);

// The 23-bit codeword of 12 data bits.
constexpr std::uint32_t golay_23_12_encode(std::uint32_t data) {
    data &= 0xFFF;
    return data << 11 | ambe_detail::GOLAY_23_PARITY[data];
}
// The 24-bit codeword: the 23-bit one and an even parity bit.
constexpr std::uint32_t golay_24_12_encode(std::uint32_t data) {
    const std::uint32_t c = golay_23_12_encode(data);
    return c << 1 | static_cast<std::uint32_t>(__builtin_parity(c));
}
// The nearest codeword to a 23-bit word (at most three bits away).
constexpr std::uint32_t golay_23_12_correct(std::uint32_t word) {
    word &= 0x7FFFFF;
    const std::uint32_t syndrome = ambe_detail::GOLAY_23_PARITY[word >> 11] ^ (word & 0x7FF);
    return word ^ ambe_detail::GOLAY_23_CORRECTION[syndrome];
}
// B's scrambling sequence for A's data.
constexpr std::uint32_t ambe_b_scrambling(std::uint32_t a_data) {
    return ambe_detail::B_SCRAMBLING[a_data & 0xFFF];
}

// One frame's words as they stand in the burst: A 24 bits, B 23 bits (still
// scrambled), C 25 bits, each first bit most significant.
struct ambe_words {
    std::uint32_t a;
    std::uint32_t b;
    std::uint32_t c;
};

// Burst bit position (0 = most significant bit of byte 0) of bit `i` of word
// A (i < 24), B (i < 23) or C (i < 25) of frame `frame` (0-2); the frames skip
// the 48 bits of sync or embedded signalling in the middle of the burst.
std::size_t ambe_a_bit(std::size_t frame, std::size_t i);
std::size_t ambe_b_bit(std::size_t frame, std::size_t i);
std::size_t ambe_c_bit(std::size_t frame, std::size_t i);

ambe_words ambe_read_frame(std::span<const std::uint8_t, 33> burst, std::size_t frame);
void ambe_write_frame(std::span<std::uint8_t, 33> burst, std::size_t frame, const ambe_words &w);

// Corrected bit errors of one frame: A's errors (its parity bit included) and
// B's after descrambling.
std::uint32_t ambe_frame_errors(const ambe_words &w);
// The same over the burst's three frames, of AMBE_BITS_CHECKED bits.
std::uint32_t ambe_burst_errors(std::span<const std::uint8_t, 33> burst);
