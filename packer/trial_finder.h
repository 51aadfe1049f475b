// What the reference trials search: hash chains made once per file instead of a finder
// filled for every trial. Each kept file of the ring gets chains over its first bytes
// when it is stored; the file being planned gets chains over its own first bytes once;
// a trial then walks the new file's chain (the nearer matches) and the reference's.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <vector>

#include "engine/lz_decoder.h"
#include "packer/match_finder.h"

// Chains over up to 65,535 bytes: for every position, the previous one whose next three
// bytes hash alike, and for every hash the last such position.
class FileChains {
public:
    void Build(const uint8_t* data, int32_t size);

    static uint32_t Hash(const uint8_t* p) {
        uint32_t v = (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
        return (v * 2654435761u) >> (32 - HashBits);
    }
    // Positions plus one; 0 ends a chain.
    const uint16_t* Heads() const { return head_.data(); }
    uint32_t Before(int32_t position) const { return position < size_ ? prev_[position] : 0; }
    // Before for a position that a chain led to (one the chains hold), unchecked.
    uint32_t BeforeStored(int32_t position) const { return prev_[position]; }
    // The heads for a history that stops at `end`: for each hash the last position in
    // front of `end`, which a walk starts at, so that it need not step over the later
    // ones. Chains go from later positions to earlier ones. Those kept where the usual
    // history ends (HistoryAfterPrefix) or at the end serve as they are; a history
    // that a prefix moved on gets its own in `scratch`, made from the nearer of the two.
    // (Below HistoryAfterPrefix the heads may still lead to later positions.)
    const uint16_t* HeadsBefore(int32_t end, std::vector<uint16_t>& scratch) const;

private:
    static constexpr int HashBits = 12;
    const uint8_t* data_ = nullptr;  // the bytes the chains were made over
    std::vector<uint16_t> head_, prev_;
    std::vector<uint16_t> early_;  // head_ as it was before position HistoryAfterPrefix
    int32_t size_ = 0;
};

// Longest matches in a trial window: `window` holds the reference's bytes [start, end)
// as history, then the new file's bytes from `prefix` on.
class TrialFinder {
public:
    TrialFinder(const uint8_t* window, int32_t history, const FileChains& reference, int32_t start, int32_t end,
                const FileChains& file, int32_t prefix)
        : window_(window), history_(history), reference_(reference), start_(start), end_(end), file_(file),
          prefix_(prefix), before_(reference.HeadsBefore(end, heads_)) {}
    // It points into itself.
    TrialFinder(const TrialFinder&) = delete;
    TrialFinder& operator=(const TrialFinder&) = delete;

    // Chains are made beforehand: nothing to insert.
    void Insert(int32_t) {}
    void InsertRange(int32_t, int32_t) {}

    // As MatchFinder::Longest: the longest match of at most `limit` bytes, nearer ones
    // first, following at most `depth` links; 0 when there is none of two bytes or more.
    int32_t Longest(int32_t position, int32_t limit, int depth, int32_t* distance) const;
    // The same walk entering the reference's chain at its newest position and stepping
    // over those past the history one by one: slower, plainly right, for comparison.
    void WalkWholeChain() { whole_ = true; }

private:
    const uint8_t* window_;
    int32_t history_;
    const FileChains& reference_;
    int32_t start_, end_;
    const FileChains& file_;
    int32_t prefix_;
    bool whole_ = false;
    std::vector<uint16_t> heads_;  // the reference's heads before end_, when it has none kept
    const uint16_t* before_;       // those heads
};

// Inline: the trials call it at every position they parse.
inline int32_t TrialFinder::Longest(int32_t position, int32_t limit, int depth, int32_t* distance) const {
    if (limit < 3) return 0;
    const uint8_t* here = window_ + position;
    const int32_t nearest = std::max(0, position - WindowSize);
    int32_t best = 1;
    // The reference's chains are seldom in the cache: its head is fetched while the
    // file's own chain is walked.
    const uint32_t hash = FileChains::Hash(here);
    const uint16_t* const heads = whole_ ? reference_.Heads() : before_;
    __builtin_prefetch(heads + hash);
    auto consider = [&](int32_t at) {
        if (window_[at + best] != here[best]) return false;
        int32_t n = CommonLength(window_ + at, here, limit);
        if (n <= best) return false;
        best = n;
        *distance = position - at;
        return n >= limit;
    };
    // The file's own earlier bytes after its prefix, nearest first.
    const int32_t inFile = position - history_ + prefix_;
    for (uint32_t e = file_.Before(inFile); e != 0 && depth > 0; e = file_.BeforeStored(static_cast<int32_t>(e) - 1)) {
        const int32_t q = static_cast<int32_t>(e) - 1;
        if (q < prefix_) break;
        const int32_t at = history_ + q - prefix_;
        if (at < nearest) break;
        --depth;
        if (consider(at)) return best;
    }
    // Then the reference's bytes that the history holds.
    for (uint32_t e = heads[hash]; e != 0 && depth > 0;
         e = reference_.BeforeStored(static_cast<int32_t>(e) - 1)) {
        const int32_t q = static_cast<int32_t>(e) - 1;
        if (q >= end_) continue;
        if (q < start_) break;
        const int32_t at = q - start_;
        if (at < nearest) break;
        --depth;
        if (consider(at)) return best;
    }
    return best > 1 ? best : 0;
}
