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
    // order of the previous build. While the counts lie close together (the first
    // builds of a body) they are sorted by counting; later the list is nearly in order
    // and the key sort below does little.
    int32_t highest = nodes[list[0]].frequency, lowest = highest;
    for (int k = 1; k < SymbolCount; ++k) {
        int32_t f = nodes[list[k]].frequency;
        if (f > highest) highest = f;
        if (f < lowest) lowest = f;
    }
    constexpr int32_t CountingRange = static_cast<int32_t>(sizeof model.sortKeys / sizeof(int32_t));
    if (highest - lowest < CountingRange) {
        int32_t* starts = reinterpret_cast<int32_t*>(model.sortKeys);  // by highest - frequency
        int32_t range = highest - lowest + 1;
        for (int32_t i = 0; i < range; ++i) starts[i] = 0;
        for (int k = 0; k < SymbolCount; ++k) ++starts[highest - nodes[list[k]].frequency];
        int32_t at = 0;
        for (int32_t i = 0; i < range; ++i) {
            int32_t n = starts[i];
            starts[i] = at;
            at += n;
        }
        int32_t* sorted = model.rank;  // free until the order is recorded below
        for (int k = 0; k < SymbolCount; ++k) sorted[starts[highest - nodes[list[k]].frequency]++] = list[k];
        for (int k = 0; k < SymbolCount; ++k) list[k] = static_cast<int16_t>(sorted[k]);
    } else {
        // Each key is the frequency, reversed, above the leaf's place in that order (and,
        // below that, the leaf itself), so sorting the keys ascending is that stable sort.
        // Counts are at least 1 and below 2^31, so the reversed frequency fits.
        uint64_t* keys = model.sortKeys[0];
        for (int k = 0; k < SymbolCount; ++k) {
            uint32_t reversed = 0x7FFFFFFFu - static_cast<uint32_t>(nodes[list[k]].frequency);
            keys[k] = static_cast<uint64_t>(reversed) << 32 | static_cast<uint64_t>(k) << 16 |
                      static_cast<uint16_t>(list[k]);
        }
        keys = SortKeys(keys, model.sortKeys[1], SymbolCount);
        for (int k = 0; k < SymbolCount; ++k) list[k] = static_cast<int16_t>(keys[k] & 0xFFFF);
    }
    for (int k = 0; k < SymbolCount; ++k) model.rank[list[k]] = k;

    // Merging. The list stays in non-increasing order; each merge combines its two last
    // entries, and a new node stands behind every entry of equal or greater frequency:
    // behind the leaves of its frequency and behind the nodes of its frequency made
    // before it. So the last entry is the smallest leaf, unless an internal node is
    // smaller or as small, and then it is the newest internal node of the smallest
    // frequency. Made nodes never shrink in frequency, so the internal nodes wait in
    // two places: `group`, the nodes of the smallest frequency taken newest first, and
    // the larger ones in the order made. The sort's space is free again and holds the
    // frequencies of the sorted leaves and of the internal nodes, and the group.
    int32_t* leafFrequency = reinterpret_cast<int32_t*>(model.sortKeys[0]);
    int32_t* madeFrequency = leafFrequency + SymbolCount;
    int16_t* group = reinterpret_cast<int16_t*>(model.sortKeys[1]);  // indices in the order made
    for (int k = 0; k < SymbolCount; ++k) leafFrequency[k] = nodes[list[k]].frequency;
    int leaves = SymbolCount;  // list[0 .. leaves) are the leaves not yet merged
    int waitHead = 0;          // internal nodes waitHead .. made-1 wait, oldest first
    int groupCount = 0;
    int32_t groupFrequency = 0;

    for (int made = 0; made < SymbolCount - 1; ++made) {
        int16_t taken[2];  // the last entry, then the one before it
        int32_t takenFrequency[2];
        for (int t = 0; t < 2; ++t) {
            if (groupCount == 0 && waitHead < made) {
                // In the order made, so the newest is on top.
                groupFrequency = madeFrequency[waitHead];
                do
                    group[groupCount++] = static_cast<int16_t>(waitHead++);
                while (waitHead < made && madeFrequency[waitHead] == groupFrequency);
            }
            if (groupCount > 0 && (leaves == 0 || groupFrequency <= leafFrequency[leaves - 1])) {
                taken[t] = static_cast<int16_t>(SymbolCount + group[--groupCount]);
                takenFrequency[t] = groupFrequency;
            } else {
                --leaves;
                taken[t] = list[leaves];
                takenFrequency[t] = leafFrequency[leaves];
            }
        }
        int32_t sum = takenFrequency[0] + takenFrequency[1];
        HuffmanNode& inner = nodes[SymbolCount + made];
        inner.symbol = 0;
        inner.frequency = sum;
        inner.child0 = taken[1];
        inner.child1 = taken[0];
        madeFrequency[made] = sum;
        // Nothing waits and the group has its frequency: it goes on top of the group.
        if (groupCount > 0 && waitHead == made && groupFrequency == sum) {
            group[groupCount++] = static_cast<int16_t>(made);
            waitHead = made + 1;
        }
    }
    list[0] = static_cast<int16_t>(RootNode);

    // The shortcut: walk the tree to a depth of 8 bits.
    struct Step {
        int16_t node;
        uint8_t depth;
        uint8_t code;
    };
    Step stack[2 * 8 + 2];
    int top = 0;
    stack[top++] = {static_cast<int16_t>(RootNode), 0, 0};
    while (top > 0) {
        Step at = stack[--top];
        const HuffmanNode& node = nodes[at.node];
        if (node.child0 == NoChild || at.depth == 8) {
            for (int v = at.code; v < 256; v += 1 << at.depth) {
                model.fastNode[v] = at.node;
                model.fastBits[v] = at.depth;
            }
            continue;
        }
        uint8_t deeper = static_cast<uint8_t>(at.depth + 1);
        stack[top++] = {node.child0, deeper, at.code};
        stack[top++] = {node.child1, deeper, static_cast<uint8_t>(at.code | 1 << at.depth)};
    }
}

int ReadBit() { return static_cast<int>(ReadBits(1)); }

// The same bits as `count` calls of ReadBit, taken a byte's worth at a time.
uint32_t ReadBits(int count) {
    uint32_t current = Bits.current;
    int available = Bits.used == 0 ? 0 : 8 - Bits.used;
    uint32_t value = 0;
    for (int got = 0; got < count;) {
        if (available == 0) {
            current = NextByte();
            available = 8;
        }
        int take = count - got < available ? count - got : available;
        value |= (current & ((1u << take) - 1)) << got;
        current >>= take;
        available -= take;
        got += take;
    }
    Bits.current = static_cast<uint8_t>(current);
    Bits.used = static_cast<uint8_t>((8 - available) & 7);
    return value;
}

// Reads the code of one symbol. When 8 bits can be seen without fetching a block (the
// rest of the current byte and the next byte of the block buffer), the shortcut table
// takes them at once; only the bits that the code uses are consumed. Otherwise, and
// for codes longer than 8 bits, the tree is walked a bit at a time.
int DecodeSymbol(const HuffmanModel& model) {
    const HuffmanNode* nodes = model.nodes;
    uint32_t current = Bits.current;
    int available = Bits.used == 0 ? 0 : 8 - Bits.used;  // bits left in `current`
    int node = model.list[0];
    if (available == 0) {
        current = NextByte();
        available = 8;
    }
    uint32_t window = current;
    bool seen = available == 8;
    if (!seen && BlockStream.position < BlockStream.length) {
        window = (current | static_cast<uint32_t>(BlockStream.buffer[BlockStream.position]) << available) & 0xFF;
        seen = true;
    }
    if (seen) {
        int taken = model.fastBits[window];
        node = model.fastNode[window];
        if (taken <= available) {
            current >>= taken;
            available -= taken;
        } else {
            int fromNext = taken - available;
            current = static_cast<uint32_t>(NextByte()) >> fromNext;
            available = 8 - fromNext;
        }
    }
    // Bit by bit from here on: the rest of a long code, or all of it.
    while (nodes[node].child0 != NoChild) {
        if (available == 0) {
            current = NextByte();
            available = 8;
        }
        node = (&nodes[node].child0)[current & 1];
        current >>= 1;
        --available;
    }
    // Every code takes at least one bit of the last byte fetched, so fewer than 8 are left.
    Bits.current = static_cast<uint8_t>(current);
    Bits.used = static_cast<uint8_t>((8 - available) & 7);
    return nodes[node].symbol;
}
