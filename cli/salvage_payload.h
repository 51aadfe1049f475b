// The payload of a damaged archive, gathered from every volume that is present: each
// block's CRC decides whether its bytes can be trusted, and what is missing (a volume,
// the end of a cut file) is noted where it was lost.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PayloadPiece {
    uint64_t start = 0, length = 0;  // in the gathered payload
    bool sound = true;               // a block (or run of blocks) that passed its CRC
    int volume = 1;
    uint64_t fileOffset = 0;         // of its first block in the volume file
};

struct PayloadDamage {
    std::string kind;   // "block", "volume missing", "volume foreign", "cut", "size", "format"
    int volume = 0;
    uint64_t fileOffset = 0;
    uint64_t payloadOffset = 0;
    uint64_t length = 0;
    std::string detail;
};

// A block that failed its check, kept whole (check bytes too) for a repair.
struct DamagedBlock {
    uint64_t payloadOffset = 0;
    std::vector<uint8_t> raw;
    size_t damage = 0;  // its note in GatheredPayload::damage
};

struct GatheredPayload {
    std::vector<uint8_t> stub;           // the program file's image, which primes the first file
    std::vector<uint8_t> bytes;          // sound and damaged blocks alike, in order
    std::vector<PayloadPiece> pieces;    // runs of sound or of damaged blocks
    std::vector<PayloadDamage> damage;
    std::vector<DamagedBlock> damagedBlocks;
    std::vector<std::string> volumesRead;
    bool lastVolumeKnown = false;        // nothing is known to be missing at the end
    // The sound runs between which something is damaged or missing: [begin, end).
    std::vector<std::pair<uint64_t, uint64_t>> SoundRegions() const;
};

// Reads the program file `archive` and the volume files NAME_n.DAT in `volumeFolder`.
// False (with `error` set) when not even the header can be read.
bool GatherPayload(const std::string& archive, const std::string& volumeFolder, GatheredPayload& out,
                   std::string& error);
