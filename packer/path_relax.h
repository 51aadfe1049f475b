// One step of the optimal parse's shortest path: from position i, a match of the
// lengths first..last (each at most 256) at one distance, each length priced as `base`
// plus its length symbol's code length. A length whose cost is lower than the best
// found so far for its end becomes that end's way in. Lengths end at different
// places, so they can be tried together; RelaxLengthsPlain is the plain loop, the
// one the fast form must equal.
#pragma once

#include <stdint.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

struct PathTables {
    uint32_t* cost;           // best cost of reaching each position of the chunk
    uint16_t* fromLength;     // the last step's length on that way
    uint16_t* fromDistance;   // and its distance
};

// A step of `length` bytes at `distance` ending at `end`, costing `cost` in all.
inline void RelaxStep(const PathTables& t, int32_t end, uint32_t cost, int32_t length, uint16_t distance) {
    if (cost < t.cost[end]) {
        t.cost[end] = cost;
        t.fromLength[end] = static_cast<uint16_t>(length);
        t.fromDistance[end] = distance;
    }
}

// prices[l] is the code length of the length symbol of a match of l bytes (2..256).
inline void RelaxLengthsPlain(const PathTables& t, int32_t i, int32_t first, int32_t last, uint32_t base,
                              const uint16_t* prices, uint16_t distance) {
    for (int32_t l = first; l <= last; ++l) RelaxStep(t, i + l, base + prices[l], l, distance);
}

// The fast form reads and writes up to seven entries past i + last in the tables and
// reads up to seven past `last` in `prices` (RelaxPadding): the caller makes room for them.
constexpr int32_t RelaxPadding = 7;

inline void RelaxLengths(const PathTables& t, int32_t i, int32_t first, int32_t last, uint32_t base,
                         const uint16_t* prices, uint16_t distance) {
#if defined(__SSE2__)
    // Four lengths a step, the lanes past `last` masked off. Costs are compared as
    // unsigned numbers by flipping their top bits; a lane that wins takes the new cost,
    // length and distance, the others keep what they held.
    // Most runs are short, so the first two steps are taken whatever the run's length:
    // a branch on it would be mispredicted as often as not.
    const __m128i flip = _mm_set1_epi32(static_cast<int32_t>(0x80000000u));
    const __m128i bases = _mm_set1_epi32(static_cast<int32_t>(base));
    const __m128i distances = _mm_set1_epi16(static_cast<int16_t>(distance));
    const __m128i zero = _mm_setzero_si128();
    const __m128i lane = _mm_set_epi32(3, 2, 1, 0);
    auto step = [&](int32_t l) {
        const __m128i lanes = _mm_cmpgt_epi32(_mm_set1_epi32(last - l + 1), lane);
        const __m128i price = _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(prices + l)), zero);
        const __m128i c = _mm_add_epi32(bases, price);
        uint32_t* costAt = t.cost + i + l;
        const __m128i old = _mm_loadu_si128(reinterpret_cast<const __m128i*>(costAt));
        const __m128i wins = _mm_and_si128(lanes, _mm_cmpgt_epi32(_mm_xor_si128(old, flip), _mm_xor_si128(c, flip)));
        if (_mm_movemask_epi8(wins) == 0) return;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(costAt),
                         _mm_or_si128(_mm_and_si128(wins, c), _mm_andnot_si128(wins, old)));
        const __m128i wins16 = _mm_packs_epi32(wins, wins);
        const __m128i lengths = _mm_add_epi16(_mm_set1_epi16(static_cast<int16_t>(l)), _mm_set_epi16(0, 0, 0, 0, 3, 2, 1, 0));
        uint16_t* lengthAt = t.fromLength + i + l;
        uint16_t* distanceAt = t.fromDistance + i + l;
        const __m128i oldLengths = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(lengthAt));
        const __m128i oldDistances = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(distanceAt));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(lengthAt),
                         _mm_or_si128(_mm_and_si128(wins16, lengths), _mm_andnot_si128(wins16, oldLengths)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(distanceAt),
                         _mm_or_si128(_mm_and_si128(wins16, distances), _mm_andnot_si128(wins16, oldDistances)));
    };
    if (first > last) return;  // (after a match longer than 256, whose lengths cost alike)
    step(first);
    step(first + 4);
    for (int32_t l = first + 8; l <= last; l += 4) step(l);
#else
    RelaxLengthsPlain(t, i, first, last, base, prices, distance);
#endif
}
