#include "dmr/talker_alias.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr std::size_t LC_PAYLOAD = 2; // after FLCO and feature set ID
constexpr std::size_t MAX_LENGTH = 31;

// Appends one code point as UTF-8 if it is printable and fits, keeping the
// terminator; returns false once the buffer is full.
bool put_code_point(char (&out)[TALKER_ALIAS_TEXT], std::size_t &n, std::uint32_t cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || (cp >= 0xD800 && cp < 0xE000) || cp > 0x10FFFF) {
        return true; // not printable: left out
    }
    std::array<char, 4> bytes{};
    std::size_t len = 1;
    if (cp < 0x80) {
        bytes[0] = static_cast<char>(cp);
    } else if (cp < 0x800) {
        bytes = {static_cast<char>(0xC0 | cp >> 6), static_cast<char>(0x80 | (cp & 0x3F))};
        len = 2;
    } else if (cp < 0x10000) {
        bytes = {static_cast<char>(0xE0 | cp >> 12), static_cast<char>(0x80 | (cp >> 6 & 0x3F)),
                 static_cast<char>(0x80 | (cp & 0x3F))};
        len = 3;
    } else {
        bytes = {static_cast<char>(0xF0 | cp >> 18), static_cast<char>(0x80 | (cp >> 12 & 0x3F)),
                 static_cast<char>(0x80 | (cp >> 6 & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
        len = 4;
    }
    if (n + len >= TALKER_ALIAS_TEXT) {
        return false;
    }
    for (std::size_t i = 0; i < len; ++i) {
        out[n++] = bytes[i];
    }
    return true;
}

// One UTF-8 sequence from `s` at `i`; a malformed byte yields nothing and
// moves on by one.
bool next_utf8(const std::uint8_t *s, std::size_t size, std::size_t &i, std::uint32_t &cp) {
    const std::uint8_t b = s[i];
    std::size_t len = 1;
    if (b < 0x80) {
        cp = b;
    } else if ((b & 0xE0) == 0xC0) {
        cp = b & 0x1FU;
        len = 2;
    } else if ((b & 0xF0) == 0xE0) {
        cp = b & 0x0FU;
        len = 3;
    } else if ((b & 0xF8) == 0xF0) {
        cp = b & 0x07U;
        len = 4;
    } else {
        ++i;
        return false;
    }
    if (i + len > size) {
        i = size;
        return false;
    }
    for (std::size_t k = 1; k < len; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) {
            ++i;
            return false;
        }
        cp = cp << 6 | (s[i + k] & 0x3FU);
    }
    i += len;
    return true;
}

bool bit_at(const std::uint8_t *buffer, std::size_t i) {
    return ((buffer[i >> 3] >> (7 - (i & 7))) & 1U) != 0;
}

} // namespace

bool talker_alias_collector::add(const embedded_lc &lc) {
    const unsigned flco = lc[0] & FLCO_MASK;
    if (flco < FLCO_TALKER_ALIAS_HEADER || flco > FLCO_TALKER_ALIAS_BLOCK_3) {
        return false;
    }
    const std::size_t block = flco - FLCO_TALKER_ALIAS_HEADER;
    for (std::size_t i = 0; i < TALKER_ALIAS_BLOCK_BYTES; ++i) {
        buffer_[block * TALKER_ALIAS_BLOCK_BYTES + i] = lc[LC_PAYLOAD + i];
    }
    received_ |= 1U << block;
    return true;
}

bool talker_alias_collector::text(char (&out)[TALKER_ALIAS_TEXT]) const {
    out[0] = 0;
    if (!has(0)) {
        return false;
    }
    std::size_t blocks = 0;
    while (blocks < TALKER_ALIAS_BLOCKS && has(blocks)) {
        ++blocks;
    }
    const auto format = static_cast<talker_alias_format>(buffer_[0] >> 6);
    const std::size_t length = (buffer_[0] >> 1) & 0x1FU;
    const std::size_t available_bits = blocks * TALKER_ALIAS_BLOCK_BYTES * 8;
    std::size_t n = 0;
    std::size_t chars = 0;
    switch (format) {
    case talker_alias_format::seven_bit:
        // The characters follow the format and length bits directly.
        for (; chars < length && 7 + 7 * (chars + 1) <= available_bits; ++chars) {
            unsigned c = 0;
            for (std::size_t b = 0; b < 7; ++b) {
                c = c << 1 | (bit_at(buffer_.data(), 7 + 7 * chars + b) ? 1U : 0U);
            }
            if (!put_code_point(out, n, c)) {
                break;
            }
        }
        break;
    case talker_alias_format::iso_8859_1:
        for (; chars < length && 1 + chars < available_bits / 8; ++chars) {
            if (!put_code_point(out, n, buffer_[1 + chars])) {
                break;
            }
        }
        break;
    case talker_alias_format::utf8: {
        // The length counts bytes.
        const std::size_t end = std::min(1 + length, available_bits / 8);
        std::size_t i = 1;
        while (i < end) {
            std::uint32_t cp = 0;
            if (next_utf8(buffer_.data(), end, i, cp) && !put_code_point(out, n, cp)) {
                break;
            }
        }
        chars = i - 1;
        break;
    }
    case talker_alias_format::utf16:
        for (; chars < length && 1 + 2 * (chars + 1) <= available_bits / 8; ++chars) {
            const std::uint32_t cp =
                static_cast<std::uint32_t>(buffer_[1 + 2 * chars]) << 8 | buffer_[2 + 2 * chars];
            if (!put_code_point(out, n, cp)) {
                break;
            }
        }
        break;
    }
    out[n] = 0;
    return chars >= length;
}

std::size_t talker_alias_encode(std::string_view text, talker_alias_format format,
                                std::array<embedded_lc, TALKER_ALIAS_BLOCKS> &out) {
    std::array<std::uint8_t, TALKER_ALIAS_BLOCKS * TALKER_ALIAS_BLOCK_BYTES> buffer{};
    const std::size_t capacity_bits = buffer.size() * 8;
    std::size_t length = 0;
    std::size_t used_bits = 8;
    switch (format) {
    case talker_alias_format::seven_bit:
        length = std::min({text.size(), MAX_LENGTH, (capacity_bits - 7) / 7});
        for (std::size_t c = 0; c < length; ++c) {
            for (std::size_t b = 0; b < 7; ++b) {
                if ((static_cast<unsigned char>(text[c]) >> (6 - b)) & 1U) {
                    const std::size_t at = 7 + 7 * c + b;
                    buffer[at >> 3] |= static_cast<std::uint8_t>(0x80U >> (at & 7));
                }
            }
        }
        used_bits = 7 + 7 * length;
        break;
    case talker_alias_format::iso_8859_1:
    case talker_alias_format::utf8:
        length = std::min(text.size(), buffer.size() - 1);
        for (std::size_t c = 0; c < length; ++c) {
            buffer[1 + c] = static_cast<std::uint8_t>(text[c]);
        }
        used_bits = 8 * (1 + length);
        break;
    case talker_alias_format::utf16:
        // Characters of one byte each (ASCII or ISO 8859-1 text).
        length = std::min(text.size(), (buffer.size() - 1) / 2);
        for (std::size_t c = 0; c < length; ++c) {
            buffer[2 + 2 * c] = static_cast<std::uint8_t>(text[c]);
        }
        used_bits = 8 * (1 + 2 * length);
        break;
    }
    buffer[0] = static_cast<std::uint8_t>(static_cast<unsigned>(format) << 6 | length << 1 |
                                          (buffer[0] & 1U));
    const std::size_t block_bits = TALKER_ALIAS_BLOCK_BYTES * 8;
    const std::size_t blocks = std::max<std::size_t>(1, (used_bits + block_bits - 1) / block_bits);
    for (std::size_t b = 0; b < blocks; ++b) {
        out[b].fill(0);
        out[b][0] = static_cast<std::uint8_t>(FLCO_TALKER_ALIAS_HEADER + b);
        for (std::size_t i = 0; i < TALKER_ALIAS_BLOCK_BYTES; ++i) {
            out[b][LC_PAYLOAD + i] = buffer[b * TALKER_ALIAS_BLOCK_BYTES + i];
        }
    }
    return blocks;
}

bool gps_decode(const embedded_lc &lc, gps_position &out) {
    if ((lc[0] & FLCO_MASK) != FLCO_GPS_INFO) {
        return false;
    }
    out.error = static_cast<std::uint8_t>((lc[2] >> 1) & 0x07U);
    // Sign-extended from 25 and 24 bits.
    std::int32_t lon =
        static_cast<std::int32_t>((lc[2] & 1U) << 24 | lc[3] << 16 | lc[4] << 8 | lc[5]);
    if ((lon & 0x1000000) != 0) {
        lon -= 0x2000000;
    }
    std::int32_t lat = static_cast<std::int32_t>(lc[6] << 16 | lc[7] << 8 | lc[8]);
    if ((lat & 0x800000) != 0) {
        lat -= 0x1000000;
    }
    out.longitude = lon * (360.0 / 33554432.0);
    out.latitude = lat * (180.0 / 16777216.0);
    return true;
}

embedded_lc gps_encode(const gps_position &p) {
    const auto lon = static_cast<std::int32_t>(std::lround(p.longitude * (33554432.0 / 360.0)));
    const auto lat = static_cast<std::int32_t>(std::lround(p.latitude * (16777216.0 / 180.0)));
    const auto ulon = static_cast<std::uint32_t>(lon) & 0x1FFFFFFU;
    const auto ulat = static_cast<std::uint32_t>(lat) & 0xFFFFFFU;
    return {FLCO_GPS_INFO,
            0,
            static_cast<std::uint8_t>((p.error & 0x07U) << 1 | ulon >> 24),
            static_cast<std::uint8_t>(ulon >> 16),
            static_cast<std::uint8_t>(ulon >> 8),
            static_cast<std::uint8_t>(ulon),
            static_cast<std::uint8_t>(ulat >> 16),
            static_cast<std::uint8_t>(ulat >> 8),
            static_cast<std::uint8_t>(ulat)};
}
