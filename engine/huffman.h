// Adaptive 512-symbol Huffman models and the bit reader.
//
// The tree construction is part of the archive format: the packer builds its codes
// with this same BuildTree, so every ordering and tie rule here is shared by both
// sides and must never change.
#pragma once

#include <stdint.h>

constexpr int SymbolCount = 512;
constexpr int NodeCount = 2 * SymbolCount - 1;  // 512 leaves, 511 internal nodes
constexpr int RootNode = NodeCount - 1;         // the last merge makes node 1022
constexpr int16_t NoChild = -1;

struct HuffmanNode {
    int32_t symbol;     // leaves only
    // The sum of the two children. A leaf's count at the last build is builtFrequency
    // in the model; the compact build (the stub's) keeps it here too, the native one
    // only when the merge as written needs it.
    int32_t frequency;
    int16_t child0;     // NoChild for a leaf
    int16_t child1;     // right behind child0: the decoder indexes the two by the bit
};

// The decoder's shortcut: for every value of the next FastBits bits (the first bit
// lowest), the node they lead to from the root and how many of them it took; a leaf
// nearer the root takes fewer. BuildTree empties it (0 is no entry). The native decoder
// fills the whole table after every build; the compact one (the stub's) fills what it
// meets, a code at a time.
constexpr int FastBits = 9;
constexpr int FastSize = 1 << FastBits;
constexpr int FastNodeBits = 10;  // node numbers up to 1022
inline int FastNode(uint16_t entry) { return entry & ((1 << FastNodeBits) - 1); }
inline int FastTaken(uint16_t entry) { return entry >> FastNodeBits; }

struct HuffmanModel {
    int32_t frequency[SymbolCount];  // counts, only ever growing within a body
    int32_t rank[SymbolCount];       // place of each symbol in the last build's order (see rankStale)
    // The last build's order, rank inverted, with each leaf's count at that build
    // (orderedFrequency[k + 1] for order[k]; [0] stands above every count): a build
    // moves only the leaves whose counts differ from these.
    int16_t order[SymbolCount];
    int32_t orderedFrequency[SymbolCount + 1];
    int32_t builtFrequency[SymbolCount];  // each symbol's count at the last build
    bool ordered;                    // false until the first build: every leaf is placed anew
    // True when the last build left `rank` behind the order (a build that goes through
    // every leaf anyway does not keep it); the next build that needs it makes it anew.
    bool rankStale;
    HuffmanNode nodes[NodeCount];    // 0..511 leaves, 512..1022 internal in build order
    int16_t list[SymbolCount];       // list[0] is the root after a build
    uint16_t fast[FastSize];
    uint64_t scratch[3][SymbolCount + 1];  // working storage of BuildTree
};

// The state that a build starts from (counts, order and the leaves' counts), without
// the tree: a body's models start from the start models' state and decode with the
// start trees until their first rebuild. `to` has been through InitModel once.
// Only the counts change before the first rebuild, so the rest can wait for it
// (CopyModelOrder); CopyModelState copies both.
inline void CopyModelOrder(HuffmanModel& to, const HuffmanModel& from) {
    __builtin_memcpy(to.rank, from.rank, sizeof to.rank);
    __builtin_memcpy(to.order, from.order, sizeof to.order);
    __builtin_memcpy(to.orderedFrequency, from.orderedFrequency, sizeof to.orderedFrequency);
    __builtin_memcpy(to.builtFrequency, from.builtFrequency, sizeof to.builtFrequency);
    to.ordered = from.ordered;
#ifndef DADUVIVU_COMPACT_CORE
    to.rankStale = from.rankStale;
#endif
}
inline void CopyModelState(HuffmanModel& to, const HuffmanModel& from) {
    __builtin_memcpy(to.frequency, from.frequency, sizeof to.frequency);
    CopyModelOrder(to, from);
#ifdef DADUVIVU_COMPACT_CORE
    for (int s = 0; s < SymbolCount; ++s) to.nodes[s].frequency = from.frequency[s];
#endif
}

// Counts and sums wrap as 32-bit two's complement numbers, as on the machines the format
// was made for, should a body of nearly 2 GiB ever take them that far.
inline int32_t WrappingSum(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// Initial counts of the two models of a file body.
extern const int32_t LiteralInitialCounts[SymbolCount];   // 1 for every symbol
extern const int32_t DistanceInitialCounts[SymbolCount];  // 2 for 0..63, 1 for the rest

void InitModel(HuffmanModel& model, const int32_t* initialCounts);
// Between two builds of a model its counts may only grow (InitModel starts afresh):
// the build moves only the leaves whose counts changed, and only forward.
void BuildTree(HuffmanModel& model);
// The whole shortcut table of the current tree at once.
void FillFastTable(HuffmanModel& model);
// The entry for the next FastBits bits, filled in for every value that shares the code.
uint16_t FillFastEntry(HuffmanModel& model, uint32_t bits);

// The rebuild schedules of a body, shared with the packer: the literal/length tree is
// rebuilt before symbol number `symbolsDecoded`, the distance tree after match number
// `matchesDecoded`, whenever these say so.
inline bool LiteralRebuildDue(int32_t symbolsDecoded) {
    return symbolsDecoded % 256 == 0 && (symbolsDecoded < 2048 || symbolsDecoded % 1024 == 0);
}
inline bool DistanceRebuildDue(int32_t matchesDecoded) {
    return matchesDecoded % 64 == 0 && (matchesDecoded < 1024 || matchesDecoded % 512 == 0);
}

// Bits are taken from each byte least significant first.
struct BitReader {
    uint8_t current;
    uint8_t used;  // 0: the next bit needs a new byte
};

extern BitReader Bits;

int ReadBit();
uint32_t ReadBits(int count);
int DecodeSymbol(const HuffmanModel& model);
