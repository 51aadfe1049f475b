#include "packer/trial_finder.h"

#include <algorithm>

#include "engine/lz_decoder.h"
#include "packer/match_finder.h"

void FileChains::Build(const uint8_t* data, int32_t size) {
    size_ = std::min<int32_t>(size, 0xFFFF);
    data_ = data;
    head_.assign(size_t{1} << HashBits, 0);
    prev_.resize(static_cast<size_t>(size_));
    for (int32_t p = 0; p < size_; ++p) {
        if (p == HistoryAfterPrefix) early_ = head_;
        if (p + 3 > size_) {
            prev_[p] = 0;
            continue;
        }
        uint32_t h = Hash(data + p);
        prev_[p] = head_[h];
        head_[h] = static_cast<uint16_t>(p + 1);
    }
}

const uint16_t* FileChains::HeadsBefore(int32_t end, std::vector<uint16_t>& scratch) const {
    if (end >= size_ || size_ <= HistoryAfterPrefix) return head_.data();
    if (end <= HistoryAfterPrefix) return early_.data();
    if (end - HistoryAfterPrefix <= size_ - end) {
        // The early heads, and the positions from there to the end.
        scratch = early_;
        for (int32_t p = HistoryAfterPrefix; p < end && p + 3 <= size_; ++p)
            scratch[Hash(data_ + p)] = static_cast<uint16_t>(p + 1);
    } else {
        // The last heads, each taken back past the positions from the end on.
        scratch = head_;
        for (int32_t p = size_ - 3; p >= end; --p) {
            uint16_t& head = scratch[Hash(data_ + p)];
            if (head == p + 1) head = prev_[p];
        }
    }
    return scratch.data();
}

int32_t TrialFinder::Longest(int32_t position, int32_t limit, int depth, int32_t* distance) const {
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
    for (uint32_t e = file_.Before(inFile); e != 0 && depth > 0; e = file_.Before(static_cast<int32_t>(e) - 1)) {
        const int32_t q = static_cast<int32_t>(e) - 1;
        if (q < prefix_) break;
        const int32_t at = history_ + q - prefix_;
        if (at < nearest) break;
        --depth;
        if (consider(at)) return best;
    }
    // Then the reference's bytes that the history holds.
    for (uint32_t e = heads[hash]; e != 0 && depth > 0;
         e = reference_.Before(static_cast<int32_t>(e) - 1)) {
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
