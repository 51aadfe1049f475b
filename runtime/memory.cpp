// What gcc emits calls to even in a freestanding build: block copies and fills of
// structures and the core's byte copies.
#include <stddef.h>

extern "C" {

void* memcpy(void* to, const void* from, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(to);
    const unsigned char* s = static_cast<const unsigned char*>(from);
    while (n-- > 0) *d++ = *s++;
    return to;
}

void* memmove(void* to, const void* from, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(to);
    const unsigned char* s = static_cast<const unsigned char*>(from);
    if (d < s) {
        while (n-- > 0) *d++ = *s++;
    } else {
        while (n-- > 0) d[n] = s[n];
    }
    return to;
}

void* memset(void* to, int value, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(to);
    while (n-- > 0) *d++ = static_cast<unsigned char>(value);
    return to;
}

int memcmp(const void* a, const void* b, size_t n) {
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const unsigned char* y = static_cast<const unsigned char*>(b);
    for (; n > 0; --n, ++x, ++y)
        if (*x != *y) return *x < *y ? -1 : 1;
    return 0;
}

}  // extern "C"
