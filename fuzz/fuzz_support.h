// What the fuzz targets share: the first input byte as switches, repairs that let
// mutated archives past the size test and the block checks (so that the fuzzer reaches
// the decoder and the entry loop, not only the checks), and one run of the core over
// archives served from memory, the way info, list and test read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct FuzzSwitches {
    bool repairSize;         // write the file's real size into RecordedSize
    bool repairBlocks;       // give every block its right check bytes
    bool repairVolumeHeads;  // give every volume file the archive's stamp and its number
    bool removable;          // the program lies on a removable drive (disk prompts)
};

FuzzSwitches ReadSwitches(uint8_t byte);

// The program file: the image the packer primes the first file with, then `tail`.
std::vector<uint8_t> ProgramWithTail(const uint8_t* tail, size_t size);

struct HeaderFields {
    size_t firstBlock = 0;  // 0: the header does not end inside the file
    std::string volumeBase;
    uint8_t stamp[8] = {};
};
HeaderFields ParseHeader(const std::vector<uint8_t>& program);

void RepairRecordedSize(std::vector<uint8_t>& program);
// Rewrites the check bytes of every block from `from` to the end of `file`.
void RepairBlocks(std::vector<uint8_t>& file, size_t from);

// The core path under which the program file is served, and that of volume n.
extern const char FuzzProgramPath[];
std::string FuzzVolumePath(const std::string& volumeBase, int number);

// Clears the core's and the seam's state (memory files included) for a new run.
void ResetForRun();

struct RunResult {
    int exitCode = 0;       // 0: the end marker was reached, or the bare program
    bool reachedEnd = false;
    uint64_t files = 0, folders = 0, bytes = 0;
};

// Opens the served program file, reads the header as info shows it, and decodes every
// entry without writing, naming each entry as list does.
RunResult RunServedArchive(bool removable);
