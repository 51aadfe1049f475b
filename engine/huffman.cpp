#include "engine/huffman.h"

#include <stddef.h>

#include "container/block_stream.h"

#define T1(x) x, x, x, x, x, x, x, x
#define T8(x) T1(x), T1(x), T1(x), T1(x), T1(x), T1(x), T1(x), T1(x)
const int32_t LiteralInitialCounts[SymbolCount] = {T8(1), T8(1), T8(1), T8(1),
                                                   T8(1), T8(1), T8(1), T8(1)};
const int32_t DistanceInitialCounts[SymbolCount] = {T8(2), T8(1), T8(1), T8(1),
                                                    T8(1), T8(1), T8(1), T8(1)};
#undef T8
#undef T1

BitReader Bits;

void InitModel(HuffmanModel& model, const int32_t* initialCounts) {
    for (int s = 0; s < SymbolCount; ++s) {
        model.frequency[s] = initialCounts[s];
        model.rank[s] = s;
    }
}

namespace {

// Sorts the keys ascending. The list of a build is mostly in order already, so an
// insertion sort goes first; when it meets too much disorder (a body's early builds),
// bottom-up merging takes over. The keys are unique, so both give the one order.
uint64_t* SortKeys(uint64_t* keys, uint64_t* scratch, int n) {
    int budget = 4 * n;
    int i = 1;
    for (; i < n && budget > 0; ++i) {
        uint64_t k = keys[i];
        int j = i;
        while (j > 0 && keys[j - 1] > k) {
            keys[j] = keys[j - 1];
            --j;
        }
        keys[j] = k;
        budget -= i - j;
    }
    if (i == n) return keys;

    constexpr int Run = 16;
    for (int start = 0; start < n; start += Run) {
        int end = start + Run < n ? start + Run : n;
        for (int r = start + 1; r < end; ++r) {
            uint64_t k = keys[r];
            int j = r;
            while (j > start && keys[j - 1] > k) {
                keys[j] = keys[j - 1];
                --j;
            }
            keys[j] = k;
        }
    }
    for (int width = Run; width < n; width *= 2) {
        for (int left = 0; left < n; left += 2 * width) {
            int mid = left + width < n ? left + width : n;
            int right = left + 2 * width < n ? left + 2 * width : n;
            int a = left, b = mid, out = left;
            while (a < mid && b < right) scratch[out++] = keys[a] <= keys[b] ? keys[a++] : keys[b++];
            while (a < mid) scratch[out++] = keys[a++];
            while (b < right) scratch[out++] = keys[b++];
        }
        uint64_t* t = keys;
        keys = scratch;
        scratch = t;
    }
    return keys;
}

}  // namespace

void BuildTree(HuffmanModel& model) {
    HuffmanNode* nodes = model.nodes;
    int16_t* list = model.list;

    // Leaves in the order of the previous build.
    for (int s = 0; s < SymbolCount; ++s) {
        HuffmanNode& leaf = nodes[s];
        leaf.symbol = s;
        leaf.frequency = model.frequency[s];
        leaf.child0 = NoChild;
        leaf.child1 = NoChild;
        list[model.rank[s]] = static_cast<int16_t>(s);
    }

    // A stable sort into non-increasing frequency: leaves of equal frequency keep the
    // order of the previous build. Each key is the frequency, reversed, above the
    // leaf's place in that order (and, below that, the leaf itself), so sorting the
    // keys ascending is that stable sort. Counts are at least 1 and below 2^31, so the
    // reversed frequency fits.
    uint64_t* keys = model.sortKeys[0];
    for (int k = 0; k < SymbolCount; ++k) {
        uint32_t reversed = 0x7FFFFFFFu - static_cast<uint32_t>(nodes[list[k]].frequency);
        keys[k] = static_cast<uint64_t>(reversed) << 32 | static_cast<uint64_t>(k) << 16 |
                  static_cast<uint16_t>(list[k]);
    }
    keys = SortKeys(keys, model.sortKeys[1], SymbolCount);
    for (int k = 0; k < SymbolCount; ++k) {
        list[k] = static_cast<int16_t>(keys[k] & 0xFFFF);
        model.rank[list[k]] = k;
    }

    // Merging. The list stays in non-increasing order; each merge combines its two last
    // entries, and a new node stands behind every entry of equal or greater frequency:
    // behind the leaves of its frequency and behind the nodes of its frequency made
    // before it. So the last entry is the smallest leaf, unless an internal node is
    // smaller or as small, and then it is the newest internal node of the smallest
    // frequency. Made nodes never shrink in frequency, so the internal nodes wait in
    // two places: `group`, the nodes of the smallest frequency taken newest first, and
    // `waiting`, the larger ones in the order made.
    int16_t* group = reinterpret_cast<int16_t*>(model.sortKeys[1]);
    int16_t* waiting = group + SymbolCount;
    int groupCount = 0, waitHead = 0, waitTail = 0;
    int leaves = SymbolCount;  // list[0 .. leaves) are the leaves not yet merged

    auto takeLast = [&]() -> int16_t {
        if (groupCount == 0 && waitHead < waitTail) {
            int32_t f = nodes[waiting[waitHead]].frequency;
            // In the order made, so the newest is on top.
            while (waitHead < waitTail && nodes[waiting[waitHead]].frequency == f)
                group[groupCount++] = waiting[waitHead++];
        }
        if (groupCount > 0 &&
            (leaves == 0 || nodes[group[groupCount - 1]].frequency <= nodes[list[leaves - 1]].frequency))
            return group[--groupCount];
        return list[--leaves];
    };

    for (int n = SymbolCount - 1; n >= 1; --n) {
        int16_t last = takeLast();
        int16_t before = takeLast();
        int16_t number = static_cast<int16_t>(NodeCount - n);
        HuffmanNode& inner = nodes[number];
        inner.symbol = 0;
        inner.frequency = nodes[before].frequency + nodes[last].frequency;
        inner.child0 = before;
        inner.child1 = last;
        if (groupCount > 0 && waitHead == waitTail && nodes[group[0]].frequency == inner.frequency)
            group[groupCount++] = number;
        else
            waiting[waitTail++] = number;
    }
    list[0] = static_cast<int16_t>(RootNode);
}

int ReadBit() {
    if (Bits.used == 0) Bits.current = NextByte();
    int bit = Bits.current & 1;
    Bits.current = static_cast<uint8_t>(Bits.current >> 1);
    Bits.used = static_cast<uint8_t>((Bits.used + 1) & 7);
    return bit;
}

uint32_t ReadBits(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) value |= static_cast<uint32_t>(ReadBit()) << i;
    return value;
}

int DecodeSymbol(const HuffmanModel& model) {
    const HuffmanNode* nodes = model.nodes;
    int node = model.list[0];
    while (nodes[node].child0 != NoChild) node = ReadBit() ? nodes[node].child1 : nodes[node].child0;
    return nodes[node].symbol;
}
