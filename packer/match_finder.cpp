#include "packer/match_finder.h"

#include <cstring>

#include "engine/lz_decoder.h"

namespace {

constexpr int HashBits = 16;
constexpr int32_t ChainMask = 0x7FFF;  // twice the window: a live link is never overwritten

inline uint32_t Hash3(const uint8_t* p) {
    uint32_t v = (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
    return (v * 2654435761u) >> (32 - HashBits);
}

inline uint32_t Pair(const uint8_t* p) { return (static_cast<uint32_t>(p[0]) << 8) | p[1]; }

}  // namespace

MatchFinder::MatchFinder(const uint8_t* window, int32_t total)
    : window_(window), total_(total), head_(1u << HashBits, -1), prev_(ChainMask + 1, -1), pairs_(1u << 16, -1) {}

void MatchFinder::Insert(int32_t position) {
    if (position + 2 > total_) return;
    pairs_[Pair(window_ + position)] = position;
    if (position + 3 > total_) return;
    uint32_t h = Hash3(window_ + position);
    prev_[position & ChainMask] = head_[h];
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
    if (pairAt >= 0 && pairAt >= nearest) out[count++] = {2, position - pairAt};
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
            candidate = prev_[candidate & ChainMask];
        }
    }
    return count;
}
