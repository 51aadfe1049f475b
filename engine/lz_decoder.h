// LZ decoding of one file body, primed from an earlier file of the ring.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

constexpr int32_t SlotCapacity = 0x6000;   // bytes kept of each recent file
constexpr int SlotCount = 256;
constexpr int32_t WindowSize = 0x4000;      // farthest match distance
constexpr int32_t HistoryAfterPrefix = 0x3C00;
constexpr int32_t OutputBufferSize = 0xC000;
constexpr int32_t OutputChunk = 0x8000;

struct FileSlot {
    int32_t size;  // valid bytes of data, at most SlotCapacity
    uint8_t data[SlotCapacity];
};

extern FileSlot RecentFileSlots[SlotCount];
#ifndef DADUVIVU_COMPACT_CORE
constexpr size_t RingAlignment = 2 * 1024 * 1024;  // a large page of x86-64 and arm64 systems
#endif
extern int currentSlot;

struct OutputWindowState {
    uint8_t buffer[OutputBufferSize];
    int32_t position;   // window position of the next byte, history counted first
    int32_t base;       // window position held by buffer[0]
    int32_t unwritten;  // buffer index from which bytes are still to be written
    int32_t history;    // length of the primed history
    int32_t prefix;     // L, the bytes copied from the reference before decoding
    bool skip;          // decode without writing
    PlatFile file;
};

extern OutputWindowState OutputWindow;

// Fills the window's history from the reference slot for a prefix of `prefix` bytes.
void PrimeHistory(const FileSlot& reference, int32_t prefix);

// Watches the trees of every body (tests replay the builds with it): called with
// nullptr when a body starts, then with each model just rebuilt; `tree` is 0 for the
// literal/length model and 1 for the distance model.
struct HuffmanModel;
extern void (*TreeObserver)(int tree, const HuffmanModel* model);

// Decodes one body of `fileSize` bytes (prefix included) with reference distance r
// (1 to 255) and prefix length L into `file`, unless `skip` is set.
void DecodeFileBody(int32_t fileSize, int r, int32_t prefix, bool skip, PlatFile file);
