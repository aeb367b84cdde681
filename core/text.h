#pragma once
// Copies into fixed-width NUL-terminated text fields: at most limit characters
// and never more than the field's width less one; the rest of the field is
// cleared so no earlier value shows through.

#include <cstddef>
#include <cstring>

inline void copy_text(char *field, std::size_t size, const char *value, std::size_t limit) {
    if (size == 0) {
        return;
    }
    std::size_t max = limit < size - 1 ? limit : size - 1;
    std::size_t n = strnlen(value, max);
    std::memcpy(field, value, n);
    std::memset(field + n, 0, size - n);
}

template <std::size_t N> void copy_text(char (&field)[N], const char *value, std::size_t limit) {
    copy_text(field, N, value, limit);
}

// Text from the network or a repeater is kept to these bytes before it is
// stored, logged or sent on: anything else could drive an operator's terminal.
inline bool is_printable_ascii(unsigned char c) {
    return c >= 0x20 && c <= 0x7E;
}

// Drops every byte of the text in `field` that is not printable ASCII, in
// place; the rest of the field is cleared.
inline void keep_printable_ascii(char *field, std::size_t size) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < size && field[i] != 0; ++i) {
        if (is_printable_ascii(static_cast<unsigned char>(field[i]))) {
            field[kept++] = field[i];
        }
    }
    std::memset(field + kept, 0, size - kept);
}
