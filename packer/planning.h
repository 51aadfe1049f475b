// Planning, the sequential part of packing: in archive order, each file's first bytes
// go into the ring the decoder will keep, and the earlier files worth trying as its
// reference are named. Nothing here depends on compressed output, so the bodies can
// then be encoded in any order, on any number of threads, with the same result.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "packer/reference_ring.h"
#include "packer/source_tree.h"


// Files up to this size are read whole while planning; larger ones are read again,
// in chunks, by the encoder.
constexpr uint64_t WholeFileLimit = 256 * 1024;
// What the reference choice reads of a file: a slot's worth of possible prefix and a
// window after it.
constexpr size_t HeadBytes = SlotCapacity + WindowSize;

// Within each folder, puts every file behind the one it resembles most (shared samples
// of their first bytes), starting with the first by name: similar files then stand
// next to each other, where the reference choice finds them and the history of the
// previous file helps. Folders keep their place, so names still share their folder
// part. Throws PackError when a file cannot be read.
void OrderBySimilarity(std::vector<SourceEntry>& entries);
// The same for one run of files (the files of a folder, up to 1,024 at a time), the
// one that starts at `first`; returns where it ends. A folder or an empty file is a run
// of its own. Runs are told apart by names and sizes alone, so ordering them one at a
// time, just before they are planned, gives the same order.
// What it learnt of each file is left in `seen`, by the file's place in the run, so
// that planning need not read or sample it again (empty when the run was too short to
// order).
struct SeenFile {
    std::vector<uint8_t> whole;     // the file, when it was read whole (up to KeptReadBytes a run)
    std::vector<uint32_t> samples;  // Samples of its first WindowSize bytes
};
size_t OrderRunBySimilarity(std::vector<SourceEntry>& entries, size_t first, std::vector<SeenFile>& seen);
constexpr size_t KeptReadBytes = 8 << 20;

struct FilePlan {
    size_t entry = 0;          // index of the file among the packed entries
    int64_t number = 0;        // its number in the ring (ReferenceRing::Next when planned)
    uint64_t size = 0;
    std::vector<uint8_t> head; // the whole file up to WholeFileLimit, else its first HeadBytes
    std::vector<ReferenceChoice> candidates;  // r = 1 always among them

    bool Whole() const { return head.size() == size; }
};

class Planner {
public:
    Planner(const uint8_t* stubImage, int level) : ring_(stubImage), level_(level) {}

    // OrderRunBySimilarity, keeping what it learnt of the files for Plan.
    size_t OrderRun(std::vector<SourceEntry>& entries, size_t first);
    // Reads the file's first bytes (throws PackError) unless the run's ordering read it
    // whole, names its candidates and puts it into the ring.
    FilePlan Plan(const SourceEntry& entry, size_t index);

    const ReferenceRing& Ring() const { return ring_; }

private:
    ReferenceRing ring_;
    int level_;
    size_t runFirst_ = 0;         // the run OrderRun ordered last
    std::vector<SeenFile> seen_;  // and its files
};

// Picks among the plan's candidates by compressing the first part of the file against
// each one's history with a quick level; the prefix is free, its two bytes are not.
// Reads only files of the ring kept for the plan, so it may run on any thread while
// planning goes on.
// `chains` and `scratch` are the caller's working storage.
ReferenceChoice ChooseReference(const FilePlan& plan, const ReferenceRing& ring, int level, FileChains& chains,
                                std::vector<uint8_t>& scratch);
// The `keep` candidates that compress best by the same trials, best first.
std::vector<ReferenceChoice> RankReferences(const FilePlan& plan, const ReferenceRing& ring, int level,
                                            FileChains& chains, std::vector<uint8_t>& scratch, size_t keep);

// The window the decoder will hold: the primed history, then the file after its prefix
// up to byte `limit` of the file (`data` holds at least that much).
void WindowFor(const FileSlot& reference, const ReferenceChoice& choice, const uint8_t* data, int32_t limit,
               std::vector<uint8_t>& window, int32_t* history);
