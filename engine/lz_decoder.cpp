#include "engine/lz_decoder.h"

#include "container/block_stream.h"
#include "container/fatal.h"
#include "engine/extract.h"
#include "engine/huffman.h"
#include "fsutil/text.h"

FileSlot RecentFileSlots[SlotCount];
int currentSlot;
OutputWindowState OutputWindow;

namespace {

HuffmanModel LiteralModel;
HuffmanModel DistanceModel;

// Every body starts from the same two trees, so they are built once and copied.
HuffmanModel LiteralStart;
HuffmanModel DistanceStart;
bool StartsBuilt;

void StartModels() {
    if (!StartsBuilt) {
        InitModel(LiteralStart, LiteralInitialCounts);
        BuildTree(LiteralStart);
        InitModel(DistanceStart, DistanceInitialCounts);
        BuildTree(DistanceStart);
        StartsBuilt = true;
    }
    CopyModel(LiteralModel, LiteralStart);
    CopyModel(DistanceModel, DistanceStart);
}

void WriteOut(const uint8_t* bytes, int32_t n) {
    if (n > 0 && !PlatWrite(OutputWindow.file, bytes, static_cast<uint32_t>(n))) WriteFailure();
}

inline void PutByte(uint8_t b) {
    OutputWindowState& w = OutputWindow;
    if (w.position - w.base == OutputBufferSize) {
        if (!w.skip) WriteOut(w.buffer + w.unwritten, OutputChunk - w.unwritten);
        w.unwritten = 0;
        CopyBytes(w.buffer, w.buffer + OutputChunk, OutputBufferSize - OutputChunk);
        w.base += OutputChunk;
    }
    w.buffer[w.position - w.base] = b;
    int32_t offset = w.position - w.history + w.prefix;
    if (offset < SlotCapacity) RecentFileSlots[currentSlot].data[offset] = b;
    ++w.position;
}

// Copies a match byte by byte, so that a distance shorter than the length repeats the
// last bytes. Most matches fit in the buffer without a slide and are copied in one run.
void CopyMatch(int32_t length, int32_t distance) {
    OutputWindowState& w = OutputWindow;
    int32_t at = w.position - w.base;
    if (length > OutputBufferSize - at) {
        for (int32_t i = 0; i < length; ++i) PutByte(w.buffer[w.position - distance - w.base]);
        return;
    }
    uint8_t* out = w.buffer + at;
    const uint8_t* from = out - distance;
    for (int32_t i = 0; i < length; ++i) out[i] = from[i];
    int32_t offset = w.position - w.history + w.prefix;
    if (offset < SlotCapacity) {
        int32_t kept = SlotCapacity - offset < length ? SlotCapacity - offset : length;
        CopyBytes(RecentFileSlots[currentSlot].data + offset, out, static_cast<size_t>(kept));
    }
    w.position += length;
}

void FlushOutput() {
    OutputWindowState& w = OutputWindow;
    if (w.position > w.base) WriteOut(w.buffer + w.unwritten, w.position - w.base - w.unwritten);
}

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

    StartModels();
    Bits.used = 0;

    const int32_t target = fileSize - prefix;
    int32_t produced = 0;
    int32_t symbolsDecoded = 0;
    int32_t matchesDecoded = 0;
    while (produced < target && !CancelRequested) {
        if (LiteralRebuildDue(symbolsDecoded)) {
            // The first tree of a body is the prebuilt one: the same counts give the same tree.
            if (symbolsDecoded != 0) BuildTree(LiteralModel);
            PlatPumpOneMessage();
        }
        int s = DecodeSymbol(LiteralModel);
        ++LiteralModel.frequency[s];
        if (s < 256) {
            PutByte(static_cast<uint8_t>(s));
            ++produced;
        } else {
            int32_t length = s < 511 ? s - 254 : 257 + static_cast<int32_t>(ReadBits(12));
            int d = DecodeSymbol(DistanceModel);
            ++DistanceModel.frequency[d];
            int32_t distance = 32 * d + 1 + static_cast<int32_t>(ReadBits(5));
            // No match may reach in front of the first history byte, nor run past the
            // length the record gives the file.
            if (distance > w.position || length > target - produced) CorruptArchive();
            CopyMatch(length, distance);
            produced += length;
            ++matchesDecoded;
            if (DistanceRebuildDue(matchesDecoded)) BuildTree(DistanceModel);
        }
        ++symbolsDecoded;
    }
    if (!skip) FlushOutput();
}
