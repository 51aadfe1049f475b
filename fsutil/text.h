// Byte strings for the core: lengths, comparisons and a bounded builder. The core
// runs without a C library in the stub, so these stand in for <string.h>.
#pragma once

#include <stddef.h>
#include <stdint.h>

inline size_t TextLength(const char* s) {
    size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

inline bool TextEqual(const char* a, const char* b) {
    while (*a != 0 && *a == *b) ++a, ++b;
    return *a == *b;
}

inline void CopyBytes(void* to, const void* from, size_t n) { __builtin_memcpy(to, from, n); }

// Builds a NUL-terminated string in a caller's buffer. Appending past the capacity
// keeps what fits and sets `overflow`; callers test it before using the result.
struct TextBuilder {
    char* data;
    size_t capacity;  // bytes, the terminating NUL included
    size_t length;
    bool overflow;
};

inline TextBuilder StartText(char* buffer, size_t capacity) {
    buffer[0] = 0;
    return TextBuilder{buffer, capacity, 0, false};
}

inline void AppendBytes(TextBuilder& t, const char* bytes, size_t n) {
    if (n > t.capacity - 1 - t.length) {
        n = t.capacity - 1 - t.length;
        t.overflow = true;
    }
    CopyBytes(t.data + t.length, bytes, n);
    t.length += n;
    t.data[t.length] = 0;
}

inline void AppendText(TextBuilder& t, const char* s) { AppendBytes(t, s, TextLength(s)); }

inline void AppendDecimal(TextBuilder& t, int32_t value) {
    char digits[12];
    int n = 0;
    uint32_t v = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        digits[sizeof digits - 1 - n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (value < 0) digits[sizeof digits - 1 - n++] = '-';
    AppendBytes(t, digits + sizeof digits - n, static_cast<size_t>(n));
}
