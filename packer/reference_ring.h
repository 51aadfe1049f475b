// The packer's copy of the decoder's ring of recent files, kept in step with it, and
// the choice of each file's reference and prefix.
#pragma once

#include <stdint.h>

#include <array>
#include <memory>
#include <unordered_map>
#include <vector>

#include "engine/lz_decoder.h"
#include "packer/trial_finder.h"

struct ReferenceChoice {
    int reference;   // r, 1 to 255
    int32_t prefix;  // L
    // False when r = 1 and L = 0: the record then stores a single 0 byte.
    bool Stored() const { return reference != 1 || prefix != 0; }
};

// Files are numbered in archive order from 1; number 0 is the stub. File n takes the
// decoder's slot n mod 256. The ring keeps the first bytes of the last KeptFiles files,
// more than the decoder's 256, so that files still being encoded can read their
// references while later files are planned.
class ReferenceRing {
public:
    static constexpr int64_t KeptFiles = 512;
    // How far planning may run ahead of the oldest file still being encoded.
    static constexpr int64_t MaxAhead = KeptFiles - SlotCount;

    // Slot 0 starts with the first bytes of the stub, as in the decoder.
    explicit ReferenceRing(const uint8_t* stubImage);

    // The number the next stored file gets.
    int64_t Next() const { return current_; }

    // Candidates worth a trial, best first by a quick similarity estimate (shared
    // sampled 8-byte strings, the rarer among the kept files the more, and the common
    // prefix); at most `count` of them, and r = 1 always among them.
    // `samples`, when given, are Samples of the data's first WindowSize bytes.
    std::vector<ReferenceChoice> Candidates(const uint8_t* data, int32_t size, size_t count,
                                            const std::vector<uint32_t>* samples = nullptr) const;

    const FileSlot& Reference(int r) const { return File(current_ - r); }
    // The first bytes of file `number`, which must be one of the last KeptFiles stored.
    const FileSlot& File(int64_t number) const { return slots_[number & (KeptFiles - 1)]; }
    // Hash chains over the same bytes, for the reference trials.
    const FileChains& Chains(int64_t number) const { return chains_[number & (KeptFiles - 1)]; }

    // Puts the file's first bytes into the current slot and moves on, as the decoder
    // does after each file entry.
    void Store(const uint8_t* data, int32_t size);

private:
    using SlotMask = std::array<uint64_t, SlotCount / 64>;
    void Index(int slot);
    void Unindex(int slot);

    std::unique_ptr<FileSlot[]> slots_;  // by file number modulo KeptFiles
    std::unique_ptr<FileChains[]> chains_;
    int64_t current_ = 1;
    std::vector<uint32_t> samples_[SlotCount];
    std::unordered_map<uint32_t, SlotMask> index_;
};

// Content-defined samples of a file's bytes: the sorted distinct hashes of the 8-byte
// strings whose hash says so, so that the same text is sampled alike wherever it
// stands in either file. Shared samples tell similar files.
void Samples(const uint8_t* data, int32_t size, std::vector<uint32_t>& out);

// The history the decoder primes for reference `slot` and prefix L: PrimeHistory's rule.
void HistoryFor(const FileSlot& slot, int32_t prefix, int32_t* start, int32_t* length);
