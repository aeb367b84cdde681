#include "dmr/ambe_fec.h"

namespace {

// Interleaving of one 72-bit frame (the AMBE+2 frame table): the position in
// the frame of each bit of A, B and C, first bit first.
constexpr std::array<std::uint8_t, 24> A_TABLE = {0,  4,  8,  12, 16, 20, 24, 28, 32, 36, 40, 44,
                                                  48, 52, 56, 60, 64, 68, 1,  5,  9,  13, 17, 21};
constexpr std::array<std::uint8_t, 23> B_TABLE = {25, 29, 33, 37, 41, 45, 49, 53, 57, 61, 65, 69,
                                                  2,  6,  10, 14, 18, 22, 26, 30, 34, 38, 42};
constexpr std::array<std::uint8_t, 25> C_TABLE = {46, 50, 54, 58, 62, 66, 70, 3,  7,
                                                  11, 15, 19, 23, 27, 31, 35, 39, 43,
                                                  47, 51, 55, 59, 63, 67, 71};

constexpr std::size_t FRAME_BITS = 72;
constexpr std::size_t FIRST_HALF_BITS = 108; // before the sync or embedded signalling
constexpr std::size_t MIDDLE_BITS = 48;

constexpr std::size_t burst_position(std::size_t frame, std::size_t in_frame) {
    std::size_t p = frame * FRAME_BITS + in_frame;
    return p >= FIRST_HALF_BITS ? p + MIDDLE_BITS : p;
}

template <std::size_t N>
std::uint32_t read_word(std::span<const std::uint8_t, 33> burst, std::size_t frame,
                        const std::array<std::uint8_t, N> &table) {
    std::uint32_t w = 0;
    for (std::uint8_t at : table) {
        const std::size_t p = burst_position(frame, at);
        w = w << 1 | ((burst[p >> 3] >> (7 - (p & 7))) & 1U);
    }
    return w;
}

template <std::size_t N>
void write_word(std::span<std::uint8_t, 33> burst, std::size_t frame,
                const std::array<std::uint8_t, N> &table, std::uint32_t w) {
    for (std::size_t i = 0; i < N; ++i) {
        const std::size_t p = burst_position(frame, table[i]);
        const auto mask = static_cast<std::uint8_t>(0x80U >> (p & 7));
        if ((w >> (N - 1 - i)) & 1U) {
            burst[p >> 3] |= mask;
        } else {
            burst[p >> 3] &= static_cast<std::uint8_t>(~mask);
        }
    }
}

} // namespace

std::size_t ambe_a_bit(std::size_t frame, std::size_t i) {
    return burst_position(frame, A_TABLE[i]);
}
std::size_t ambe_b_bit(std::size_t frame, std::size_t i) {
    return burst_position(frame, B_TABLE[i]);
}
std::size_t ambe_c_bit(std::size_t frame, std::size_t i) {
    return burst_position(frame, C_TABLE[i]);
}

ambe_words ambe_read_frame(std::span<const std::uint8_t, 33> burst, std::size_t frame) {
    return {read_word(burst, frame, A_TABLE), read_word(burst, frame, B_TABLE),
            read_word(burst, frame, C_TABLE)};
}

void ambe_write_frame(std::span<std::uint8_t, 33> burst, std::size_t frame, const ambe_words &w) {
    write_word(burst, frame, A_TABLE, w.a);
    write_word(burst, frame, B_TABLE, w.b);
    write_word(burst, frame, C_TABLE, w.c);
}

std::uint32_t ambe_frame_errors(const ambe_words &w) {
    // A is decoded on its first 23 bits; re-encoding restores the parity bit,
    // so an error there counts too.
    const std::uint32_t a_data = golay_23_12_correct(w.a >> 1) >> 11;
    const auto a_errors =
        static_cast<std::uint32_t>(__builtin_popcount(w.a ^ golay_24_12_encode(a_data)));
    const std::uint32_t b = w.b ^ ambe_b_scrambling(a_data);
    const auto b_errors =
        static_cast<std::uint32_t>(__builtin_popcount(b ^ golay_23_12_correct(b)));
    return a_errors + b_errors;
}

std::uint32_t ambe_burst_errors(std::span<const std::uint8_t, 33> burst) {
    std::uint32_t errors = 0;
    for (std::size_t f = 0; f < AMBE_FRAMES_PER_BURST; ++f) {
        const ambe_words w{read_word(burst, f, A_TABLE), read_word(burst, f, B_TABLE), 0};
        errors += ambe_frame_errors(w);
    }
    return errors;
}
