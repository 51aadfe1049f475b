// The archive producer behind `daduvivu pack`: walks the sources, compresses every file
// and writes the self-extracting program file (the stub, the archive header, the
// CRC'd blocks) and, when asked, its volume files.
#pragma once

#include <stdint.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "packer/pack_error.h"
#include "packer/source_tree.h"

constexpr int PackMinLevel = 1;
constexpr int PackMaxLevel = 9;
constexpr int PackDefaultLevel = 7;

// What a DOS-formatted 3.5-inch "1.44 MB" floppy holds for files: 2,847 clusters of
// 512 bytes (the raw disk is 1440k, but the file system takes its share).
constexpr uint64_t FloppyVolumeSize = 1457664;

struct PackOptions {
    // Files and folders to store. A folder contributes its contents (names relative to
    // the folder, the folder itself is not stored); a file is stored under its own name.
    std::vector<std::string> sources;
    std::string output;              // the program file to write (for example setup.exe)
    int level = PackDefaultLevel;    // 1 (fastest) to 9 (smallest)
    int threads = 0;                 // encoding threads; 0: one per core. The archive is the same for any number.
    std::string messageUtf8;         // the text shown in the dialog; any line breaks
    std::string runAfter;            // UTF-8 name opened after extraction; empty for none
    uint64_t volumeSize = 0;         // largest size of each volume file; 0: one file only
    std::string volumeBase;          // UTF-8; empty: the output's name without extension
    std::vector<uint8_t> stub;       // the 28,672-byte image in front; empty: the default
    std::optional<double> identityStamp;  // days since 1899-12-30; unset: SOURCE_DATE_EPOCH or now
    SourceRules rules;               // what to leave out, and how links are taken
    // Called now and then, always on the thread that called Pack, with the input bytes
    // compressed so far and their total; what it throws ends the packing.
    std::function<void(uint64_t done, uint64_t total)> progress;
};

struct PackResult {
    uint64_t files = 0;
    uint64_t folders = 0;
    uint64_t inputBytes = 0;                 // sum of the stored files' sizes
    std::vector<std::string> volumePaths;    // the program file first, then NAME_2.DAT, ...
    std::vector<uint64_t> volumeSizes;       // bytes of each, in the same order
    uint64_t outputBytes = 0;                // all volumes together
    double identityStamp = 0;
    bool placeholderStub = false;            // the default stub was the stand-in image
};

// Writes the archive. Throws PackError with a clear message on bad input (names that
// Windows or code page 932 cannot hold, missing sources, files of 2 GiB or more, ...)
// before anything is written, and on failures while writing, after removing what it
// wrote.
PackResult Pack(const PackOptions& options);

// Parses a volume size: a number of bytes with an optional suffix k (1,024 bytes),
// M (1,024 k) or G (1,024 M), in either case, optionally followed by B; fractions are
// allowed ("2.5M"). "floppy" and "1.44M", the floppy's label, mean FloppyVolumeSize,
// what such a disk really holds. Throws PackError on anything else.
uint64_t ParseVolumeSize(const std::string& text);

// The stub used when PackOptions::stub is empty, and whether it is the real Windows stub
// (false: a stand-in of the right size, good for tests but not for Windows).
const std::vector<uint8_t>& DefaultStubImage();
bool DefaultStubIsReal();
