#pragma once
// Voice bursts with something to decode, for both simulators: clean AMBE+2
// silence in the three voice frames, bit errors put in where asked, a burst
// left out, and the embedded signalling of bursts B-E carrying the call's LC,
// a talker alias and a GPS position in turn, one LC a superframe. Built from
// the air interface's layout, bit by bit, apart from the gateway's coder.

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace sim {

struct voice_extras {
    bool on = false; // any option given: bursts are built here
    std::string alias;
    int alias_format = 0; // 0 7-bit, 1 ISO 8859-1, 2 UTF-8, 3 UTF-16BE
    bool position = false;
    double latitude = 0, longitude = 0;
    std::vector<int> flip_bits; // burst bit positions (0-263)
    int flip_bursts = 0;        // in the first N voice bursts of a call
    int drop_burst = -1;        // the Nth voice burst of a call is not sent
};

inline std::vector<int> int_list(const std::string &text) {
    std::vector<int> v;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find(',', at);
        v.push_back(std::atoi(text.substr(at, end - at).c_str()));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return v;
}

// Takes the option if it is one of these; false for anything else.
inline bool parse_voice_option(const std::string &a, const std::string &v, voice_extras &x) {
    if (a == "--talker-alias") {
        x.alias = v;
    } else if (a == "--alias-format") {
        const char *names[] = {"7bit", "iso", "utf8", "utf16"};
        x.alias_format = -1;
        for (int i = 0; i < 4; ++i) {
            x.alias_format = v == names[i] ? i : x.alias_format;
        }
        if (x.alias_format < 0) {
            return false;
        }
    } else if (a == "--position") {
        x.position = true;
        x.latitude = std::atof(v.c_str());
        x.longitude = std::atof(v.substr(v.find(',') + 1).c_str());
    } else if (a == "--flip-bits") {
        x.flip_bits = int_list(v);
    } else if (a == "--flip-bursts") {
        x.flip_bursts = std::atoi(v.c_str());
    } else if (a == "--drop-burst") {
        x.drop_burst = std::atoi(v.c_str());
    } else {
        return false;
    }
    x.on = true;
    return true;
}

inline constexpr const char *VOICE_OPTIONS_HELP =
    "  --talker-alias TEXT   send it in the embedded signalling (with the options\n"
    "                        below, bursts carry clean AMBE+2 silence)\n"
    "  --alias-format F      7bit, iso, utf8 or utf16 (7bit)\n"
    "  --position LAT,LON    send a GPS position in the embedded signalling\n"
    "  --flip-bits LIST      flip these burst bits (0-263) ...\n"
    "  --flip-bursts N       ... in the first N voice bursts of each call\n"
    "  --drop-burst N        leave out voice burst N (from 0) of each call\n";

using lc_bytes = std::array<std::uint8_t, 9>;

inline void set_bit(std::uint8_t *b, int i, bool v) {
    const auto mask = static_cast<std::uint8_t>(0x80 >> (i % 8));
    b[i / 8] = static_cast<std::uint8_t>(v ? b[i / 8] | mask : b[i / 8] & ~mask);
}
inline bool get_bit(const std::uint8_t *b, int i) {
    return ((b[i / 8] >> (7 - i % 8)) & 1) != 0;
}

// The LCs sent in turn: the call's own, the alias header and blocks, the
// position.
inline std::vector<lc_bytes> embedded_lcs(const voice_extras &x, bool group, std::uint32_t dst,
                                          std::uint32_t src) {
    std::vector<lc_bytes> lcs;
    lcs.push_back({static_cast<std::uint8_t>(group ? 0x00 : 0x03), 0, 0,
                   static_cast<std::uint8_t>(dst >> 16), static_cast<std::uint8_t>(dst >> 8),
                   static_cast<std::uint8_t>(dst), static_cast<std::uint8_t>(src >> 16),
                   static_cast<std::uint8_t>(src >> 8), static_cast<std::uint8_t>(src)});
    if (!x.alias.empty()) {
        // 28 bytes: format and length in the first 7 bits, then the text.
        std::uint8_t buf[28] = {};
        int length = 0, bits = 0;
        if (x.alias_format == 0) {
            length = static_cast<int>(std::min<std::size_t>(x.alias.size(), 31));
            for (int c = 0; c < length; ++c) {
                for (int b = 0; b < 7; ++b) {
                    set_bit(buf, 7 + 7 * c + b, ((x.alias[c] >> (6 - b)) & 1) != 0);
                }
            }
            bits = 7 + 7 * length;
        } else if (x.alias_format == 3) {
            length = static_cast<int>(std::min<std::size_t>(x.alias.size(), 13));
            for (int c = 0; c < length; ++c) {
                buf[2 + 2 * c] = static_cast<std::uint8_t>(x.alias[c]);
            }
            bits = 8 + 16 * length;
        } else {
            length = static_cast<int>(std::min<std::size_t>(x.alias.size(), 27));
            for (int c = 0; c < length; ++c) {
                buf[1 + c] = static_cast<std::uint8_t>(x.alias[c]);
            }
            bits = 8 + 8 * length;
        }
        buf[0] = static_cast<std::uint8_t>(x.alias_format << 6 | length << 1 | (buf[0] & 1));
        for (int block = 0; block * 56 < bits; ++block) {
            lc_bytes lc{static_cast<std::uint8_t>(0x04 + block), 0};
            for (int i = 0; i < 7; ++i) {
                lc[2 + i] = buf[7 * block + i];
            }
            lcs.push_back(lc);
        }
    }
    if (x.position) {
        const auto lon =
            static_cast<std::uint32_t>(std::lround(x.longitude * 33554432.0 / 360.0)) & 0x1FFFFFF;
        const auto lat =
            static_cast<std::uint32_t>(std::lround(x.latitude * 16777216.0 / 180.0)) & 0xFFFFFF;
        lcs.push_back({0x08, 0, static_cast<std::uint8_t>(lon >> 24),
                       static_cast<std::uint8_t>(lon >> 16), static_cast<std::uint8_t>(lon >> 8),
                       static_cast<std::uint8_t>(lon), static_cast<std::uint8_t>(lat >> 16),
                       static_cast<std::uint8_t>(lat >> 8), static_cast<std::uint8_t>(lat)});
    }
    return lcs;
}

// The 128 bits of an embedded LC in the order they are sent: 7 rows of 11
// (rows 2-6: 10 and a checksum bit) data bits with Hamming (16,11,4) parity,
// a row of column parity, read out down the columns.
inline std::array<std::uint8_t, 128> embedded_bits(const lc_bytes &lc) {
    std::array<std::uint8_t, 128> m{}; // one bit a byte

    int sum = 0;
    for (std::uint8_t b : lc) {
        sum += b;
    }
    sum %= 31;
    int k = 0;
    for (int r = 0; r < 7; ++r) {
        std::uint8_t *d = m.data() + static_cast<std::ptrdiff_t>(16 * r);
        for (int c = 0; c < (r < 2 ? 11 : 10); ++c) {
            d[c] = get_bit(lc.data(), k++) ? 1 : 0;
        }
        if (r >= 2) {
            d[10] = static_cast<std::uint8_t>((sum >> (6 - r)) & 1);
        }
        d[11] = static_cast<std::uint8_t>(d[0] ^ d[1] ^ d[2] ^ d[3] ^ d[5] ^ d[7] ^ d[8]);
        d[12] = static_cast<std::uint8_t>(d[1] ^ d[2] ^ d[3] ^ d[4] ^ d[6] ^ d[8] ^ d[9]);
        d[13] = static_cast<std::uint8_t>(d[2] ^ d[3] ^ d[4] ^ d[5] ^ d[7] ^ d[9] ^ d[10]);
        d[14] = static_cast<std::uint8_t>(d[0] ^ d[1] ^ d[2] ^ d[4] ^ d[6] ^ d[7] ^ d[10]);
        d[15] = static_cast<std::uint8_t>(d[0] ^ d[2] ^ d[5] ^ d[6] ^ d[8] ^ d[9] ^ d[10]);
        for (std::size_t c = 0; c < 16; ++c) {
            m[112 + c] = static_cast<std::uint8_t>(m[112 + c] ^ d[c]);
        }
    }
    std::array<std::uint8_t, 128> out{};
    for (std::size_t i = 0, j = 0; i < 128; ++i) {
        out[i] = m[j];
        j += 16;
        j = j > 127 ? j - 127 : j;
    }
    return out;
}

// Voice burst `n` (from 0) of a call, 33 bytes in air order.
inline std::array<std::uint8_t, 33> voice_burst(const voice_extras &x,
                                                const std::vector<lc_bytes> &lcs, int n) {
    static const std::uint8_t silence[9] = {0xB9, 0xE8, 0x81, 0x52, 0x61, 0x73, 0x00, 0x2A, 0x6B};
    static const std::uint8_t sync[6] = {0x75, 0x5F, 0xD7, 0xDF, 0x75, 0xF7}; // BS voice
    std::array<std::uint8_t, 33> b{};
    for (int i = 0; i < 72; ++i) {
        const bool v = get_bit(silence, i);
        set_bit(b.data(), i, v);
        set_bit(b.data(), 72 + i + (i >= 36 ? 48 : 0), v);
        set_bit(b.data(), 192 + i, v);
    }
    const int letter = n % 6;
    if (letter == 0) {
        for (int i = 0; i < 48; ++i) {
            set_bit(b.data(), 108 + i, get_bit(sync, i));
        }
    } else {
        // EMB: colour code 1, no privacy, LCSS (B first, C and D continued,
        // E last, F single); its QR parity is left zero.
        const int lcss[6] = {0, 1, 3, 3, 2, 0};
        const int emb = 1 << 4 | lcss[letter] << 1;
        for (int i = 0; i < 8; ++i) {
            set_bit(b.data(), 108 + i, ((emb >> (7 - i)) & 1) != 0);
        }
        if (letter <= 4) {
            const auto bits = embedded_bits(lcs[static_cast<std::size_t>(n / 6) % lcs.size()]);
            for (int i = 0; i < 32; ++i) {
                const std::size_t at =
                    32 * static_cast<std::size_t>(letter - 1) + static_cast<std::size_t>(i);
                set_bit(b.data(), 116 + i, bits[at] != 0);
            }
        }
    }
    if (n < x.flip_bursts) {
        for (int bit : x.flip_bits) {
            if (bit >= 0 && bit < 264) {
                set_bit(b.data(), bit, !get_bit(b.data(), bit));
            }
        }
    }
    return b;
}

} // namespace sim
