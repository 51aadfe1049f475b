// A careful decoder for damaged archives: entry records and bodies are read from a
// buffer of payload bytes with every bound checked, failure is a result (never an exit),
// and every produced byte carries whether it is known exactly: bytes copied from a
// ring slot whose file was lost or damaged are not.
//
// It decodes what the engine decodes (the same models, schedules and window rules) but
// keeps none of the engine's global state, so it can try a body at any offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/lz_decoder.h"
#include "platform/platform.h"

// One slot of the ring as far as it is known.
struct SalvageSlot {
    int32_t size = 0;        // valid bytes, when sizeKnown
    bool sizeKnown = true;   // false: whose file this is, and so its size, is unknown
    uint8_t data[SlotCapacity];
    uint8_t known[SlotCapacity];  // 1 where data holds the file's byte exactly
};

enum class ReadOutcome { Done, OutOfData, Invalid };

struct EntryHeader {
    bool endMarker = false;   // the empty name that ends the entry stream
    bool shared = false;      // the name began with the shared-prefix marker
    size_t sharedCount = 0;   // bytes the marker asked for (before clipping)
    std::string suffix;       // the name's own bytes after the shared part
    std::string name;         // resolved against the previous name given
    bool isFolder = false;
    FileTime creation = 0, access = 0, write = 0;
    int32_t fileSize = 0;
    int reference = 1;        // r, 1 to 255
    int32_t prefix = 0;       // L
    size_t start = 0, bodyStart = 0;
};

// Reads the record at `at`; bytes [at, end) are available. `strict` also asks that the
// record look like one a packer writes (names of printable code page 932 characters,
// times between 1970 and 2200 or 0, a prefix no longer than the file): the test for an
// offset found by scanning. Without it only what the format itself forbids is refused.
ReadOutcome ReadEntryHeader(const uint8_t* bytes, size_t at, size_t end, const std::string& previousName,
                            bool strict, EntryHeader& header);

// Receives the bytes of a file as they are produced (prefix first), with 1 for each
// byte known exactly.
class BodySink {
public:
    virtual ~BodySink() = default;
    virtual void Put(const uint8_t* bytes, const uint8_t* known, size_t n) = 0;
};

struct BodyResult {
    ReadOutcome outcome = ReadOutcome::Invalid;
    size_t end = 0;             // the byte after the one holding the body's last bit
    int64_t length = 0;         // bytes of the file: prefix and produced
    int64_t unknownBytes = 0;   // of those, bytes not known exactly
    int32_t reach = 0;          // how far the matches reached into the history
    size_t consumed = 0;        // bytes of the body read, whatever the outcome
};

// Decodes the body of `header` from bytes [header.bodyStart, end), primed from
// `reference`, filling `current` (unless null) as the engine fills its slot and passing
// the file's bytes to `sink` (unless null). With neither, only the structure is decoded:
// no byte is produced, which makes a trial at a scanned offset cheap. Bytes produced
// from symbols that take bits from offset `trustedEnd` on are not known exactly.
BodyResult DecodeSalvageBody(const uint8_t* bytes, size_t end, const EntryHeader& header,
                             const SalvageSlot& reference, SalvageSlot* current, BodySink* sink,
                             size_t trustedEnd = SIZE_MAX);

// The history the engine primes for a reference of `size` bytes and a prefix of L.
void SalvageHistory(int32_t size, int32_t prefix, int32_t* start, int32_t* length);
