// Recovery of every entry that damage spared: the entry stream is decoded from the
// sound parts of the payload; after damage the next entry is found by scanning for an
// offset where a chain of records and bodies fits exactly, and decoding goes on from
// there with the ring slots of unknown files marked unknown.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/salvage_decoder.h"
#include "cli/salvage_payload.h"

enum class SalvageStatus { Exact, Unverified, Lost };

const char* StatusName(SalvageStatus status);

struct SalvagedEntry {
    int index = 0;             // 1-based among the entries found
    std::string rawName;       // code page 932 as resolved (a guessed shared prefix included)
    bool isFolder = false;
    bool nameCertain = true;   // false: it shares a prefix with a name that was lost
    SalvageStatus status = SalvageStatus::Exact;
    FileTime creation = 0, access = 0, write = 0;
    int64_t size = 0;          // as recorded
    int reference = 1;
    int32_t prefix = 0;
    uint64_t offset = 0;       // of its record in the gathered payload
    int64_t length = 0;        // bytes decoded (prefix included)
    int64_t unknownBytes = 0;  // of those, bytes taken from unknown or damaged files
    std::string reason;        // why it is not exact
    // What the status is made of (Settle).
    bool contentKnown = true;  // no byte came from an unknown or unverified file
    bool followedWell = true;  // the record behind it could be read
    bool timesCertain = true;  // no byte of its times is in doubt
    bool bodyLost = false;
    bool nameInDoubt = false;  // a byte of its own record's name is in doubt: no folder recovers it
    size_t sharedUnknown = 0;  // a lost name's first bytes that this name begins with
    std::string ownBytes;      // and the bytes of its own behind them
};

class SalvageOutput {
public:
    virtual ~SalvageOutput() = default;
    // A file is about to be decoded; its bytes go to the sink returned (null: nowhere).
    virtual BodySink* BeginFile(const SalvagedEntry&) { return nullptr; }
    // Asked before each entry: true stops the walk where it is.
    virtual bool Stopped() { return false; }
    // The body of the file last begun is decoded (or could not be).
    virtual void EndFile() {}
    // The entry's status is final (called for every entry, in order; entries whose names
    // hang on a lost name may come some entries after their bodies).
    virtual void Finish(const SalvagedEntry&) {}
};

struct SalvageResult {
    std::vector<SalvagedEntry> entries;
    std::vector<PayloadDamage> damage;  // the payload's and breaks of the format found in sound data
    bool endReached = false;            // the end marker was read
    bool stopped = false;               // the output asked to stop
    int resyncs = 0;                    // times decoding went on at a scanned offset
    int repairs = 0;                    // damaged blocks put right
    int ringsKept = 0;                  // gaps behind which the ring's place was recovered
};

SalvageResult SalvageEntries(const GatheredPayload& payload, SalvageOutput& output);
