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

namespace {

// log2(1 + m / 1024) for m = 0..1023 in 256ths of a bit (rounded down), by squaring
// the mantissa a bit at a time: integers only, so that the same counts give the same
// lengths on every machine.
struct MantissaLog2 {
    uint8_t fraction[1024];
    MantissaLog2() {
        for (uint64_t m = 0; m < 1024; ++m) {
            uint64_t y = (1024 + m) << 20;  // 1.0 to 2.0 in 1.30 fixed point
            int f = 0;
            for (int bit = 7; bit >= 0; --bit) {
                y = (y * y) >> 30;
                if (y >= (uint64_t{1} << 31)) {
                    y >>= 1;
                    f |= 1 << bit;
                }
            }
            fraction[m] = static_cast<uint8_t>(f);
        }
    }
};

// log2(x) for x >= 1 in 256ths of a bit: the whole part from the top bit, the fraction
// from the ten bits below it.
inline int32_t Log2Fixed(uint32_t x, const MantissaLog2& table) {
    const int top = 31 - __builtin_clz(x);
    const uint32_t mantissa = ((x << (31 - top)) >> 21) & 1023;  // top bit to bit 31, the ten below it
    return top * 256 + table.fraction[mantissa];
}

// Log2Fixed of the small counts, which most are, looked up at once.
struct SmallLog2 {
    static constexpr uint32_t Count = 4096;
    MantissaLog2 mantissa;
    int16_t log[Count];
    SmallLog2() {
        log[0] = 0;  // counts start at 1
        for (uint32_t x = 1; x < Count; ++x) log[x] = static_cast<int16_t>(Log2Fixed(x, mantissa));
    }
    int32_t Of(uint32_t x) const { return x < Count ? log[x] : Log2Fixed(x, mantissa); }
};

}  // namespace

void EstimateLengths(const HuffmanModel& model, SymbolCodes& codes) {
    // A body holds under 2^31 symbols, so the counts' sum fits.
    uint32_t total = 0;
    for (int s = 0; s < SymbolCount; ++s) total += static_cast<uint32_t>(model.frequency[s]);
    static const SmallLog2 table;
    const int32_t whole = table.Of(total);
    for (int s = 0; s < SymbolCount; ++s) {
        const int32_t bits = (whole - table.Of(static_cast<uint32_t>(model.frequency[s])) + 128) >> 8;
        codes.length[s] = static_cast<uint16_t>(bits < 1 ? 1 : bits);
    }
}

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

void SymbolCoder::Rebuild(HuffmanModel& model, SymbolCodes& codes) {
    if (estimated) {
        EstimateLengths(model, codes);
        return;
    }
    BuildTree(model);
    Derive(model, codes);
}

void SymbolCoder::CopyCountsFrom(const SymbolCoder& other) {
    auto copy = [](const auto& from, auto& to) { std::copy(std::begin(from), std::end(from), std::begin(to)); };
    if (estimated) {
        copy(other.literal.frequency, literal.frequency);
        copy(other.distance.frequency, distance.frequency);
    } else {
        // Everything a build starts from: counts, order and the counts at the last
        // build, which the next build compares with (counts only grow from there).
        CopyModelState(literal, other.literal);
        CopyModelState(distance, other.distance);
    }
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
        Rebuild(literal, literalCodes);
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
        Rebuild(distance, distanceCodes);
        ++generation;
    }
    ++symbolsDecoded;
    prepared_ = false;
}
