// The encoding side of the two adaptive models of a file body. The models, their
// initial counts, BuildTree and the rebuild schedules are the decoder's own; a symbol's
// code is read off the tree in use, so the decoder walks the same path back.
#pragma once

#include <stdint.h>

#include "engine/huffman.h"
#include "packer/bit_writer.h"

constexpr int32_t MinMatchLength = 2;
constexpr int32_t MaxMatchLength = 4352;
constexpr int32_t LongLengthSymbol = 511;  // lengths 257 to 4,352, with 12 extra bits
constexpr int32_t DistanceExtraBits = 5;

// Codes can be 511 bits long; each is kept as up to eight 64-bit words, first bit in
// bit 0 of word 0.
struct SymbolCodes {
    uint16_t length[SymbolCount];
    uint64_t bits[SymbolCount][8];
};

void DeriveCodes(const HuffmanModel& model, SymbolCodes& codes);
// Only the code lengths (the bits are left as they were): all that pricing needs.
void DeriveLengths(const HuffmanModel& model, SymbolCodes& codes);
// A length for each symbol from the counts alone, without building the tree: the bits
// that a symbol of its share of all counts takes, log2(total / count), rounded (at
// least 1). Huffman codes come within a bit of it.
void EstimateLengths(const HuffmanModel& model, SymbolCodes& codes);

inline int LengthSymbol(int32_t length) { return length <= 256 ? static_cast<int>(length) + 254 : LongLengthSymbol; }
inline int DistanceSymbol(int32_t distance) { return (distance - 1) >> DistanceExtraBits; }

// One body's pair of models with their current codes and counters. With a null writer
// it only keeps the models in step, which is how the optimal parser learns the code
// lengths that the real encoding will have.
struct SymbolCoder {
    HuffmanModel literal;
    HuffmanModel distance;
    SymbolCodes literalCodes;
    SymbolCodes distanceCodes;
    int32_t symbolsDecoded;
    int32_t matchesDecoded;
    // Bumped at every rebuild of either tree, so that callers notice new code lengths.
    uint32_t generation = 0;
    // Set before Start on a coder that never writes (one that prices): its rebuilds
    // derive the code lengths alone.
    bool lengthsOnly = false;
    // Set on such a coder to have its rebuilds estimate the lengths from the counts
    // (EstimateLengths) instead of building the trees: a fraction of the work, and
    // CopyCountsFrom then takes over the counts and lengths alone.
    bool estimated = false;

    void Start();
    // Takes over another coder's counts, orders and code lengths, all that a coder
    // without a writer needs: its trees are rebuilt from counts and orders alone.
    // Both coders have been started.
    void CopyCountsFrom(const SymbolCoder& other);
    // Rebuilds the literal/length tree if the schedule wants it before the next symbol,
    // so that the codes of that symbol can be looked at first.
    void Prepare();
    void Literal(BitWriter* out, uint8_t byte);
    void Match(BitWriter* out, int32_t length, int32_t distance);

private:
    void Derive(const HuffmanModel& model, SymbolCodes& codes) const;
    void Rebuild(HuffmanModel& model, SymbolCodes& codes);
    bool prepared_ = false;
};
