// Packs trees made in a temporary folder and extracts them again with the core, which
// judges every archive the packer writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "packer/pack.h"

class PackTest : public ::testing::Test {
protected:
    TempFolder temp;
    std::string source = temp / "src";
    std::string program = temp / "setup.exe";

    PackTest();
    // Writes a file below the source folder, making its folders; `relative` is UTF-8.
    void MakeFile(const std::string& relative, const std::vector<uint8_t>& bytes, int64_t mtime = 1600000000);
    void MakeFolder(const std::string& relative);

    PackOptions Options(int level = PackDefaultLevel) const;
    PackResult PackSource(const PackOptions& options);
    // Extracts `program` into a fresh folder, expects exit code 0 and no message box,
    // and compares the result with the source tree (names, contents, last write times).
    void ExpectRestored();

public:
    // Pseudo-random bytes and text-like bytes, the same for the same seed.
    static std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed);
    static std::vector<uint8_t> TextBytes(size_t n, uint32_t seed);
};

// A file entry as the core decoded it from `programFile`, in archive order.
struct DecodedFile {
    std::string name;  // as stored, code page 932
    int reference;
    int32_t prefix;
};
std::vector<DecodedFile> DecodedFiles(const std::string& programFile);

// The archive's entry stream, read back from a single-volume program file.
std::vector<uint8_t> EntryStreamOf(const std::string& programFile);
