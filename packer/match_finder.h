// Hash chains over the window of one body: the primed history followed by the bytes
// to encode. Matches reach back at most WindowSize bytes and never in front of the
// first history byte, the two limits of the decoder.
#pragma once

#include <stdint.h>

#include <vector>

// How many bytes from `a` and `b` on are equal, up to `limit`; a word at a time.
inline int32_t CommonLength(const uint8_t* a, const uint8_t* b, int32_t limit) {
    int32_t n = 0;
    while (n + 8 <= limit) {
        uint64_t x, y;
        __builtin_memcpy(&x, a + n, 8);
        __builtin_memcpy(&y, b + n, 8);
        if (x != y) return n + (__builtin_ctzll(x ^ y) >> 3);
        n += 8;
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

struct MatchCandidate {
    int32_t length;
    int32_t distance;
};

// One finder serves body after body: Reset forgets every position without clearing
// the tables (a stored position carries an offset that Reset moves past), so small
// files cost no table clearing.
class MatchFinder {
public:
    MatchFinder();
    MatchFinder(const uint8_t* window, int32_t total, bool pairs = true);

    // Forgets every inserted position; `window` holds `end` valid bytes. Without
    // `pairs` no 2-byte matches are kept or found (parses that never take them save the
    // work); longer matches come out the same either way.
    void Reset(const uint8_t* window, int32_t end, bool pairs = true);
    // More bytes of the same window are valid (a stream that was topped up), at most
    // MostGrowth past the end given to Reset.
    void SetEnd(int32_t end) { total_ = end; }
    static constexpr int32_t MostGrowth = 1 << 24;

    // Positions must be inserted in increasing order, each after it was searched.
    void Insert(int32_t position);
    void InsertRange(int32_t from, int32_t to);

    // The longest match at `position` of at most `limit` bytes, following at most
    // `depth` chain links; 0 when there is none of at least two bytes.
    int32_t Longest(int32_t position, int32_t limit, int depth, int32_t* distance) const;

    // The most matches one search gives.
    static constexpr int MostFound = 64;

    // Every match that is longer than all nearer ones, shortest first; returns how
    // many it wrote to `out` (room for MostFound).
    int Collect(int32_t position, int32_t limit, int depth, MatchCandidate* out) const;
    // Collect at `position` and at `position + 1` with `position` inserted in between, as
    // Collect, Insert, Collect would, the two walks taking their steps in turn (a walk
    // waits on its own loads, link after link; two keep the processor busier). The
    // second position is not inserted.
    void CollectTwo(int32_t position, const int32_t limit[2], int depth, MatchCandidate* out[2], int count[2]);
    // Candidates are turned away by the one byte at the best length so far instead of
    // the four that end there: slower, plainly right, for comparison.
    void CheckOneByte() { oneByte_ = true; }
    // Once a match of six bytes is found, the walk goes on along the chain of positions
    // that share the first six bytes, the only ones that can do better; this keeps to
    // the chain of three bytes instead. Followed to the end, both find the same matches.
    void FollowOneChain() { oneChain_ = true; }

private:
    static void Link(int32_t offset, int32_t& head, uint16_t& link, int32_t position);
    struct Walk;
    void Start(Walk& w, int32_t position, int32_t limit, int depth, MatchCandidate* out, uint32_t tailMask) const;
    void SetTest(Walk& w, uint32_t tailMask) const;
    void Step(Walk& w, uint32_t tailMask) const;
    uint32_t TailMask() const;
    static uint32_t Hash3(const uint8_t* p);
    static uint32_t Pair(const uint8_t* p);
    static uint32_t Hash6(const uint8_t* p);

    const uint8_t* window_ = nullptr;
    int32_t total_ = 0;
    int32_t offset_ = 1;          // a table entry e stands for position e - offset_
    bool pairs_on_ = true;
    bool oneByte_ = false;
    std::vector<int32_t> head_;   // last position of each 3-byte hash
    std::vector<uint16_t> prev_;  // back to the earlier position with the same hash, by position in a ring
    std::vector<int32_t> pairs_;  // last position of each (hashed) 2-byte sequence
    std::vector<int32_t> head6_;  // the same two for the first six bytes
    std::vector<uint16_t> prev6_;
    bool oneChain_ = false;
};
