#include "packer/symbol_coder.h"

#include <algorithm>
#include <iterator>

namespace {

void PutCode(BitWriter& out, const SymbolCodes& codes, int symbol) {
    int remaining = codes.length[symbol];
    const uint64_t* words = codes.bits[symbol];
    for (int w = 0; remaining > 0; ++w) {
        int n = remaining < 64 ? remaining : 64;
        uint64_t word = words[w];
        if (n > 32) {
            out.Put(static_cast<uint32_t>(word), 32);
            out.Put(static_cast<uint32_t>(word >> 32), n - 32);
        } else {
            out.Put(static_cast<uint32_t>(word), n);
        }
        remaining -= n;
    }
}

}  // namespace

namespace {

// The codes top-down: a parent is always made after its children, so walking the
// internal nodes from the root's number downwards meets parents first. With `Bits`, codes
// of up to 64 bits (false when some code is longer; words past a code's length are never
// read); without, only the lengths, of any size.
template <bool Bits>
bool DeriveTopDown(const HuffmanModel& model, SymbolCodes& codes) {
    uint64_t code[Bits ? NodeCount : 1];
    uint16_t depth[NodeCount];
    const int root = model.list[0];
    code[Bits ? root : 0] = 0;
    depth[root] = 0;
    for (int n = root; n >= SymbolCount; --n) {
        const int d = depth[n];
        const HuffmanNode& node = model.nodes[n];
        if (Bits) {
            if (d >= 64) return false;
            code[node.child0] = code[n];
            code[node.child1] = code[n] | (uint64_t{1} << d);
        }
        depth[node.child0] = depth[node.child1] = static_cast<uint16_t>(d + 1);
    }
    for (int s = 0; s < SymbolCount; ++s) {
        codes.length[s] = depth[s];
        if (Bits) codes.bits[s][0] = code[s];
    }
    return true;
}

}  // namespace

void DeriveCodes(const HuffmanModel& model, SymbolCodes& codes) {
    if (DeriveTopDown<true>(model, codes)) return;
    // Each internal node names its two children; walking up from a leaf gives its code
    // backwards (up to 511 bits).
    int16_t parent[NodeCount];
    uint8_t branch[NodeCount];
    for (int n = SymbolCount; n < NodeCount; ++n) {
        parent[model.nodes[n].child0] = static_cast<int16_t>(n);
        branch[model.nodes[n].child0] = 0;
        parent[model.nodes[n].child1] = static_cast<int16_t>(n);
        branch[model.nodes[n].child1] = 1;
    }
    const int root = model.list[0];
    uint8_t reversed[SymbolCount];
    for (int s = 0; s < SymbolCount; ++s) {
        int depth = 0;
        for (int n = s; n != root; n = parent[n]) reversed[depth++] = branch[n];
        codes.length[s] = static_cast<uint16_t>(depth);
        uint64_t* words = codes.bits[s];
        for (int w = 0; w < 8; ++w) words[w] = 0;
        for (int i = 0; i < depth; ++i)
            words[i >> 6] |= static_cast<uint64_t>(reversed[depth - 1 - i]) << (i & 63);
    }
}

void DeriveLengths(const HuffmanModel& model, SymbolCodes& codes) { DeriveTopDown<false>(model, codes); }

void SymbolCoder::Derive(const HuffmanModel& model, SymbolCodes& codes) const {
    if (lengthsOnly) DeriveLengths(model, codes);
    else DeriveCodes(model, codes);
}

void SymbolCoder::Start() {
    InitModel(literal, LiteralInitialCounts);
    InitModel(distance, DistanceInitialCounts);
    BuildTree(distance);
    Derive(distance, distanceCodes);
    symbolsDecoded = 0;
    matchesDecoded = 0;
    prepared_ = false;
    ++generation;
}

void SymbolCoder::CopyCountsFrom(const SymbolCoder& other) {
    auto copy = [](const auto& from, auto& to) { std::copy(std::begin(from), std::end(from), std::begin(to)); };
    // Everything a build starts from: counts, order and the counts at the last build,
    // which the next build compares with (counts only grow from there).
    CopyModelState(literal, other.literal);
    CopyModelState(distance, other.distance);
    copy(other.literalCodes.length, literalCodes.length);
    copy(other.distanceCodes.length, distanceCodes.length);
    symbolsDecoded = other.symbolsDecoded;
    matchesDecoded = other.matchesDecoded;
    generation = other.generation;
    prepared_ = other.prepared_;
}

void SymbolCoder::Prepare() {
    if (prepared_) return;
    prepared_ = true;
    if (LiteralRebuildDue(symbolsDecoded)) {
        BuildTree(literal);
        Derive(literal, literalCodes);
        ++generation;
    }
}

void SymbolCoder::Literal(BitWriter* out, uint8_t byte) {
    Prepare();
    if (out) PutCode(*out, literalCodes, byte);
    ++literal.frequency[byte];
    ++symbolsDecoded;
    prepared_ = false;
}

void SymbolCoder::Match(BitWriter* out, int32_t length, int32_t distanceValue) {
    Prepare();
    int s = LengthSymbol(length);
    int d = DistanceSymbol(distanceValue);
    if (out) {
        PutCode(*out, literalCodes, s);
        if (s == LongLengthSymbol) out->Put(static_cast<uint32_t>(length - 257), 12);
        PutCode(*out, distanceCodes, d);
        out->Put(static_cast<uint32_t>(distanceValue - 1) & 31u, DistanceExtraBits);
    }
    ++literal.frequency[s];
    ++distance.frequency[d];
    ++matchesDecoded;
    if (DistanceRebuildDue(matchesDecoded)) {
        BuildTree(distance);
        Derive(distance, distanceCodes);
        ++generation;
    }
    ++symbolsDecoded;
    prepared_ = false;
}
