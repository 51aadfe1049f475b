// The body decoder's bits: up to 64 of them held at once, taken a word at a time from
// the block in the buffer. Only the current block is ever read ahead; a new block is
// fetched only when a bit is needed and none is left, exactly where a reader taking one
// byte at a time would fetch it, so a volume prompt or a read failure never comes
// earlier. At the end of a body the whole bytes still held go back to the block.
#pragma once

#include <stdint.h>

#include "container/block_stream.h"

// A machine word: 64 bits where registers hold them, 32 on the stub's machines.
#if UINTPTR_MAX > 0xFFFFFFFFu
typedef uint64_t BitWord;
#else
typedef uint32_t BitWord;
#endif
constexpr int BitWordBits = static_cast<int>(sizeof(BitWord) * 8);

struct BitBuffer {
    BitWord bits;  // the next bit lowest; nothing above `count`
    int count;
};

// Tops the buffer up to within 8 bits of a full word from the current block, as far
// as it goes (at least 25 bits: a code's table bits, or 12 extra bits, fit).
inline void RefillBits(BitBuffer& b) {
    BlockStreamState& s = BlockStream;
    int32_t left = s.length - s.position;
    const uint8_t* p = s.buffer + s.position;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && defined(__x86_64__)
    if (left >= 8) {
        uint64_t word;
        __builtin_memcpy(&word, p, 8);
        b.bits |= word << b.count;
        int taken = (63 - b.count) >> 3;
        s.position += taken;
        b.count += taken * 8;
        return;
    }
#endif
    int taken = 0;
    while (b.count <= BitWordBits - 8 && taken < left) {
        b.bits |= static_cast<BitWord>(p[taken++]) << b.count;
        b.count += 8;
    }
    s.position += taken;
}

// One more byte when the buffer is empty: the current block's, or the next block's.
inline void NeedBit(BitBuffer& b) {
    if (b.count == 0) {
        RefillBits(b);
        if (b.count == 0) {
            FetchBlock();
            RefillBits(b);
        }
    }
}

inline uint32_t TakeBits(BitBuffer& b, int n) {
    uint32_t value = static_cast<uint32_t>(b.bits) & ((1u << n) - 1);
    b.bits >>= n;
    b.count -= n;
    return value;
}

// The next n bits (at most 24), first bit lowest.
inline uint32_t ReadBufferedBits(BitBuffer& b, int n) {
    if (b.count < n) RefillBits(b);
    if (b.count >= n) return TakeBits(b, n);
    uint32_t value = 0;
    for (int got = 0; got < n; ++got) {
        NeedBit(b);
        value |= TakeBits(b, 1) << got;
    }
    return value;
}

// Gives the block back the whole bytes not used, so that the next reader starts at the
// byte after the one that held the last bit taken.
inline void ReturnUnusedBytes(BitBuffer& b) {
    BlockStream.position -= b.count >> 3;
    b.bits = 0;
    b.count = 0;
}
