#include "core/ipv4_allow.h"

#include <arpa/inet.h>
#include <cstdio>

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && is_blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// A decimal number of 1 to `max_digits` digits without a leading zero, at
// most `limit`.
bool number(std::string_view s, std::size_t max_digits, std::uint32_t limit, std::uint32_t &out) {
    if (s.empty() || s.size() > max_digits || (s.size() > 1 && s[0] == '0')) {
        return false;
    }
    std::uint32_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + static_cast<std::uint32_t>(c - '0');
    }
    out = v;
    return v <= limit;
}

bool dotted_quad(std::string_view s, std::uint32_t &address) {
    std::uint32_t a = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? s.find('.') : s.size();
        std::uint32_t octet = 0;
        if (dot == std::string_view::npos || !number(s.substr(0, dot), 3, 255, octet)) {
            return false;
        }
        a = a << 8 | octet;
        s.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    address = a;
    return true;
}

} // namespace

bool ipv4_allow_list::parse(std::string_view text, char (&error)[ERROR_SIZE]) {
    error[0] = 0;
    std::array<block, CAPACITY> parsed{};
    std::size_t n = 0;
    if (trimmed(text).empty()) {
        count_ = 0;
        return true;
    }
    for (;;) {
        const std::size_t comma = text.find(',');
        const std::string_view entry = trimmed(text.substr(0, comma));
        const int shown = static_cast<int>(entry.size() < 40 ? entry.size() : 40);
        if (entry.empty()) {
            std::snprintf(error, sizeof error,
                          "an empty entry (two commas in a row, or one at "
                          "either end)");
            return false;
        }
        if (n == CAPACITY) {
            std::snprintf(error, sizeof error, "more than %zu entries", CAPACITY);
            return false;
        }
        const std::size_t slash = entry.find('/');
        std::uint32_t address = 0;
        std::uint32_t prefix = 32;
        if (!dotted_quad(entry.substr(0, slash), address)) {
            std::snprintf(error, sizeof error,
                          "\"%.*s\" is not an IPv4 address (four numbers 0-255 with dots)", shown,
                          entry.data());
            return false;
        }
        if (slash != std::string_view::npos && !number(entry.substr(slash + 1), 2, 32, prefix)) {
            std::snprintf(error, sizeof error, "\"%.*s\" has a prefix length other than 0-32",
                          shown, entry.data());
            return false;
        }
        const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
        if ((address & ~mask) != 0) {
            const std::uint32_t network = address & mask;
            std::snprintf(error, sizeof error,
                          "\"%.*s\" has host bits set; the block is %u.%u.%u.%u/%u, a single "
                          "address is written without a prefix",
                          shown, entry.data(), network >> 24, (network >> 16) & 0xFF,
                          (network >> 8) & 0xFF, network & 0xFF, prefix);
            return false;
        }
        parsed[n++] = {address, mask};
        if (comma == std::string_view::npos) {
            break;
        }
        text.remove_prefix(comma + 1);
    }
    blocks_ = parsed;
    count_ = n;
    return true;
}

bool ipv4_allow_list::contains(std::uint32_t address) const {
    if (count_ == 0) {
        return true;
    }
    const std::uint32_t a = ntohl(address);
    for (std::size_t i = 0; i < count_; ++i) {
        if ((a & blocks_[i].mask) == blocks_[i].network) {
            return true;
        }
    }
    return false;
}
