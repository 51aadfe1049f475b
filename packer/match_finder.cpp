#include "packer/match_finder.h"

#include <algorithm>
#include <cstring>

#include "engine/lz_decoder.h"

namespace {

// 16,384 heads per table: a window holds as many positions. Four times as many made
// the same matches (CMake's tree 2 bytes larger with these) but a match finder of 832 KB
// instead of 256 KB, and a quarter more of its loads missed a 1 MB cache.
constexpr int HashBits = 14;
// Links are kept for the last window of positions: a search only follows links of
// positions within the window behind it, all inserted before it, whose entries no
// later position has taken yet.
constexpr int32_t ChainSize = WindowSize;
constexpr int32_t ChainMask = ChainSize - 1;
// A link's distance to the previous position of the same hash; this one, beyond the
// window, ends the chain.
constexpr uint16_t NoLink = 0xFFFF;

// The hashes of the pair (first byte on top), of the three bytes (likewise) and of
// the six bytes (as stored, first byte lowest).
inline uint32_t PairHash(uint32_t v) { return ((v + 1) * 0x9E3779B1u) >> (32 - HashBits); }
inline uint32_t ThreeHash(uint32_t v) { return (v * 2654435761u) >> (32 - HashBits); }
inline uint32_t SixHash(uint64_t v) { return static_cast<uint32_t>((v * 0x9E3779B97F4A7C15ull) >> (64 - HashBits)); }

}  // namespace

MatchFinder::MatchFinder()
    : head_(size_t{1} << HashBits, 0), prev_(static_cast<size_t>(ChainSize), NoLink), pairs_(size_t{1} << HashBits, 0),
      head6_(size_t{1} << HashBits, 0), prev6_(static_cast<size_t>(ChainSize), NoLink) {}

inline uint32_t MatchFinder::Hash6(const uint8_t* p) {
    uint32_t a;
    uint16_t b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + 4, 2);
    return SixHash(a | (static_cast<uint64_t>(b) << 32));
}


MatchFinder::MatchFinder(const uint8_t* window, int32_t total, bool pairs) : MatchFinder() {
    Reset(window, total, pairs);
}

void MatchFinder::Reset(const uint8_t* window, int32_t end, bool pairs) {
    // Every entry stored so far is at most offset_ + total_; moving the offset past that
    // turns them all into positions in front of the window. Only when the offset would
    // overflow are the tables cleared: with room for a later SetEnd, so that an entry
    // plus a position always fits.
    int64_t next = static_cast<int64_t>(offset_) + total_ + 1;
    if (next + end + 1 + MostGrowth > INT32_MAX) {
        std::fill(head_.begin(), head_.end(), 0);
        std::fill(prev_.begin(), prev_.end(), NoLink);
        std::fill(pairs_.begin(), pairs_.end(), 0);
        std::fill(head6_.begin(), head6_.end(), 0);
        std::fill(prev6_.begin(), prev6_.end(), NoLink);
        next = 1;
    }
    offset_ = static_cast<int32_t>(next);
    pairs_on_ = pairs;
    window_ = window;
    total_ = end;
}

inline uint32_t MatchFinder::Hash3(const uint8_t* p) {
    return ThreeHash((static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2]);
}

// Pairs share a hashed table too; a hit is checked against the window.
inline uint32_t MatchFinder::Pair(const uint8_t* p) {
    return PairHash((static_cast<uint32_t>(p[0]) << 8) | p[1]);
}

// Makes `position` the head of a chain whose head was `head`. A link of more than a
// window (up to NoLink), or to a position in front of the window's start (one of an
// earlier body, below the offset), leads a walk in front of the nearest position it
// may take, where it stops: the link need not be told apart from NoLink.
// (The offset is passed in, so that a loop keeps it in a register.)
inline void MatchFinder::Link(int32_t offset, int32_t& head, uint16_t& link, int32_t position) {
    const uint32_t back = static_cast<uint32_t>(position - (head - offset));  // fits: see Reset
    link = static_cast<uint16_t>(back < NoLink ? back : NoLink);
    head = position + offset;
}

void MatchFinder::Insert(int32_t position) {
    if (position + 3 > total_) {
        if (pairs_on_ && position + 2 <= total_) pairs_[Pair(window_ + position)] = position + offset_;
        return;
    }
    if (pairs_on_) pairs_[Pair(window_ + position)] = position + offset_;
    Link(offset_, head_[Hash3(window_ + position)], prev_[position & ChainMask], position);
    if (position + 6 <= total_)
        Link(offset_, head6_[Hash6(window_ + position)], prev6_[position & ChainMask], position);
}

// Insert for a run of positions: one 8-byte load per position gives the pair, the
// three bytes and the six bytes. The last seven positions of the valid bytes go
// through Insert, which checks how many there are.
void MatchFinder::InsertRange(int32_t from, int32_t to) {
    int32_t p = from;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The members in locals: the table stores could alias them otherwise.
    const uint8_t* const window = window_;
    const int32_t offset = offset_;
    int32_t* const pairs = pairs_on_ ? pairs_.data() : nullptr;
    int32_t* const head = head_.data();
    int32_t* const head6 = head6_.data();
    uint16_t* const prev = prev_.data();
    uint16_t* const prev6 = prev6_.data();
    for (const int32_t wide = std::min(to, total_ - 7); p < wide; ++p) {
        uint64_t v;
        std::memcpy(&v, window + p, 8);
        const uint32_t first = __builtin_bswap32(static_cast<uint32_t>(v));  // bytes 0..3, byte 0 on top
        if (pairs) pairs[PairHash(first >> 16)] = p + offset;
        Link(offset, head[ThreeHash(first >> 8)], prev[p & ChainMask], p);
        Link(offset, head6[SixHash(v & 0xFFFFFFFFFFFFull)], prev6[p & ChainMask], p);
    }
#endif
    for (; p < to; ++p) Insert(p);
}

int32_t MatchFinder::Longest(int32_t position, int32_t limit, int depth, int32_t* distance) const {
    MatchCandidate found[MostFound];
    int n = Collect(position, limit, depth, found);
    if (n == 0) return 0;
    *distance = found[n - 1].distance;
    return found[n - 1].length;
}

// One search's walk along the chains, a link a step, so that two searches can take their
// steps in turn: each step's loads depend on the one before of the same walk only.
struct MatchFinder::Walk {
    // What each link needs: a candidate agrees when the four bytes at `test` + candidate,
    // masked, equal `want`.
    int32_t candidate, lowest;  // no candidate in front of `lowest`
    int depth;
    const uint8_t* test;
    uint32_t mask, want;
    const uint16_t* links;
    // What a candidate that agrees needs.
    int32_t position, limit, best;
    int count;
    MatchCandidate* out;
    bool done;
};

// The quick test for the current `best`: only a candidate whose bytes agree up to and
// including offset `best` can do better. While no match of three bytes is known that is
// the one byte at `best` (of the four from the candidate on); from then on the four
// bytes that end there (with CheckOneByte, the one byte at `best` again).
// (A candidate lies in front of the position, so its four bytes are there to read even
// when only three follow the position: the position's one byte is taken alone.)
inline void MatchFinder::SetTest(Walk& w, uint32_t tailMask) const {
    if (w.best < 3) {
        uint8_t bytes[4] = {0, 0, 0, 0};
        bytes[w.best] = 0xFF;
        std::memcpy(&w.mask, bytes, 4);
        bytes[w.best] = window_[w.position + w.best];
        std::memcpy(&w.want, bytes, 4);
        w.test = window_;
        return;
    }
    const int32_t from = w.best - 3;
    w.mask = tailMask;
    w.test = window_ + from;
    std::memcpy(&w.want, window_ + w.position + from, 4);
    w.want &= w.mask;
}

// Reads the heads for a search at `position`; the walk starts with the nearest pair.
inline void MatchFinder::Start(Walk& w, int32_t position, int32_t limit, int depth, MatchCandidate* out,
                               uint32_t tailMask) const {
    const int32_t nearest = position - WindowSize;
    w = Walk{-1, nearest > 0 ? nearest : 0, depth, window_, 0, 0, prev_.data(), position, limit, 1, 0, out, true};
    if (limit < 2) return;
    const uint8_t* const window = window_;
    int32_t pairAt = pairs_on_ ? pairs_[Pair(window + position)] - offset_ : -1;
    if (pairAt >= 0 && pairAt >= nearest && window[pairAt] == window[position] &&
        window[pairAt + 1] == window[position + 1])
        out[w.count++] = {2, position - pairAt};
    w.best = w.count ? 2 : 1;
    if (limit < 3) return;
    w.candidate = head_[Hash3(window + position)] - offset_;
    SetTest(w, tailMask);
    w.done = false;
}

// One link of the walk.
inline void MatchFinder::Step(Walk& w, uint32_t tailMask) const {
    if (w.candidate < w.lowest || w.depth-- <= 0) {
        w.done = true;
        return;
    }
    uint32_t have;
    std::memcpy(&have, w.test + w.candidate, 4);
    if ((have & w.mask) == w.want) {
        const uint8_t* const window = window_;
        const int32_t n = CommonLength(window + w.candidate, window + w.position, w.limit);
        if (n > w.best) {
            w.best = n;
            // A longer match at a farther distance: keep the nearer shorter one too,
            // unless this one makes it pointless (same distance bucket).
            const int32_t distance = w.position - w.candidate;
            if (w.count > 0 && ((w.out[w.count - 1].distance - 1) >> 5) == ((distance - 1) >> 5)) --w.count;
            if (w.count < MostFound) w.out[w.count++] = {n, distance};
            if (n >= w.limit) {
                w.done = true;
                return;
            }
            // Only a position that shares its first six bytes can do better now: those
            // are all on this one's chain of six bytes.
            if (n >= 6 && !oneChain_) w.links = prev6_.data();
            SetTest(w, tailMask);
        }
    }
    w.candidate -= w.links[w.candidate & ChainMask];
}

uint32_t MatchFinder::TailMask() const {
    uint32_t mask = 0xFFFFFFFFu;
    if (oneByte_) {
        const uint8_t last[4] = {0, 0, 0, 0xFF};  // the byte at `best` alone, whatever the byte order
        std::memcpy(&mask, last, 4);
    }
    return mask;
}

int MatchFinder::Collect(int32_t position, int32_t limit, int depth, MatchCandidate* out) const {
    const uint32_t mask = TailMask();
    Walk w;
    Start(w, position, limit, depth, out, mask);
    while (!w.done) Step(w, mask);
    return w.count;
}

void MatchFinder::CollectTwo(int32_t position, const int32_t limit[2], int depth, MatchCandidate* out[2],
                             int count[2]) {
    const uint32_t mask = TailMask();
    Walk a, b;
    Start(a, position, limit[0], depth, out[0], mask);
    // The second search sees the first position, as it would after Insert. The first
    // walk never reads what Insert wrote: the only link it changed is that of the
    // position a window back, the last one the first walk may reach, and from there any
    // link leads out of the window.
    Insert(position);
    Start(b, position + 1, limit[1], depth, out[1], mask);
    while (!a.done && !b.done) {
        Step(a, mask);
        Step(b, mask);
    }
    while (!a.done) Step(a, mask);
    while (!b.done) Step(b, mask);
    count[0] = a.count;
    count[1] = b.count;
}
