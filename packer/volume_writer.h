// The payload's way to disk: 4,096-byte blocks with their CRC-16 (high byte first),
// filling the program file and then, when a volume size is set, the volume files.
// Within a volume every block but the last is full, because the reader takes the
// block length from what is left of the file. Everything goes to temporary names
// first; Commit renames them, Abandon (or destruction without Commit) removes them.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

class VolumeWriter {
public:
    // `head` is the stub followed by the archive header, whose RecordedSize (the
    // 4 bytes at `recordedSizeAt`) is filled in at the end. Volume n (2, 3, ...) is
    // written to `volumePrefix` n ".DAT"; `volumeSize` 0 means a single file.
    VolumeWriter(const std::string& programPath, const std::vector<uint8_t>& head, size_t recordedSizeAt,
                 uint64_t volumeSize, double identityStamp, const std::string& volumePrefix);
    ~VolumeWriter();

    void Put(const uint8_t* bytes, size_t n);
    void Put(uint8_t byte) { Put(&byte, 1); }

    // Writes the last block, fills in RecordedSize and renames every file into place.
    void Commit();
    void Abandon();

    const std::vector<std::string>& Paths() const { return finalPaths_; }
    const std::vector<uint64_t>& Sizes() const { return sizes_; }

private:
    void OpenVolume(const std::string& path, const uint8_t* head, size_t n);
    void CloseVolume();
    uint64_t Room() const;
    void WriteBlock();
    void Write(const uint8_t* bytes, size_t n);

    uint64_t volumeSize_;
    double stamp_;
    std::string volumePrefix_;
    size_t recordedSizeAt_;
    std::vector<std::string> finalPaths_, tempPaths_;
    std::vector<uint64_t> sizes_;
    FILE* file_ = nullptr;
    uint64_t written_ = 0;  // bytes of the open volume so far
    std::vector<uint8_t> block_;
    size_t blockCapacity_ = 0;  // payload bytes the block being filled may take; 0: none open
    bool committed_ = false;
};
