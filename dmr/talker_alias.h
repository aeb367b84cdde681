#pragma once
// Talker alias (ETSI TS 102 361-2 7.1.1.1.4, 7.2.18-19): the full LCs with
// FLCO 0x04 (header) and 0x05-0x07 (blocks 1-3). Their 7 bytes after FLCO
// and feature set ID make a 28-byte buffer: format (2 bits) and length (5
// bits) first, then the text as 7-bit characters, ISO 8859-1 or UTF-8 bytes,
// or UTF-16 big-endian characters.

#include "dmr/embedded_lc.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr std::uint8_t FLCO_TALKER_ALIAS_HEADER = 0x04;
inline constexpr std::uint8_t FLCO_TALKER_ALIAS_BLOCK_3 = 0x07;
inline constexpr std::uint8_t FLCO_GPS_INFO = 0x08;
inline constexpr std::uint8_t FLCO_MASK = 0x3F;
inline constexpr std::size_t TALKER_ALIAS_BLOCKS = 4;
inline constexpr std::size_t TALKER_ALIAS_BLOCK_BYTES = 7;
// Text as UTF-8, NUL-terminated: 31 bytes at most.
inline constexpr std::size_t TALKER_ALIAS_TEXT = 32;

enum class talker_alias_format : std::uint8_t {
    seven_bit = 0,
    iso_8859_1 = 1,
    utf8 = 2,
    utf16 = 3
};

// The blocks of one call's alias as they arrive; no heap.
class talker_alias_collector {
  public:
    // Takes a full LC if it is a talker alias block; returns true when it was.
    bool add(const embedded_lc &lc);
    // The text so far as printable UTF-8: the characters of the blocks that
    // arrived in a row from the header, at most the announced length. Empty
    // before the header. Returns true once every announced character arrived.
    bool text(char (&out)[TALKER_ALIAS_TEXT]) const;
    bool has(std::size_t block) const { return (received_ >> block & 1U) != 0; }
    void reset() { *this = talker_alias_collector{}; }

  private:
    std::array<std::uint8_t, TALKER_ALIAS_BLOCKS * TALKER_ALIAS_BLOCK_BYTES> buffer_{};
    unsigned received_ = 0; // bit per block
};

// The LCs that carry `text` in `format`, header first; returns how many (1-4).
// Text beyond what the format holds is cut.
std::size_t talker_alias_encode(std::string_view text, talker_alias_format format,
                                std::array<embedded_lc, TALKER_ALIAS_BLOCKS> &out);

// GPS information LC (ETSI TS 102 361-2 7.2.16): position error (3 bits),
// longitude (25 bits) and latitude (24 bits), two's complement.
struct gps_position {
    double latitude;    // degrees, north positive
    double longitude;   // degrees, east positive
    std::uint8_t error; // 0 "< 2 m" ... 6 "> 200 km", 7 not known
};
bool gps_decode(const embedded_lc &lc, gps_position &out);
embedded_lc gps_encode(const gps_position &p);
