// The packer's copy of the decoder's ring of recent files, kept in step with it, and
// the choice of each file's reference and prefix.
#pragma once

#include <stdint.h>

#include <array>
#include <memory>
#include <unordered_map>
#include <vector>

#include "engine/lz_decoder.h"

struct ReferenceChoice {
    int reference;   // r, 1 to 255
    int32_t prefix;  // L
    // False when r = 1 and L = 0: the record then stores a single 0 byte.
    bool Stored() const { return reference != 1 || prefix != 0; }
};

class ReferenceRing {
public:
    // Slot 0 starts with the first bytes of the stub, as in the decoder.
    explicit ReferenceRing(const uint8_t* stubImage);

    // Candidates worth a trial, best first by a quick similarity estimate (shared
    // sampled 8-byte strings and the common prefix); at most `count` of them, and r = 1
    // always among them.
    std::vector<ReferenceChoice> Candidates(const uint8_t* data, int32_t size, size_t count) const;

    const FileSlot& Reference(int r) const { return slots_[(current_ - r) & (SlotCount - 1)]; }

    // Puts the file's first bytes into the current slot and moves on, as the decoder
    // does after each file entry.
    void Store(const uint8_t* data, int32_t size);

private:
    using SlotMask = std::array<uint64_t, SlotCount / 64>;
    void Index(int slot);
    void Unindex(int slot);

    std::unique_ptr<FileSlot[]> slots_;
    bool filled_[SlotCount] = {};
    int current_ = 1;
    std::vector<uint32_t> samples_[SlotCount];
    std::unordered_map<uint32_t, SlotMask> index_;
};

// The history the decoder primes for reference `slot` and prefix L: PrimeHistory's rule.
void HistoryFor(const FileSlot& slot, int32_t prefix, int32_t* start, int32_t* length);
