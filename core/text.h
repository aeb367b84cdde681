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
