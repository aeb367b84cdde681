#pragma once
// Embedded signalling of voice bursts B-F (ETSI TS 102 361-1 9.1.2, 9.3.6,
// B.2.1): the EMB around the middle of the burst says which fragment of an
// embedded LC the 32 bits between its halves carry. Bursts B, C, D and E of a
// superframe carry one 72-bit full LC: 128 bits in all, seven rows of
// Hamming (16,11,4) and a row of column parity, sent column by column, with a
// 5-bit checksum of the LC.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// Link control start/stop: which fragment a burst carries.
enum class lcss : std::uint8_t {
    single = 0,       // a whole short LC or nothing (burst F)
    first = 1,        // burst B
    last = 2,         // burst E
    continuation = 3, // bursts C and D
};

struct emb_fields {
    std::uint8_t color_code;
    bool privacy;
    lcss fragment;
};

using embedded_lc = std::array<std::uint8_t, 9>; // the full LC, FLCO first

// The EMB of a voice burst (its QR parity is not checked: the embedded LC's
// own codes reject a fragment put in the wrong place).
emb_fields emb_read(std::span<const std::uint8_t, 33> burst);
// The 32 bits of embedded signalling, first bit most significant.
std::uint32_t embedded_fragment_read(std::span<const std::uint8_t, 33> burst);

// Gathers the four fragments of a superframe. No heap; one per call and slot.
class embedded_lc_collector {
  public:
    // Adds the embedded signalling of one voice burst B-F. Returns true when
    // it completed an LC that passed its checks; `out` then holds it.
    bool add(std::span<const std::uint8_t, 33> burst, embedded_lc &out);
    void reset() { next_ = 0; }

  private:
    std::array<std::uint32_t, 4> fragments_{};
    std::size_t next_ = 0; // fragments in order so far
};

// Checks and unpacks the 128 bits of four fragments (single-bit errors per
// row are corrected). False when a row or the checksum does not fit.
bool embedded_lc_decode(const std::array<std::uint32_t, 4> &fragments, embedded_lc &out);
// Packs an LC into its four fragments, for a burst's embedded signalling.
std::array<std::uint32_t, 4> embedded_lc_encode(const embedded_lc &lc);
// Writes EMB and fragment into a voice burst's middle 48 bits.
void embedded_write(std::span<std::uint8_t, 33> burst, const emb_fields &emb,
                    std::uint32_t fragment);
