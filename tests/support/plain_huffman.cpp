#include "plain_huffman.h"

#include <algorithm>
#include <memory>

void ReferenceBuild(HuffmanModel& m) {
    for (int s = 0; s < SymbolCount; ++s) {
        m.nodes[s] = {s, m.frequency[s], NoChild, NoChild};
        m.list[m.rank[s]] = static_cast<int16_t>(s);
    }
    int lower = 0;
    for (;;) {
        int first = -1;
        for (int j = SymbolCount - 2; j >= lower; --j)
            if (m.nodes[m.list[j]].frequency < m.nodes[m.list[j + 1]].frequency) {
                std::swap(m.list[j], m.list[j + 1]);
                first = j;
            }
        if (first < 0 || first + 1 > SymbolCount - 2) break;
        lower = first + 1;
    }
    for (int k = 0; k < SymbolCount; ++k) m.rank[m.nodes[m.list[k]].symbol] = k;
    for (int n = SymbolCount - 1; n >= 1; --n) {
        if (n != SymbolCount - 1)
            for (int k = n; k > 0 && m.nodes[m.list[k - 1]].frequency < m.nodes[m.list[k]].frequency; --k)
                std::swap(m.list[k - 1], m.list[k]);
        int16_t number = static_cast<int16_t>(NodeCount - n);
        m.nodes[number] = {0, WrappingSum(m.nodes[m.list[n - 1]].frequency, m.nodes[m.list[n]].frequency), m.list[n - 1],
                           m.list[n]};
        m.list[n - 1] = number;
    }
}

uint16_t PlainFastEntry(const HuffmanModel& m, uint32_t value) {
    int node = m.list[0];
    int taken = 0;
    while (m.nodes[node].child0 != NoChild && taken < FastBits) {
        node = (value >> taken & 1) ? m.nodes[node].child1 : m.nodes[node].child0;
        ++taken;
    }
    return static_cast<uint16_t>(node | taken << FastNodeBits);
}

std::string ModelDifference(const HuffmanModel& fast, const HuffmanModel& plain) {
    // The fast build keeps the order; its ranks may be left to the next build.
    for (int s = 0; s < SymbolCount; ++s)
        if (fast.order[plain.rank[s]] != s) return "place of symbol " + std::to_string(s);
    if (fast.list[0] != plain.list[0]) return "root";
    for (int n = 0; n < NodeCount; ++n) {
        const HuffmanNode &a = fast.nodes[n], &b = plain.nodes[n];
        // A leaf's count at the build is kept beside the nodes.
        int32_t frequency = n < SymbolCount ? fast.builtFrequency[n] : a.frequency;
        if (frequency != b.frequency || a.child0 != b.child0 || a.child1 != b.child1 ||
            (n < SymbolCount && a.symbol != b.symbol))
            return "node " + std::to_string(n);
    }
    return "";
}

std::string FastTableDifference(const HuffmanModel& fast, const HuffmanModel& plain) {
    auto whole = std::make_unique<HuffmanModel>(fast);
    FillFastTable(*whole);
    auto lazy = std::make_unique<HuffmanModel>(fast);
    std::fill(std::begin(lazy->fast), std::end(lazy->fast), 0);
    for (uint32_t v = 0; v < FastSize; ++v) {
        uint16_t want = PlainFastEntry(plain, v);
        if (whole->fast[v] != want) return "whole table at " + std::to_string(v);
        // In a scrambled order, so that entries filled for earlier codes are met too.
        uint32_t w = (v * 167u) % FastSize;
        uint16_t got = lazy->fast[w] != 0 ? lazy->fast[w] : FillFastEntry(*lazy, w);
        if (got != PlainFastEntry(plain, w)) return "entry filled on demand at " + std::to_string(w);
    }
    if (!std::equal(std::begin(lazy->fast), std::end(lazy->fast), std::begin(whole->fast)))
        return "on-demand table differs from the whole";
    return "";
}
