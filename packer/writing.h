// Writing, the last part of packing: the program file's head and, in archive order,
// the entry records with their bodies, through the volume writer.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "packer/encoding.h"
#include "packer/source_tree.h"
#include "packer/volume_writer.h"

struct ProgramHead {
    std::vector<uint8_t> bytes;  // stub, then the archive header
    size_t recordedSizeAt;       // where the archive's size goes once it is known
};

ProgramHead MakeProgramHead(const std::vector<uint8_t>& stub, const std::string& volumeBase, double stamp,
                            const std::string& message, const std::string& runAfter);

class EntryWriter {
public:
    // A reproducible archive keeps each file's last write time in place of its last
    // access time, which reading the files moves, and of its birth time, which a fresh
    // checkout of the same tree changes.
    EntryWriter(VolumeWriter& out, bool reproducible) : out_(out), reproducible_(reproducible) {}

    void Folder(const SourceEntry& folder);
    // Throws PackError when a spilled body cannot be read back.
    void File(const SourceEntry& file, EncodedBody& body);
    // The empty name that ends the entry stream.
    void End() { out_.Put(0); }

private:
    void Name(const std::string& name);

    VolumeWriter& out_;
    bool reproducible_;
    std::string previous_;
};
