#include "packer/reference_ring.h"

#include <algorithm>
#include <cstring>

#include "packer/match_finder.h"

namespace {

// Content-defined samples: an 8-byte string is sampled when its hash says so, so the
// same text is sampled alike wherever it stands in either file.
constexpr int SampleSpan = 8;
constexpr uint32_t SampleMask = 15;
constexpr int32_t SampledBytes = WindowSize;  // priming only helps the first window of a file

}  // namespace

void Samples(const uint8_t* data, int32_t size, std::vector<uint32_t>& out) {
    out.clear();
    for (int32_t i = 0; i + SampleSpan <= size; ++i) {
        uint64_t v;
        std::memcpy(&v, data + i, 8);
        uint32_t key = static_cast<uint32_t>((v * 0x9E3779B97F4A7C15ull) >> 32);
        if ((key & SampleMask) == 0) out.push_back(key);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
}

void HistoryFor(const FileSlot& slot, int32_t prefix, int32_t* start, int32_t* length) {
    int32_t h = std::min(slot.size - prefix, HistoryAfterPrefix);
    int32_t t = std::min(WindowSize - h, prefix);
    *start = prefix - t;
    *length = h + t;
}

ReferenceRing::ReferenceRing(const uint8_t* stubImage)
    : slots_(new FileSlot[KeptFiles]), chains_(new FileChains[KeptFiles]) {
    slots_[0].size = SlotCapacity;
    std::memcpy(slots_[0].data, stubImage, SlotCapacity);
    chains_[0].Build(slots_[0].data, SlotCapacity);
    Index(0);
}

// `slot` is the decoder's slot; its file is the latest stored there.
void ReferenceRing::Index(int slot) {
    const FileSlot& file = File(current_ - ((current_ - slot) & (SlotCount - 1)));
    Samples(file.data, file.size, samples_[slot]);
    for (uint32_t key : samples_[slot]) index_[key][slot >> 6] |= uint64_t{1} << (slot & 63);
}

void ReferenceRing::Unindex(int slot) {
    for (uint32_t key : samples_[slot]) {
        auto it = index_.find(key);
        if (it == index_.end()) continue;
        it->second[slot >> 6] &= ~(uint64_t{1} << (slot & 63));
        if ((it->second[0] | it->second[1] | it->second[2] | it->second[3]) == 0) index_.erase(it);
    }
    samples_[slot].clear();
}

std::vector<ReferenceChoice> ReferenceRing::Candidates(const uint8_t* data, int32_t size, size_t count,
                                                       const std::vector<uint32_t>* samples) const {
    int32_t hits[SlotCount] = {};
    std::vector<uint32_t> own;
    if (!samples) Samples(data, std::min(size, SampledBytes), own);
    const std::vector<uint32_t>& keys = samples ? *samples : own;
    // A sample that few kept files have says more about them than one most have: it
    // weighs 24 less the bit length of how many have it (23 for one file, 15 for all).
    for (uint32_t key : keys) {
        auto it = index_.find(key);
        if (it == index_.end()) continue;
        int holders = 0;
        for (int w = 0; w < 4; ++w) holders += __builtin_popcountll(it->second[w]);
        const int32_t weight = 24 - (32 - __builtin_clz(static_cast<uint32_t>(holders)));
        for (int w = 0; w < 4; ++w)
            for (uint64_t m = it->second[w]; m; m &= m - 1) hits[w * 64 + __builtin_ctzll(m)] += weight;
    }

    struct Scored {
        ReferenceChoice choice;
        int64_t score;
    };
    std::vector<Scored> scored;
    for (int r = 1; r < SlotCount && r <= current_; ++r) {
        int slot = static_cast<int>((current_ - r) & (SlotCount - 1));
        const FileSlot& s = Reference(r);
        int32_t prefix = CommonLength(data, s.data, std::min(size, s.size));
        // A short prefix is not worth the two bytes that store it for the previous file.
        if (r == 1 && prefix < 16) prefix = 0;
        // A sample stands for about as many bytes as it weighs (one in 16 strings is
        // sampled); the prefix for its own.
        int64_t score = static_cast<int64_t>(hits[slot]) + prefix;
        scored.push_back({{r, prefix}, score});
    }
    std::stable_sort(scored.begin(), scored.end(), [](const Scored& a, const Scored& b) { return a.score > b.score; });
    std::vector<ReferenceChoice> out;
    for (const Scored& s : scored) {
        if (out.size() >= count) break;
        if (s.score > 0 || s.choice.reference == 1) out.push_back(s.choice);
    }
    bool hasPrevious = false;
    for (const ReferenceChoice& c : out) hasPrevious |= c.reference == 1;
    if (!hasPrevious) {
        if (out.size() >= count && !out.empty()) out.pop_back();
        out.push_back({1, 0});
    }
    return out;
}

void ReferenceRing::Store(const uint8_t* data, int32_t size) {
    const int slot = static_cast<int>(current_ & (SlotCount - 1));
    Unindex(slot);
    FileSlot& file = slots_[current_ & (KeptFiles - 1)];
    file.size = std::min(size, SlotCapacity);
    std::copy(data, data + file.size, file.data);
    chains_[current_ & (KeptFiles - 1)].Build(file.data, file.size);
    Index(slot);
    ++current_;
}
