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
    int32_t frequency;  // a leaf's count, or the sum of the two children
    int16_t child0;     // NoChild for a leaf
    int16_t child1;     // right behind child0: the decoder indexes the two by the bit
};

struct HuffmanModel {
    int32_t frequency[SymbolCount];  // counts, only ever growing within a body
    int32_t rank[SymbolCount];       // place of each symbol in the last build's order
    HuffmanNode nodes[NodeCount];    // 0..511 leaves, 512..1022 internal in build order
    int16_t list[SymbolCount];       // working list of a build; list[0] is the root after it
    // A shortcut for decoding, made with each tree: for every value of the next 8 bits
    // (the first bit lowest), the node they lead to from the root and how many of them
    // it took; a leaf nearer the root takes fewer.
    int16_t fastNode[256];
    uint8_t fastBits[256];
    uint64_t sortKeys[2][SymbolCount];  // scratch of the sort in BuildTree; never copied
};

// Copies a model's counts, order and tree, leaving out the sort's scratch.
inline void CopyModel(HuffmanModel& to, const HuffmanModel& from) {
    __builtin_memcpy(&to, &from, __builtin_offsetof(HuffmanModel, sortKeys));
}

// Initial counts of the two models of a file body.
extern const int32_t LiteralInitialCounts[SymbolCount];   // 1 for every symbol
extern const int32_t DistanceInitialCounts[SymbolCount];  // 2 for 0..63, 1 for the rest

void InitModel(HuffmanModel& model, const int32_t* initialCounts);
void BuildTree(HuffmanModel& model);

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
