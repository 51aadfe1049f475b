#include "engine/huffman.h"

#include <stddef.h>
#if defined(__SSE2__) && !defined(DADUVIVU_COMPACT_CORE)
#include <emmintrin.h>
#endif

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
        model.order[s] = static_cast<int16_t>(s);
        model.nodes[s] = {s, initialCounts[s], NoChild, NoChild};
    }
    model.ordered = false;
#ifndef DADUVIVU_COMPACT_CORE
    model.rankStale = false;
#endif
}

namespace {

// Sorts the keys ascending. Short or nearly ordered lists go by insertion; when that
// meets too much disorder, bottom-up merging takes over. The keys are unique, so both
// give the one order. Returns where the sorted keys are (keys or scratch).
uint64_t* SortKeys(uint64_t* keys, uint64_t* scratch, int n) {
    int budget = 4 * n + 64;
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
    if (i >= n) return keys;

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

// A leaf's place in the new order: frequency descending, then the place it had in the
// previous order. Counts are never negative, so the reversed count fits in 31 bits;
// the leaf rides in the low bits.
inline uint64_t OrderKey(int32_t frequency, int place, int symbol) {
    uint32_t reversed = 0x7FFFFFFFu - static_cast<uint32_t>(frequency);
    return static_cast<uint64_t>(reversed) << 32 | static_cast<uint64_t>(place) << 16 | static_cast<uint64_t>(symbol);
}

// Sorts keys of leaves that are in their previous order already: close-together
// counts (a body's early builds) by counting, which keeps that order, others by key.
uint64_t* SortChanged(uint64_t* keys, uint64_t* scratch, int n) {
    if (n <= 16) return SortKeys(keys, scratch, n);
    uint32_t low = 0xFFFFFFFFu, high = 0;  // reversed counts
    for (int i = 0; i < n; ++i) {
        uint32_t r = static_cast<uint32_t>(keys[i] >> 32);
        low = r < low ? r : low;
        high = r > high ? r : high;
    }
    constexpr uint32_t Range = 256;
    if (high - low >= Range) return SortKeys(keys, scratch, n);
    int32_t starts[Range + 1] = {};
    for (int i = 0; i < n; ++i) ++starts[static_cast<uint32_t>(keys[i] >> 32) - low + 1];
    for (uint32_t i = 1; i <= high - low; ++i) starts[i] += starts[i - 1];
    for (int i = 0; i < n; ++i) scratch[starts[static_cast<uint32_t>(keys[i] >> 32) - low]++] = keys[i];
    return scratch;
}

// Writes the sorted keys into the order from position `at` down.
void PlaceAll(HuffmanModel& model, const uint64_t* keys, int n, int at) {
    for (int c = n - 1; c >= 0; --c, --at) {
        int s = static_cast<int>(keys[c] & 0xFFFF);
        model.order[at] = static_cast<int16_t>(s);
        model.orderedFrequency[at + 1] = static_cast<int32_t>(0x7FFFFFFFu - static_cast<uint32_t>(keys[c] >> 32));
        model.rank[s] = at;
    }
}

// Which of 32 leaves' counts differ from their counts at the last build, a bit each.
inline uint32_t DifferingCounts(const int32_t* now, const int32_t* then) {
    uint32_t differ = 0;
#if defined(__SSE2__) && !defined(DADUVIVU_COMPACT_CORE)
    for (int i = 0; i < 32; i += 4) {
        __m128i same = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(now + i)),
                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(then + i)));
        differ |= static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(same)) ^ 15) << i;
    }
#else
    for (int i = 0; i < 32; ++i) differ |= static_cast<uint32_t>(now[i] != then[i]) << i;
#endif
    return differ;
}

// Steps 1 to 3 for every leaf at once: the first build, or counts that wrapped past
// 2^31 and so went down.
void SortAllLeaves(HuffmanModel& model) {
    uint64_t* keys = model.scratch[0];
    for (int k = 0; k < SymbolCount; ++k) {
        int s = model.order[k];
        int32_t f = model.frequency[s];
        model.builtFrequency[s] = f;
#ifdef DADUVIVU_COMPACT_CORE
        model.nodes[s].frequency = f;
#endif
        keys[k] = OrderKey(f, k, s);
    }
    PlaceAll(model, SortChanged(keys, model.scratch[1], SymbolCount), SymbolCount, SymbolCount - 1);
#ifndef DADUVIVU_COMPACT_CORE
    model.rankStale = false;
#endif
}

// The highest set bit at or below `high` in a 512-bit set, or -1.
inline int HighestAtOrBelow(const uint32_t* set, int high) {
    int word = high >> 5;
    uint32_t bits = set[word] & (~0u >> (31 - (high & 31)));
    while (bits == 0) {
        if (--word < 0) return -1;
        bits = set[word];
    }
    return word * 32 + 31 - __builtin_clz(bits);
}

#ifndef DADUVIVU_COMPACT_CORE
// The first place in [first, last) where `holds` no longer holds: it holds for a
// stretch from `first` and nowhere after. Found by halving, the answer always within
// [first, first + length]; the steps depend only on the length, and the test picks the
// half without a branch (a branch here is a coin toss for the processor).
template <typename Holds>
inline int EndOfStretch(int first, int last, Holds holds) {
    int length = last - first;
    if (length <= 0) return first;
    while (length > 1) {
        int half = length / 2;
        first = holds(first + half) ? first + half : first;
        length -= half;
    }
    return first + static_cast<int>(holds(first));
}

// Steps 1 to 3 when most leaves' counts have moved apart (a body's later builds): the
// previous order, each leaf inserted behind every leaf of its new count or more before
// it. Most stay where they are; a short move shifts its way, a long one is found by
// halving and moved as a block.
void SortLeavesInserting(HuffmanModel& model) {
    constexpr int Near = 8;
    const int32_t* const frequency = model.frequency;
    int16_t* const order = model.order;
    int32_t* const counts = model.orderedFrequency + 1;  // [-1] stands above every count
    for (int i = 0; i < SymbolCount; ++i) {
        int16_t s = order[i];
        int32_t f = frequency[s];
        int j = i;
        if (counts[j - 1] < f) {
            if (i >= Near && counts[i - Near] < f) {
                j = EndOfStretch(0, i - Near + 1, [&](int k) { return counts[k] >= f; });
                __builtin_memmove(order + j + 1, order + j, static_cast<size_t>(i - j) * sizeof *order);
                __builtin_memmove(counts + j + 1, counts + j, static_cast<size_t>(i - j) * sizeof *counts);
            } else {
                do {
                    order[j] = order[j - 1];
                    counts[j] = counts[j - 1];
                    --j;
                } while (counts[j - 1] < f);
            }
            order[j] = s;
        }
        counts[j] = f;
    }
    model.rankStale = true;  // most builds of a body that come here come here again
    __builtin_memcpy(model.builtFrequency, frequency, sizeof model.builtFrequency);
}

// Copies `bytes` bytes, a multiple of 16, between blocks that do not overlap.
inline void CopyBlocks(void* to, const void* from, size_t bytes) {
#if defined(__SSE2__)
    for (size_t i = 0; i < bytes; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(static_cast<const uint8_t*>(from) + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(static_cast<uint8_t*>(to) + i), v);
    }
#else
    __builtin_memcpy(to, from, bytes);
#endif
}

// Steps 1 to 3 by counting, when every count lies within CountingRange of the smallest
// (a body's early builds, whose counts are small): the leaves of each count are counted,
// which places the run of every count in the new order, and every leaf then goes, in the
// previous order, to the next place of its count's run. No leaf is compared with another
// and no stretch is moved, so the time is the same whatever moved. False, with nothing
// changed, when the counts lie too far apart or one went down (wrapped).
constexpr int32_t CountingRange = 1024;
bool SortLeavesCounting(HuffmanModel& model) {
    const int32_t* const frequency = model.frequency;
    int32_t* const built = model.builtFrequency;
    int32_t* const counts = model.orderedFrequency + 1;  // the previous order's, largest first
    // Counts only grow, so the previous smallest is at most every count now, and the
    // previous largest at least the largest.
    const int32_t lowest = counts[SymbolCount - 1];
    if (lowest < 0 || counts[0] - lowest >= CountingRange) return false;
    int16_t* const changed = reinterpret_cast<int16_t*>(model.scratch[2]);
    int n = 0;
    for (int word = 0; word < SymbolCount / 32; ++word) {
        uint32_t differ = DifferingCounts(frequency + word * 32, built + word * 32);
        for (; differ != 0; differ &= differ - 1) changed[n++] = static_cast<int16_t>(word * 32 + __builtin_ctz(differ));
    }
    if (n == 0) return true;  // the previous order stands
    int32_t highest = counts[0];
    bool wrapped = false;
    for (int i = 0; i < n; ++i) {
        int32_t f = frequency[changed[i]];
        wrapped |= f < built[changed[i]];
        highest = f > highest ? f : highest;
    }
    if (wrapped || highest - lowest >= CountingRange) return false;

    // The leaves of each count, by place from the largest: the previous order's runs,
    // less the changed leaves' old counts, plus their new ones.
    int32_t starts[CountingRange + 1];
    const int span = highest - lowest + 1;
    __builtin_memset(starts, 0, static_cast<size_t>(span) * sizeof *starts);
    // Where the previous order's runs start: a bit for every place whose count differs
    // from the one in front (counts[-1] stands above them all), found 32 at a time.
    int runStart = 0;
    for (int word = 0; word < SymbolCount / 32; ++word) {
        uint32_t first = DifferingCounts(counts + word * 32, counts + word * 32 - 1);
        if (word == 0) first &= ~1u;  // place 0 starts the first run
        for (; first != 0; first &= first - 1) {
            const int k = word * 32 + __builtin_ctz(first);
            starts[highest - counts[runStart]] += k - runStart;
            runStart = k;
        }
    }
    starts[highest - counts[runStart]] += SymbolCount - runStart;
    for (int i = 0; i < n; ++i) {
        int s = changed[i];
        --starts[highest - built[s]];
        ++starts[highest - frequency[s]];
        built[s] = frequency[s];
    }
    for (int b = 0, at = 0; b < span; ++b) {
        int leaves = starts[b];
        starts[b] = at;
        at += leaves;
    }
    int16_t* const order = model.order;
    int16_t* __restrict const nextOrder = reinterpret_cast<int16_t*>(model.scratch[0]);
    int32_t* __restrict const nextCounts = reinterpret_cast<int32_t*>(model.scratch[1]);
    // Four leaves at a time: each takes its count's next place, plus one for every leaf
    // of the same count in front of it within the four, so that the four places are read
    // before any is written back. A long run of one count then waits for the write of the
    // place once every four leaves, not after every leaf.
    const uint32_t top = static_cast<uint32_t>(highest);
    for (int k = 0; k < SymbolCount; k += 4) {
        uint32_t s[4], b[4];
        int32_t f[4];
        for (int j = 0; j < 4; ++j) {
            s[j] = static_cast<uint16_t>(order[k + j]);
            f[j] = frequency[s[j]];
            b[j] = top - static_cast<uint32_t>(f[j]);
        }
        int32_t at[4];
        at[0] = starts[b[0]];
        at[1] = starts[b[1]] + (b[1] == b[0]);
        at[2] = starts[b[2]] + (b[2] == b[0]) + (b[2] == b[1]);
        at[3] = starts[b[3]] + (b[3] == b[0]) + (b[3] == b[1]) + (b[3] == b[2]);
        for (int j = 0; j < 4; ++j) {
            starts[b[j]] = at[j] + 1;  // of equal counts the last one written is the furthest on
            nextOrder[at[j]] = static_cast<int16_t>(s[j]);
            nextCounts[at[j]] = f[j];
        }
    }
    // Copied back 16 bytes a step: the compiler's string move for a block this size
    // takes longer to start than the copy takes.
    CopyBlocks(order, nextOrder, sizeof model.order);
    CopyBlocks(counts, nextCounts, SymbolCount * sizeof *counts);
    model.rankStale = true;
    return true;
}
#endif

// Steps 1 to 3: the stable sort of the leaves into non-increasing frequency, leaves of
// equal frequency in the order of the previous build. Leaves whose counts did not
// change since that build are still in order among themselves, and a changed leaf only
// moves forward. So only the changed leaves are sorted; each goes in front of the first
// leaf of a smaller count in the previous order, and the stretches of unchanged leaves
// between these places and the changed leaves' old places move back as blocks, from
// the back; a stretch that keeps its place is not touched.
void SortLeaves(HuffmanModel& model) {
    if (!model.ordered) {
        SortAllLeaves(model);
        model.orderedFrequency[0] = 0x7FFFFFFF;
        model.ordered = true;
        return;
    }
#ifndef DADUVIVU_COMPACT_CORE
    if (SortLeavesCounting(model)) return;
    if (model.orderedFrequency[SymbolCount / 2] != model.orderedFrequency[SymbolCount]) {
        SortLeavesInserting(model);
        return;
    }
#endif
    const int32_t* frequency = model.frequency;
    int32_t* built = model.builtFrequency;
    int16_t* order = model.order;
    int32_t* counts = model.orderedFrequency + 1;
    int32_t* rank = model.rank;
#ifndef DADUVIVU_COMPACT_CORE
    if (model.rankStale) {
        for (int k = 0; k < SymbolCount; ++k) rank[order[k]] = k;
        model.rankStale = false;
    }
#endif
    uint32_t stale[SymbolCount / 32] = {};  // the old places of the changed leaves
    int changedCount = 0;
    bool wrapped = false;
    auto mark = [&](int s) {
        int32_t f = frequency[s];
        wrapped |= f < built[s];
        built[s] = f;
#ifdef DADUVIVU_COMPACT_CORE
        model.nodes[s].frequency = f;
#endif
        int k = rank[s];
        stale[k >> 5] |= 1u << (k & 31);
        ++changedCount;
    };
    // A word of flags per 32 symbols, then the flagged ones: no branch per symbol.
    for (int word = 0; word < SymbolCount / 32; ++word) {
        uint32_t differ = DifferingCounts(frequency + word * 32, built + word * 32);
        for (; differ != 0; differ &= differ - 1) mark(word * 32 + __builtin_ctz(differ));
    }
    if (changedCount == 0) return;
    if (wrapped) {
        SortAllLeaves(model);
        return;
    }

    // The changed leaves' keys in their old order, so that equal counts keep it.
    uint64_t* changed = model.scratch[0];
    int n = 0;
    for (int word = 0; word < SymbolCount / 32; ++word) {
        for (uint32_t bits = stale[word]; bits != 0; bits &= bits - 1) {
            int k = word * 32 + __builtin_ctz(bits);
            int s = order[k];
            changed[n++] = OrderKey(frequency[s], k, s);
        }
    }
    changed = SortChanged(changed, model.scratch[1], n);

    // Where each goes: in front of the first leaf whose old count is smaller than its
    // new one. Its own old count is, so that place is at or before its old place.
    int32_t* into = reinterpret_cast<int32_t*>(model.scratch[2]);
    int low = 0;
    for (int i = 0; i < n; ++i) {
        if (i > 0 && changed[i] >> 32 == changed[i - 1] >> 32) {  // the same count: the same place
            into[i] = low;
            continue;
        }
        int32_t f = static_cast<int32_t>(0x7FFFFFFFu - static_cast<uint32_t>(changed[i] >> 32));
        int high = static_cast<int>(changed[i] >> 16 & 0xFFFF);
        // The place lies in low..high; halving without a branch on the counts.
        for (int length = high - low + 1; length > 1;) {
            int half = length / 2;
            low = counts[low + half - 1] < f ? low : low + half;
            length -= half;
        }
        into[i] = low;
    }

    // From the back: `from` is the next old place to read, `at` the next to write, never
    // in front of it.
    int from = SymbolCount - 1, at = SymbolCount - 1;
    auto moveDownTo = [&](int low) {  // old places low..from, less the changed leaves
        while (from >= low) {
            int skip = HighestAtOrBelow(stale, from);
            int first = skip >= low ? skip + 1 : low;
            int shift = at - from;
            if (shift != 0) {
#ifndef DADUVIVU_COMPACT_CORE
                if (from - first >= 16) {  // a long stretch moves as a block
                    size_t n = static_cast<size_t>(from - first + 1);
                    __builtin_memmove(order + first + shift, order + first, n * sizeof *order);
                    __builtin_memmove(counts + first + shift, counts + first, n * sizeof *counts);
                    for (int j = first + shift; j <= from + shift; ++j) rank[order[j]] = j;
                } else
#endif
                    for (int j = from; j >= first; --j) {
                        int s = order[j];
                        order[j + shift] = static_cast<int16_t>(s);
                        counts[j + shift] = counts[j];
                        rank[s] = j + shift;
                    }
            }
            at -= from - first + 1;
            from = skip >= low ? skip - 1 : first - 1;
        }
    };
    for (int i = n - 1; i >= 0; --i) {
        moveDownTo(into[i]);
        int s = static_cast<int>(changed[i] & 0xFFFF);
        order[at] = static_cast<int16_t>(s);
        counts[at] = frequency[s];
        rank[s] = at--;
    }
}

// Step 4 as written, each new node walked forward a place at a time: for counts whose
// sums pass 2^31 and wrap, where made nodes no longer come in non-decreasing order.
void MergeAsWritten(HuffmanModel& model) {
    int16_t* list = model.list;
    HuffmanNode* nodes = model.nodes;
    for (int s = 0; s < SymbolCount; ++s) nodes[s].frequency = model.builtFrequency[s];
    for (int k = 0; k < SymbolCount; ++k) list[k] = model.order[k];
    for (int n = SymbolCount - 1; n >= 1; --n) {
        for (int k = n; n != SymbolCount - 1 && k > 0 && nodes[list[k - 1]].frequency < nodes[list[k]].frequency;
             --k) {
            int16_t t = list[k - 1];
            list[k - 1] = list[k];
            list[k] = t;
        }
        HuffmanNode& inner = nodes[NodeCount - n];
        inner.symbol = 0;
        inner.frequency = WrappingSum(nodes[list[n - 1]].frequency, nodes[list[n]].frequency);
        inner.child0 = list[n - 1];
        inner.child1 = list[n];
        list[n - 1] = static_cast<int16_t>(NodeCount - n);
    }
}

// Whether every sum of a build stays below 2^31: no count is negative and all of them
// together stay below it.
bool SumsFit(const HuffmanModel& model) {
    const int32_t* counts = model.orderedFrequency + 1;  // largest first
    if (counts[SymbolCount - 1] < 0) return false;
    if (counts[0] < (1 << 22)) return true;  // 512 of them cannot pass 2^31
    int64_t total = 0;
    for (int k = 0; k < SymbolCount; ++k) total += counts[k];
    return total < (int64_t{1} << 31) - 1;
}

#ifndef DADUVIVU_COMPACT_CORE
// An internal node's sum and children, the children in one store; its symbol is never
// read. `children`
// holds child0 in its low half and child1 in its high half, as they lie in memory.
static_assert(offsetof(HuffmanNode, child1) == offsetof(HuffmanNode, child0) + 2, "a node's children lie side by side");
inline void PutInner(HuffmanNode* node, int32_t sum, uint32_t children) {
    node->frequency = sum;
    __builtin_memcpy(&node->child0, &children, sizeof children);
}
inline uint32_t Children(int child0, int child1) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    int first = child0;
    child0 = child1;
    child1 = first;
#endif
    return static_cast<uint16_t>(child0) | static_cast<uint32_t>(static_cast<uint16_t>(child1)) << 16;
}

// Step 4 with counts whose sums all stay below 2^31 - 1. The smallest entry is the
// smallest leaf unless a made node is as small; made nodes come in non-decreasing
// frequency, and among nodes of one frequency the newest goes first. So the nodes not
// yet taken are the group, those of the smallest frequency, and behind them the range
// of node numbers [waiting, made), all larger. The group is a run of node numbers
// [low, high), taken from the top, and a stack of nodes made with its frequency while
// nothing waited, newer than the run and so taken first. Runs of equal leaves, and the
// group, pair off in bulk.
void MergeInOrder(HuffmanModel& model) {
    constexpr int32_t Empty = 0x7FFFFFFF;  // above every count and sum
    constexpr int Far = 16;                 // a run longer than this is measured by halving
    HuffmanNode* const nodes = model.nodes;
    const int16_t* const order = model.order;
    const int32_t* const leafFrequency = model.orderedFrequency + 1;  // [-1] is Empty
    int16_t* const stack = reinterpret_cast<int16_t*>(model.scratch[1]);
    int leaves = SymbolCount;
    int low = 0, high = 0, stacked = 0;
    int32_t groupFrequency = Empty;
    int waiting = SymbolCount;
    int made = SymbolCount;

    auto empty = [&] { return high == low && stacked == 0; };
    auto refill = [&] {
        if (waiting == made) {
            groupFrequency = Empty;
            return;
        }
        groupFrequency = nodes[waiting].frequency;
        low = waiting++;
        // The run's end: most runs are one node (a body's later trees have many distinct
        // counts); longer ones a step at a time when short, else by halving.
        if (waiting < made && nodes[waiting].frequency == groupFrequency) {
            if (made - waiting > Far && nodes[waiting + Far].frequency == groupFrequency) {
                waiting = EndOfStretch(waiting + Far + 1, made,
                                       [&](int n) { return nodes[n].frequency == groupFrequency; });
            } else {
                do
                    ++waiting;
                while (waiting < made && nodes[waiting].frequency == groupFrequency);
            }
        }
        high = waiting;
    };
    auto takeGroup = [&] { return stacked != 0 ? stack[--stacked] : --high; };
    // Nodes [from, made) just made with the group's frequency, while nothing waited.
    auto join = [&](int from) {
        if (stacked == 0 && high == from) {
            high = made;
        } else {
            for (int n = from; n < made; ++n) stack[stacked++] = static_cast<int16_t>(n);
        }
        waiting = made;
    };

    // With no group, the waiting nodes are a plain queue, oldest (smallest) first, as long
    // as no node to be taken has a twin of its frequency behind it (the newer one would go
    // first). A body's later trees, whose counts are mostly apart, are merged here a node
    // at a time; at a twin, or a run of leaves worth pairing in bulk, the loop hands over.
    auto queued = [&](int n) { return n < made ? nodes[n].frequency : Empty; };
    auto plainSteps = [&] {
        while (made < NodeCount) {
            int32_t leaf = leafFrequency[leaves - 1];
            int32_t node = queued(waiting);
            int32_t next = queued(waiting + 1);
            if (node == next && node != Empty) return;
            int first, second;
            int32_t sum;
            if (node <= leaf) {
                int32_t after = queued(waiting + 2);
                if (next <= leaf) {
                    if (next == after && next != Empty) return;
                    first = waiting;
                    second = waiting + 1;
                    sum = node + next;
                    waiting += 2;
                } else {
                    first = waiting++;
                    second = order[--leaves];
                    sum = node + leaf;
                }
            } else {
                if (leaves >= 4 && leafFrequency[leaves - 4] == leaf) return;
                first = order[--leaves];
                int32_t before = leafFrequency[leaves - 1];
                if (node <= before) {
                    second = waiting++;
                    sum = leaf + node;
                } else {
                    second = order[--leaves];
                    sum = leaf + before;
                }
            }
            PutInner(&nodes[made++], sum, Children(second, first));
        }
    };

    while (made < NodeCount) {
        if (empty()) {
            plainSteps();
            if (made == NodeCount) break;
            refill();
        }
        int32_t leaf = leafFrequency[leaves - 1];
        int first;
        int32_t firstFrequency;
        if (groupFrequency <= leaf) {
            if (stacked == 0 && high - low >= 2 && groupFrequency > 0) {
                // Two nodes of the group at a time, newest first; the sums are larger
                // than the group and wait.
                int32_t sum = 2 * groupFrequency;
                uint32_t children = Children(high - 2, high - 1);
                do {
                    PutInner(&nodes[made++], sum, children);
                    children -= Children(2, 2);
                    high -= 2;
                } while (high - low >= 2);
                continue;
            }
            first = takeGroup();
            firstFrequency = groupFrequency;
            if (empty()) refill();
        } else {
            if (leaves >= 2 && leafFrequency[leaves - 2] == leaf && leaf > 0) {
                // Leaves of the smallest count pair off from the end; the group is larger
                // than they are. The sums all join the group, or all wait.
                int32_t sum = 2 * leaf;
                bool joins = !empty() && waiting == made && groupFrequency == sum;
                int from = made;
                // Where the run of this count starts: a step at a time when short, else
                // by halving.
                int start = leaves - 2;
                if (start >= Far && leafFrequency[start - Far] == leaf) {
                    start = EndOfStretch(0, start - Far, [&](int k) { return leafFrequency[k] != leaf; });
                } else {
                    while (start > 0 && leafFrequency[start - 1] == leaf) --start;
                }
                for (int pairs = (leaves - start) / 2; pairs > 0; --pairs) {
                    uint32_t children;  // order[leaves - 2] and order[leaves - 1]
                    __builtin_memcpy(&children, order + leaves - 2, sizeof children);
                    PutInner(&nodes[made++], sum, children);
                    leaves -= 2;
                }
                if (joins) join(from);
                continue;
            }
            first = order[--leaves];
            firstFrequency = leaf;
            leaf = leafFrequency[leaves - 1];
        }
        int second;
        int32_t secondFrequency;
        if (groupFrequency <= leaf) {
            second = takeGroup();
            secondFrequency = groupFrequency;
        } else {
            second = order[--leaves];
            secondFrequency = leaf;
        }
        int32_t sum = firstFrequency + secondFrequency;
        PutInner(&nodes[made], sum, Children(second, first));
        bool joins = !empty() && waiting == made && groupFrequency == sum;
        ++made;
        if (joins) join(made - 1);
    }
}
#endif

}  // namespace

void BuildTree(HuffmanModel& model) {
    SortLeaves(model);
    if (!SumsFit(model)) {
        MergeAsWritten(model);
        __builtin_memset(model.fast, 0, sizeof model.fast);
        return;
    }
#ifndef DADUVIVU_COMPACT_CORE
    MergeInOrder(model);
#else

    // Step 4, merging. The list stays in non-increasing order; each merge combines its
    // two last entries, and a new node stands behind every entry of equal or greater
    // frequency: behind the leaves of its frequency and behind the nodes of its frequency
    // made before it. So the last entry is the smallest leaf, unless an internal node is
    // smaller or as small, and then it is the newest internal node of the smallest
    // frequency. Made nodes never shrink in frequency, so they wait in one queue, oldest
    // first: its front run of the smallest frequency, the group, queue[base .. top), is
    // taken from the top, newest first, and the queue goes on at `wait`. A node made
    // with the group's frequency while nothing else waits is the newest of the group: it
    // goes on top (into the place of one taken, if any). Runs of equal entries pair off
    // in bulk.
    HuffmanNode* nodes = model.nodes;
    const int16_t* list = model.order;
    const int32_t* leafFrequency = model.orderedFrequency + 1;  // [-1] is above every count
    int32_t* queueFrequency = reinterpret_cast<int32_t*>(model.scratch[0]);
    int16_t* queue = reinterpret_cast<int16_t*>(model.scratch[1]);  // node numbers
    int leaves = SymbolCount;  // list[0 .. leaves) are the leaves not yet merged
    int base = 0, top = 0, wait = 0, tail = 0;
    int32_t groupFrequency = 0;
    int made = SymbolCount;  // the next node's number

    // `last` is the entry taken first (bit 1), `before` the one in front of it (bit 0).
    auto make = [&](int last, int before, int32_t sum) {
        HuffmanNode& inner = nodes[made];
        inner.symbol = 0;
        inner.frequency = sum;
        inner.child0 = static_cast<int16_t>(before);
        inner.child1 = static_cast<int16_t>(last);
        if (top > base && wait == tail && groupFrequency == sum) {
            queue[top] = static_cast<int16_t>(made);
            queueFrequency[top] = sum;
            wait = tail = ++top;
        } else {
            queue[tail] = static_cast<int16_t>(made);
            queueFrequency[tail++] = sum;
        }
        ++made;
    };
    auto refill = [&] {
        if (top > base) return;
        base = wait;
        if (wait == tail) return;
        groupFrequency = queueFrequency[wait];
        do
            ++wait;
        while (wait < tail && queueFrequency[wait] == groupFrequency);
        top = wait;
    };
    // Whether the next entry taken is a node of the group rather than a leaf.
    auto groupFirst = [&] { return top > base && groupFrequency <= leafFrequency[leaves - 1]; };

    while (made < NodeCount) {
        refill();
        int first, second;
        int32_t firstFrequency, secondFrequency;
        if (groupFirst()) {
            if (top - base >= 2 && groupFrequency > 0 && groupFrequency < (1 << 30)) {
                // Nodes of the group pair off, newest first; their sums are larger and
                // wait behind the group.
                int32_t sum = 2 * groupFrequency;
                do {
                    nodes[made] = {0, sum, queue[top - 2], queue[top - 1]};
                    queue[tail] = static_cast<int16_t>(made++);
                    queueFrequency[tail++] = sum;
                    top -= 2;
                } while (top - base >= 2);
                continue;
            }
            first = queue[--top];
            firstFrequency = groupFrequency;
        } else {
            int32_t smallestLeaf = leafFrequency[leaves - 1];
            if (leaves >= 2 && leafFrequency[leaves - 2] == smallestLeaf && smallestLeaf > 0 &&
                smallestLeaf < (1 << 30)) {
                // Leaves of the smallest count pair off from the end; every node is larger.
                // They all go on top of the group, or all wait at the end of the queue.
                int32_t sum = 2 * smallestLeaf;
                bool joins = top > base && wait == tail && groupFrequency == sum;
                int to = joins ? top : tail;
                do {
                    nodes[made] = {0, sum, list[leaves - 2], list[leaves - 1]};
                    queue[to] = static_cast<int16_t>(made++);
                    queueFrequency[to++] = sum;
                    leaves -= 2;
                } while (leaves >= 2 && leafFrequency[leaves - 2] == smallestLeaf);
                if (joins)
                    top = wait = tail = to;
                else
                    tail = to;
                continue;
            }
            first = list[--leaves];
            firstFrequency = smallestLeaf;
        }
        refill();
        if (groupFirst()) {
            second = queue[--top];
            secondFrequency = groupFrequency;
        } else {
            second = list[--leaves];
            secondFrequency = leafFrequency[leaves];
        }
        make(first, second, WrappingSum(firstFrequency, secondFrequency));
    }
#endif
    model.list[0] = static_cast<int16_t>(RootNode);  // step 5
    __builtin_memset(model.fast, 0, sizeof model.fast);
}

#ifndef DADUVIVU_COMPACT_CORE
// The whole shortcut table, a level at a time: the table of the first d bits has one
// entry per value; doubling it copies every entry, then splits each node reached in
// exactly d bits into its two children. Only those nodes are visited.
void FillFastTable(HuffmanModel& model) {
    uint16_t* const fast = model.fast;
    const HuffmanNode* const nodes = model.nodes;
    // code << 16 | node, of the internal nodes d bits down (one more place: every child is
    // written, and only an internal one kept, so that no branch guesses which it is)
    uint32_t lists[2][FastSize / 2 + 1];
    uint32_t* now = lists[0];
    uint32_t* next = lists[1];
    int count = 1;
    now[0] = RootNode;
    fast[0] = static_cast<uint16_t>(RootNode);
    for (int depth = 0; depth < FastBits; ++depth) {
        int width = 1 << depth;
        __builtin_memcpy(fast + width, fast, static_cast<size_t>(width) * sizeof *fast);
        uint16_t split = static_cast<uint16_t>((depth + 1) << FastNodeBits);
        bool deeper = depth + 1 < FastBits;
        int nextCount = 0;
        for (int i = 0; i < count; ++i) {
            int v = static_cast<int>(now[i] >> 16);
            const HuffmanNode& node = nodes[now[i] & 0xFFFF];
            fast[v] = static_cast<uint16_t>(node.child0 | split);
            fast[v + width] = static_cast<uint16_t>(node.child1 | split);
            if (deeper) {
                next[nextCount] = static_cast<uint32_t>(v) << 16 | static_cast<uint16_t>(node.child0);
                nextCount += node.child0 >= SymbolCount;
                next[nextCount] = static_cast<uint32_t>(v + width) << 16 | static_cast<uint16_t>(node.child1);
                nextCount += node.child1 >= SymbolCount;
            }
        }
        uint32_t* t = now;
        now = next;
        next = t;
        count = nextCount;
    }
}
#else
// The whole shortcut table, walked down from the root: every node at depth FastBits,
// and every leaf above it, owns the table entries whose low bits are its code.
void FillFastTable(HuffmanModel& model) {
    struct Step {
        int16_t node;
        int16_t depth;
        int32_t code;
    };
    Step stack[FastBits + 1];
    int top = 0;
    Step at = {static_cast<int16_t>(RootNode), 0, 0};
    for (;;) {
        // An internal node above the table's depth: its children one level down.
        const HuffmanNode& node = model.nodes[at.node];
        int depth = at.depth + 1;
        int step = 1 << depth;
        int codes[2] = {at.code, at.code | 1 << at.depth};
        int children[2] = {node.child0, node.child1};
        bool pushed = false;
        for (int c = 1; c >= 0; --c) {
            int child = children[c];
            if (child >= SymbolCount && depth < FastBits) {
                if (pushed) stack[top++] = at;
                at = {static_cast<int16_t>(child), static_cast<int16_t>(depth), codes[c]};
                pushed = true;
                continue;
            }
            uint16_t entry = static_cast<uint16_t>(child | depth << FastNodeBits);
            for (int v = codes[c]; v < FastSize; v += step) model.fast[v] = entry;
        }
        if (!pushed) {
            if (top == 0) break;
            at = stack[--top];
        }
    }
}

#endif

uint16_t FillFastEntry(HuffmanModel& model, uint32_t bits) {
    int node = RootNode;
    int depth = 0;
    while (node >= SymbolCount && depth < FastBits) node = (&model.nodes[node].child0)[bits >> depth++ & 1];
    uint16_t entry = static_cast<uint16_t>(node | depth << FastNodeBits);
    for (uint32_t v = bits & ((1u << depth) - 1); v < FastSize; v += 1u << depth) model.fast[v] = entry;
    return entry;
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

// The plain walk, a bit at a time from the root; the body decoder has its own faster one.
int DecodeSymbol(const HuffmanModel& model) {
    int node = model.list[0];
    while (model.nodes[node].child0 != NoChild) node = (&model.nodes[node].child0)[ReadBit()];
    return model.nodes[node].symbol;
}
