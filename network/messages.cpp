#include "network/messages.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>

namespace link_msg {

const std::array<std::uint8_t, DIGEST_LENGTH> LOGIN_DIGEST{
    0x65, 0x6D, 0x5E, 0x58, 0x11, 0x7B, 0x20, 0xC3, 0x81, 0x24, 0xDE, 0xB4, 0x6E, 0xFF, 0x2A, 0x23,
    0x3A, 0xDE, 0x56, 0xDC, 0x95, 0xBA, 0x9F, 0x4C, 0x27, 0xC2, 0xC9, 0xB4, 0xE7, 0xF8, 0xC3, 0x2B};

namespace {

struct tag_rule {
    tag kind;
    std::string_view text;
    std::size_t min_length;
};

// Tested in this order; RPTPONG and MSTPONG need nothing beyond their tag.
constexpr tag_rule RULES[] = {
    {tag::RPTNAK, "RPTNAK", ACK_MESSAGE_MIN},
    {tag::MSTNAK, "MSTNAK", ACK_MESSAGE_MIN},
    {tag::RPTACK, "RPTACK", ACK_MESSAGE_MIN},
    {tag::RPTPONG, "RPTPONG", 7},
    {tag::MSTPONG, "MSTPONG", 7},
    {tag::DMRD, "DMRD", DMRD_MIN},
    {tag::MSTCL, "MSTCL", 5},
    {tag::DMRP, "DMRP", 4},
    {tag::DMRB, "DMRB", 4},
};

bool starts_with(std::span<const std::uint8_t> d, std::string_view text) {
    return d.size() >= text.size() && std::memcmp(d.data(), text.data(), text.size()) == 0;
}

void put_text(std::span<std::uint8_t> out, std::string_view text) {
    std::memcpy(out.data(), text.data(), text.size());
}

// Writes `value` into the field at exactly its width: cut after the width,
// padded with spaces on the right (left-justified) or on the left.
void put_field(std::span<std::uint8_t> out, rptc_field f, const char *value, bool left) {
    const char *v = value != nullptr ? value : "";
    std::size_t n = strnlen(v, f.width);
    std::uint8_t *field = out.data() + f.offset;
    std::memset(field, ' ', f.width);
    std::memcpy(left ? field : field + (f.width - n), v, n);
}

void build_with_id(std::string_view text, std::int32_t id, std::span<std::uint8_t> out) {
    put_text(out, text);
    put_u32(out.data() + text.size(), static_cast<std::uint32_t>(id));
}

// Package ID of the RPTC and the DMRC.
constexpr const char *PACKAGE_ID = "MMDVM";

// Leading decimal digits of a text as an unsigned number, at most `limit`.
unsigned leading_number(const char *text, unsigned limit) {
    unsigned long long value = 0;
    const char *p = text != nullptr ? text : "";
    while (*p == ' ') {
        ++p;
    }
    for (; std::isdigit(static_cast<unsigned char>(*p)) != 0 && value <= limit; ++p) {
        value = value * 10 + static_cast<unsigned>(*p - '0');
    }
    return static_cast<unsigned>(value > limit ? limit : value);
}

} // namespace

const char *tag_name(tag t) {
    for (const tag_rule &r : RULES) {
        if (r.kind == t) {
            return r.text.data();
        }
    }
    return "none";
}

tag classify(std::span<const std::uint8_t> datagram) {
    for (const tag_rule &r : RULES) {
        if (starts_with(datagram, r.text)) {
            return datagram.size() >= r.min_length ? r.kind : tag::none;
        }
    }
    return tag::none;
}

std::array<std::uint8_t, 4> ack_bytes(std::span<const std::uint8_t> datagram) {
    std::array<std::uint8_t, 4> ack{};
    if (datagram.size() >= ACK_MESSAGE_MIN) {
        std::memcpy(ack.data(), datagram.data() + ACK_OFFSET, ack.size());
    }
    return ack;
}

std::int32_t ack_value(std::span<const std::uint8_t, 4> ack) {
    return static_cast<std::int32_t>(get_u32(ack.data()));
}

std::int32_t repeater_id(const char *text) {
    if (text == nullptr) {
        return 0;
    }
    const char *p = text;
    while (std::isspace(static_cast<unsigned char>(*p)) != 0) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (std::isdigit(static_cast<unsigned char>(*p)) == 0) {
        return 0;
    }
    constexpr std::int64_t LIMIT = std::numeric_limits<std::int32_t>::max();
    std::int64_t value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)) != 0; ++p) {
        value = value * 10 + (*p - '0');
        if (value > LIMIT + 1) {
            value = LIMIT + 1;
        }
    }
    if (negative) {
        return static_cast<std::int32_t>(-value);
    }
    return static_cast<std::int32_t>(value > LIMIT ? LIMIT : value);
}

void put_u32(std::uint8_t *at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t get_u32(const std::uint8_t *at) {
    return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
           static_cast<std::uint32_t>(at[2]) << 8 | static_cast<std::uint32_t>(at[3]);
}

void build_rptl(std::int32_t id, std::span<std::uint8_t, RPTL_LENGTH> out) {
    build_with_id("RPTL", id, out);
}

void build_rptping(std::int32_t id, std::span<std::uint8_t, RPTPING_LENGTH> out) {
    build_with_id("RPTPING", id, out);
}

void build_rptcl(std::int32_t id, std::span<std::uint8_t, RPTCL_LENGTH> out) {
    build_with_id("RPTCL", id, out);
}

void build_rptk(std::span<const std::uint8_t, 4> ack, std::span<std::uint8_t, RPTK_LENGTH> out) {
    put_text(out, "RPTK");
    std::memcpy(out.data() + 4, ack.data(), ack.size());
    std::memcpy(out.data() + 8, LOGIN_DIGEST.data(), LOGIN_DIGEST.size());
}

void build_rptk(std::int32_t id, std::span<const std::uint8_t, DIGEST_LENGTH> digest,
                std::span<std::uint8_t, RPTK_LENGTH> out) {
    build_with_id("RPTK", id, out);
    std::memcpy(out.data() + 8, digest.data(), digest.size());
}

std::size_t build_rpto(std::int32_t id, const char *options,
                       std::span<std::uint8_t, RPTO_MAX_LENGTH> out) {
    build_with_id("RPTO", id, out);
    const char *text = options != nullptr ? options : "";
    const std::size_t n = strnlen(text, OPTIONS_MAX);
    std::memcpy(out.data() + 8, text, n);
    return 8 + n;
}

void build_dmrc(std::int32_t id, const rptc_source &s, std::span<std::uint8_t, DMRC_LENGTH> out,
                const station_identity &identity) {
    constexpr unsigned NINE_DIGITS = 999999999;
    constexpr unsigned TWO_DIGITS = 99;
    char text[DMRC_LENGTH - 8 + 1];
    std::snprintf(text, sizeof text, "%-8.8s%09u%09u%02u%02u%c%-40.40s%-40.40s",
                  s.callsign != nullptr ? s.callsign : "",
                  leading_number(s.rx_frequency_hz, NINE_DIGITS),
                  leading_number(s.tx_frequency_hz, NINE_DIGITS),
                  leading_number(s.power, TWO_DIGITS), leading_number(s.colour_code, TWO_DIGITS),
                  '3', identity.software_id != nullptr ? identity.software_id : "", PACKAGE_ID);
    build_with_id("DMRC", id, out);
    std::memcpy(out.data() + 8, text, DMRC_LENGTH - 8);
}

void build_rptc(std::span<const std::uint8_t, 4> ack, const rptc_source &s,
                std::span<std::uint8_t, RPTC_LENGTH> out, const station_identity &identity) {
    char height[12];
    std::snprintf(height, sizeof height, "%03d", std::clamp(identity.height_m, 0, 999));
    put_text(out, "RPTC");
    std::memcpy(out.data() + RPTC_ID.offset, ack.data(), ack.size());
    put_field(out, RPTC_CALLSIGN, s.callsign, true);
    put_field(out, RPTC_RX_FREQ, s.rx_frequency_hz, false);
    put_field(out, RPTC_TX_FREQ, s.tx_frequency_hz, false);
    put_field(out, RPTC_POWER, s.power, false);
    put_field(out, RPTC_COLOUR, s.colour_code, false);
    put_field(out, RPTC_LATITUDE, s.latitude, true);
    put_field(out, RPTC_LONGITUDE, s.longitude, true);
    put_field(out, RPTC_HEIGHT, height, true);
    put_field(out, RPTC_LOCATION, s.location, true);
    put_field(out, RPTC_DESCRIPTION, identity.description, true);
    put_field(out, RPTC_SLOTS, "3", true);
    put_field(out, RPTC_URL, s.url, true);
    put_field(out, RPTC_SOFTWARE, identity.software_id, true);
    put_field(out, RPTC_PACKAGE, PACKAGE_ID, true);
}

} // namespace link_msg
