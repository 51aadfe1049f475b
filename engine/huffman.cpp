#include "engine/huffman.h"

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

    // Stable bubble sort into non-increasing frequency. Each pass carries the larger
    // entries towards the front and starts again just behind the first swap it made.
    int lower = 0;
    for (;;) {
        int firstSwap = -1;
        for (int j = SymbolCount - 2; j >= lower; --j) {
            if (nodes[list[j]].frequency < nodes[list[j + 1]].frequency) {
                int16_t t = list[j];
                list[j] = list[j + 1];
                list[j + 1] = t;
                firstSwap = j;
            }
        }
        if (firstSwap < 0) break;
        lower = firstSwap + 1;
        if (lower > SymbolCount - 2) break;
    }

    for (int k = 0; k < SymbolCount; ++k) model.rank[nodes[list[k]].symbol] = k;

    // Merge the two last entries; the new node goes behind every entry of equal or
    // greater frequency.
    for (int n = SymbolCount - 1; n >= 1; --n) {
        if (n != SymbolCount - 1) {
            int16_t made = list[n];
            int32_t f = nodes[made].frequency;
            int k = n;
            while (k > 0 && nodes[list[k - 1]].frequency < f) {
                list[k] = list[k - 1];
                --k;
            }
            list[k] = made;
        }
        int16_t number = static_cast<int16_t>(NodeCount - n);
        HuffmanNode& inner = nodes[number];
        inner.symbol = 0;
        inner.frequency = nodes[list[n - 1]].frequency + nodes[list[n]].frequency;
        inner.child0 = list[n - 1];
        inner.child1 = list[n];
        list[n - 1] = number;
    }
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
