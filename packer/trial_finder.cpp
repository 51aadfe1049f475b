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
