#include "engine/lz_decoder.h"

#include "container/block_stream.h"
#include "container/fatal.h"
#include "engine/bit_buffer.h"
#include "engine/extract.h"
#include "engine/huffman.h"
#include "fsutil/text.h"

#ifndef DADUVIVU_COMPACT_CORE
// Aligned so that large pages can back the whole ring (see PlatHintLargePages).
alignas(RingAlignment) FileSlot RecentFileSlots[SlotCount];
#else
FileSlot RecentFileSlots[SlotCount];
#endif
int currentSlot;
OutputWindowState OutputWindow;
void (*TreeObserver)(int tree, const HuffmanModel* model);

namespace {

HuffmanModel LiteralModel;
HuffmanModel DistanceModel;

// Every body starts from the same two trees, built once. A body decodes with them until
// its own first rebuild, so only the counts and the order are set afresh per body.
HuffmanModel LiteralStart;
HuffmanModel DistanceStart;
bool StartsBuilt;

void StartModels() {
    if (!StartsBuilt) {
        InitModel(LiteralStart, LiteralInitialCounts);
        BuildTree(LiteralStart);
        FillFastTable(LiteralStart);
        InitModel(DistanceStart, DistanceInitialCounts);
        BuildTree(DistanceStart);
        FillFastTable(DistanceStart);
        InitModel(LiteralModel, LiteralInitialCounts);
        InitModel(DistanceModel, DistanceInitialCounts);
        StartsBuilt = true;
    }
#ifndef DADUVIVU_COMPACT_CORE
    // The order follows at each model's first rebuild (many bodies end before it).
    __builtin_memcpy(LiteralModel.frequency, LiteralStart.frequency, sizeof LiteralModel.frequency);
    __builtin_memcpy(DistanceModel.frequency, DistanceStart.frequency, sizeof DistanceModel.frequency);
#else
    CopyModelState(LiteralModel, LiteralStart);
    CopyModelState(DistanceModel, DistanceStart);
#endif
}

void WriteOut(const uint8_t* bytes, int32_t n) {
    if (n > 0 && !PlatWrite(OutputWindow.file, bytes, static_cast<uint32_t>(n))) WriteFailure();
}

// The current slot takes the first bytes of the file. The window holds every byte
// produced until its first slide, which comes only after the slot's share (at most
// 0x6000 - L bytes) is produced, so they are copied once: before that slide or at the end.
bool SlotFilled;

void FillSlot() {
    OutputWindowState& w = OutputWindow;
    if (SlotFilled) return;
    SlotFilled = true;
    int32_t produced = w.position - w.history;
    int32_t room = SlotCapacity - w.prefix;
    int32_t n = produced < room ? produced : room;
    if (n > 0) CopyBytes(RecentFileSlots[currentSlot].data + w.prefix, w.buffer + w.history, static_cast<size_t>(n));
}

// The buffer is full: write the oldest 0x8000 bytes and keep the last 0x4000.
void Slide() {
    OutputWindowState& w = OutputWindow;
    FillSlot();
    if (!w.skip) WriteOut(w.buffer + w.unwritten, OutputChunk - w.unwritten);
    w.unwritten = 0;
    CopyBytes(w.buffer, w.buffer + OutputChunk, OutputBufferSize - OutputChunk);
    w.base += OutputChunk;
}

// Appends a match near the end of the buffer, sliding where the buffer fills. Bytes go
// one at a time, so a distance shorter than the length repeats the last bytes.
void CopyMatchAcrossSlide(int32_t length, int32_t distance) {
    OutputWindowState& w = OutputWindow;
    while (length > 0) {
        if (w.position - w.base == OutputBufferSize) Slide();
        int32_t at = w.position - w.base;
        int32_t n = OutputBufferSize - at < length ? OutputBufferSize - at : length;
        uint8_t* out = w.buffer + at;
        const uint8_t* from = out - distance;
        for (int32_t i = 0; i < n; ++i) out[i] = from[i];
        w.position += n;
        length -= n;
    }
}

void FlushOutput() {
    OutputWindowState& w = OutputWindow;
    if (w.position > w.base) WriteOut(w.buffer + w.unwritten, w.position - w.base - w.unwritten);
}

constexpr int32_t MaxMatch = 4352;
// Far enough from the buffer's end for any match and the 8 bytes a copy may run over.
constexpr int32_t FastRoom = MaxMatch + 8;

int WalkCode(const HuffmanModel& tree, int node, BitBuffer& b) {
    while (node >= SymbolCount) {
        NeedBit(b);
        node = (&tree.nodes[node].child0)[TakeBits(b, 1)];
    }
    return node;  // leaf s is node s
}

// The shortcut takes up to FastBits bits at once when the block still holds them;
// longer codes, and codes at the end of a block, go on a bit at a time.
inline int DecodeBuffered(HuffmanModel& tree, BitBuffer& b) {
    if (b.count < FastBits) {
        RefillBits(b);
        if (b.count < FastBits) return WalkCode(tree, RootNode, b);
    }
    uint16_t entry = tree.fast[b.bits & (FastSize - 1)];
#ifdef DADUVIVU_COMPACT_CORE
    if (entry == 0) entry = FillFastEntry(tree, static_cast<uint32_t>(b.bits));  // filled as met
#endif
    int taken = FastTaken(entry);
    b.bits >>= taken;
    b.count -= taken;
    int node = FastNode(entry);
    if (node >= SymbolCount) node = WalkCode(tree, node, b);
    return node;
}

// Copies a match that ends at least 8 bytes before the buffer's end. From a distance
// of 8 or more, each 8-byte step reads only bytes already in place.
inline uint8_t* CopyMatch(uint8_t* out, int32_t length, int32_t distance) {
    const uint8_t* from = out - distance;
    if (distance >= 8) {
        uint8_t* end = out + length;
        do {
            uint64_t v;
            __builtin_memcpy(&v, from, 8);
            __builtin_memcpy(out, &v, 8);
            out += 8;
            from += 8;
        } while (out < end);
        return end;
    }
    for (int32_t i = 0; i < length; ++i) out[i] = from[i];
    return out + length;
}

#ifndef DADUVIVU_COMPACT_CORE
// Room the body decoder's match copy needs behind the match: it writes at least 16 bytes.
constexpr int32_t CopySlack = 16;

// CopyMatch with at least CopySlack bytes of room behind the match: from a distance of 8
// or more the first 16 bytes go without a test, which is the whole of most matches, so
// that the loop's end is not guessed at for every short one.
inline uint8_t* CopyMatchSlack(uint8_t* out, int32_t length, int32_t distance) {
    if (distance < 8) return CopyMatch(out, length, distance);
    const uint8_t* from = out - distance;
    uint64_t v[2];
    __builtin_memcpy(&v[0], from, 8);
    __builtin_memcpy(out, &v[0], 8);
    __builtin_memcpy(&v[1], from + 8, 8);
    __builtin_memcpy(out + 8, &v[1], 8);
    if (length > 16) CopyMatch(out + 16, length - 16, distance);
    return out + length;
}
#endif

}  // namespace

void PrimeHistory(const FileSlot& reference, int32_t prefix) {
    int32_t h = reference.size - prefix;
    if (h > HistoryAfterPrefix) h = HistoryAfterPrefix;
    int32_t t = WindowSize - h;
    if (t > prefix) t = prefix;
    OutputWindowState& w = OutputWindow;
    w.history = h + t;
    CopyBytes(w.buffer, reference.data + (prefix - t), static_cast<size_t>(w.history));
    w.position = w.history;
    w.base = 0;
    w.unwritten = w.history;
}

void DecodeFileBody(int32_t fileSize, int r, int32_t prefix, bool skip, PlatFile file) {
    FileSlot& slot = RecentFileSlots[currentSlot];
    const FileSlot& reference = RecentFileSlots[(currentSlot - r) & (SlotCount - 1)];
    // A prefix longer than the reference holds cannot come from a sound archive.
    if (prefix > reference.size) CorruptArchive();

    OutputWindowState& w = OutputWindow;
    w.skip = skip;
    w.file = file;
    w.prefix = prefix;
    slot.size = fileSize > SlotCapacity ? SlotCapacity : fileSize;
    if (!skip) WriteOut(reference.data, prefix);
    // The reference is never the current slot, so the two never overlap.
    CopyBytes(slot.data, reference.data, static_cast<size_t>(prefix));
    PrimeHistory(reference, prefix);
    SlotFilled = false;

    StartModels();
    if (TreeObserver) TreeObserver(0, nullptr);
    HuffmanModel* literalTree = &LiteralStart;
    HuffmanModel* distanceTree = &DistanceStart;
    Bits.used = 0;
    BitBuffer bits{0, 0};

    const int32_t target = fileSize - prefix;
    int32_t symbolsDecoded = 0;
    int32_t matchesDecoded = 0;
    // The window position of the next byte is base + (out - buffer); w.position is
    // brought up to date only where the slow paths need it.
    uint8_t* const buffer = w.buffer;
    uint8_t* out = buffer + (w.position - w.base);
#ifndef DADUVIVU_COMPACT_CORE
    // From one build of the literal/length tree to the next without looking at the
    // schedule: `budget` symbols, or until the body is complete. Cancel is looked at
    // where the window's messages are.
    uint8_t* const bufferEnd = buffer + OutputBufferSize;
    // The window position of buffer[0], kept here between slides (only they move it), and
    // how far into the buffer a match may end and still leave its copy the slack it needs.
    int32_t base = w.base;
    constexpr int32_t copyRoom = OutputBufferSize - CopySlack;
    int32_t remaining = target;
    int32_t matchesToBuild = 64;  // matches until the distance tree's next build
    while (remaining > 0) {
        if (symbolsDecoded != 0) {
            if (literalTree == &LiteralStart) CopyModelOrder(LiteralModel, LiteralStart);
            BuildTree(LiteralModel);
            // The whole table at once (the distance tree's too), even for a tree that
            // decodes only 256 symbols: a code at a time, each entry is a walk from the
            // root whose every step waits for the one before (CMake's tree: test
            // 43.5-45.4 -> 38.7-39.8 ms, Python's library 297-301 -> 281-286 ms).
            FillFastTable(LiteralModel);
            literalTree = &LiteralModel;
            if (TreeObserver) TreeObserver(0, literalTree);
        }
        PlatPumpOneMessage();
        if (CancelRequested) break;
        const int32_t budget = symbolsDecoded < 2048 ? 256 : 1024;
        int32_t left = budget;
        HuffmanModel& tree = *literalTree;
        int32_t* const counts = LiteralModel.frequency;
        do {
            int s = DecodeBuffered(tree, bits);
            counts[s] = WrappingSum(counts[s], 1);
            if (s < 256) {
                if (out == bufferEnd) {
                    w.position = base + static_cast<int32_t>(out - buffer);
                    Slide();
                    base = w.base;
                    out = buffer + (w.position - base);
                }
                *out++ = static_cast<uint8_t>(s);
                --remaining;
                continue;
            }
            int32_t length = s < 511 ? s - 254 : 257 + static_cast<int32_t>(ReadBufferedBits(bits, 12));
            int d = DecodeBuffered(*distanceTree, bits);
            DistanceModel.frequency[d] = WrappingSum(DistanceModel.frequency[d], 1);
            int32_t distance = 32 * d + 1 + static_cast<int32_t>(ReadBufferedBits(bits, 5));
            int32_t at = static_cast<int32_t>(out - buffer);
            if (distance > base + at || length > remaining) CorruptArchive();
            if (length <= copyRoom - at) {
                out = CopyMatchSlack(out, length, distance);
            } else {
                w.position = base + at;
                CopyMatchAcrossSlide(length, distance);
                base = w.base;
                out = buffer + (w.position - base);
            }
            remaining -= length;
            if (--matchesToBuild == 0) {
                matchesDecoded += matchesDecoded < 1024 ? 64 : 512;  // counted only here
                if (distanceTree == &DistanceStart) CopyModelOrder(DistanceModel, DistanceStart);
                BuildTree(DistanceModel);
                FillFastTable(DistanceModel);
                distanceTree = &DistanceModel;
                if (TreeObserver) TreeObserver(1, distanceTree);
                matchesToBuild = matchesDecoded < 1024 ? 64 : 512;
            }
        } while (--left != 0 && remaining > 0);
        symbolsDecoded += budget - left;
    }
#else
    uint8_t* const fastEnd = buffer + OutputBufferSize - FastRoom;
    int32_t produced = 0;
    while (produced < target && !CancelRequested) {
        if (LiteralRebuildDue(symbolsDecoded)) {
            // The first tree of a body is the prebuilt one: the same counts give the same tree.
            if (symbolsDecoded != 0) {
                BuildTree(LiteralModel);
                literalTree = &LiteralModel;
                if (TreeObserver) TreeObserver(0, literalTree);
            }
            PlatPumpOneMessage();
        }
        int s = DecodeBuffered(*literalTree, bits);
        LiteralModel.frequency[s] = WrappingSum(LiteralModel.frequency[s], 1);
        ++symbolsDecoded;
        if (s < 256) {
            if (out == buffer + OutputBufferSize) {
                w.position = w.base + static_cast<int32_t>(out - buffer);
                Slide();
                out = buffer + (w.position - w.base);
            }
            *out++ = static_cast<uint8_t>(s);
            ++produced;
            continue;
        }
        int32_t length = s < 511 ? s - 254 : 257 + static_cast<int32_t>(ReadBufferedBits(bits, 12));
        int d = DecodeBuffered(*distanceTree, bits);
        DistanceModel.frequency[d] = WrappingSum(DistanceModel.frequency[d], 1);
        int32_t distance = 32 * d + 1 + static_cast<int32_t>(ReadBufferedBits(bits, 5));
        int32_t at = static_cast<int32_t>(out - buffer);
        // No match may reach in front of the first history byte, nor make the file
        // longer than its record.
        if (distance > w.base + at || length > target - produced) CorruptArchive();
        if (out <= fastEnd) {
            out = CopyMatch(out, length, distance);
        } else {
            w.position = w.base + at;
            CopyMatchAcrossSlide(length, distance);
            out = buffer + (w.position - w.base);
        }
        produced += length;
        ++matchesDecoded;
        if (DistanceRebuildDue(matchesDecoded)) {
            BuildTree(DistanceModel);
            distanceTree = &DistanceModel;
            if (TreeObserver) TreeObserver(1, distanceTree);
        }
    }
#endif
    w.position = w.base + static_cast<int32_t>(out - buffer);
    ReturnUnusedBytes(bits);
    FillSlot();
    if (!skip) FlushOutput();
}
