#include "packer/match_finder.h"

#include <cstring>

#include "engine/lz_decoder.h"

namespace {

constexpr int LargestHashBits = 16;
constexpr int32_t LargestChain = 0x8000;  // twice the window: a live link is never overwritten

// Small windows (most files are small, and reference trials look at 32K) get small
// tables: clearing 650K per body would cost more than the search.
int HashBitsFor(int32_t total) {
    int bits = 8;
    while (bits < LargestHashBits && (int32_t{1} << bits) < total) ++bits;
    return bits;
}

int32_t ChainSizeFor(int32_t total) {
    int32_t size = 256;
    while (size < LargestChain && size < total) size <<= 1;
    return size;
}

}  // namespace

MatchFinder::MatchFinder(const uint8_t* window, int32_t total)
    : window_(window),
      total_(total),
      hashShift_(32 - HashBitsFor(total)),
      chainMask_(ChainSizeFor(total) - 1),
      head_(size_t{1} << HashBitsFor(total), -1),
      prev_(static_cast<size_t>(ChainSizeFor(total)), -1),
      pairs_(size_t{1} << HashBitsFor(total), -1) {}

inline uint32_t MatchFinder::Hash3(const uint8_t* p) const {
    uint32_t v = (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
    return (v * 2654435761u) >> hashShift_;
}

// Pairs share a hashed table too; a hit is checked against the window.
inline uint32_t MatchFinder::Pair(const uint8_t* p) const {
    uint32_t v = (static_cast<uint32_t>(p[0]) << 8) | p[1];
    return ((v + 1) * 0x9E3779B1u) >> hashShift_;
}

void MatchFinder::Insert(int32_t position) {
    if (position + 2 > total_) return;
    pairs_[Pair(window_ + position)] = position;
    if (position + 3 > total_) return;
    uint32_t h = Hash3(window_ + position);
    prev_[position & chainMask_] = head_[h];
    head_[h] = position;
}

void MatchFinder::InsertRange(int32_t from, int32_t to) {
    for (int32_t p = from; p < to; ++p) Insert(p);
}

int32_t MatchFinder::MatchLength(int32_t candidate, int32_t position, int32_t limit) const {
    const uint8_t* a = window_ + candidate;
    const uint8_t* b = window_ + position;
    int32_t n = 0;
    while (n + 8 <= limit) {
        uint64_t x, y;
        std::memcpy(&x, a + n, 8);
        std::memcpy(&y, b + n, 8);
        if (x != y) return n + (__builtin_ctzll(x ^ y) >> 3);
        n += 8;
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

int32_t MatchFinder::Longest(int32_t position, int32_t limit, int depth, int32_t* distance) const {
    MatchCandidate found[64];
    int n = Collect(position, limit, depth, found);
    if (n == 0) return 0;
    *distance = found[n - 1].distance;
    return found[n - 1].length;
}

int MatchFinder::Collect(int32_t position, int32_t limit, int depth, MatchCandidate* out) const {
    if (limit < 2) return 0;
    int count = 0;
    const int32_t nearest = position - WindowSize;
    int32_t pairAt = pairs_[Pair(window_ + position)];
    if (pairAt >= 0 && pairAt >= nearest && window_[pairAt] == window_[position] &&
        window_[pairAt + 1] == window_[position + 1])
        out[count++] = {2, position - pairAt};
    int32_t best = count ? 2 : 1;
    if (limit >= 3) {
        int32_t candidate = head_[Hash3(window_ + position)];
        while (candidate >= 0 && candidate >= nearest && depth-- > 0) {
            if (window_[candidate + best] == window_[position + best]) {
                int32_t n = MatchLength(candidate, position, limit);
                if (n > best) {
                    best = n;
                    // A longer match at a farther distance: keep the nearer shorter one
                    // too, unless this one makes it pointless (same distance bucket).
                    if (count > 0 && ((out[count - 1].distance - 1) >> 5) == ((position - candidate - 1) >> 5))
                        --count;
                    if (count < 64) out[count++] = {n, position - candidate};
                    if (n >= limit) break;
                }
            }
            candidate = prev_[candidate & chainMask_];
        }
    }
    return count;
}
