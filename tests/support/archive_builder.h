// Hand-built archives for tests: stub, header, CRC'd blocks, volume files, entry
// records, and a small token encoder over the shared Huffman models.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

constexpr size_t TestStubSize = 0x7000;

// A deterministic 28,672-byte image standing in for the executable.
std::vector<uint8_t> TestStub();

// n bytes of i * step + (i >> shift): varied enough that bodies are long and matches rare.
std::vector<uint8_t> PatternBytes(size_t n, unsigned step, unsigned shift);

// Writes the program file's own size into its RecordedSize field.
void SetRecordedSize(std::vector<uint8_t>& program);

// The payload cut into blocks of up to 4,096 bytes, each with its CRC high byte first.
std::vector<uint8_t> Blocks(const std::vector<uint8_t>& payload);

struct ArchiveLayout {
    std::vector<uint8_t> stub = TestStub();
    std::string volumeBase;  // code page 932
    double stamp = 46000.25;
    std::string message;  // code page 932
    std::string runAfter;
    std::vector<uint8_t> payload;  // the entry stream
    // How many payload bytes each volume carries, the program file first; the last
    // volume takes the rest. Empty: everything in the program file.
    std::vector<size_t> volumeShares;
    // Overrides of what the files would otherwise say.
    bool setRecordedSize = false;
    uint32_t recordedSize = 0;
};

// Writes the program file at `path` and its volume files beside it; returns all paths.
std::vector<std::string> WriteArchive(const std::string& path, const ArchiveLayout& layout);

// One token of a body: a literal byte, or a match of `length` at `distance`.
struct Token {
    int length;    // 0 for a literal
    int value;     // the literal byte, or the distance
    static Token Literal(uint8_t b) { return {0, b}; }
    static Token Match(int length, int distance) { return {length, distance}; }
};

// Codes the tokens with fresh models exactly as the decoder reads them.
std::vector<uint8_t> EncodeTokens(const std::vector<Token>& tokens);
// All literals.
std::vector<uint8_t> EncodeLiterals(const std::vector<uint8_t>& bytes);

// Appends entry records to an entry stream.
struct EntryStream {
    std::vector<uint8_t> bytes;
    void Name(const std::string& cp932Name);
    void SharedName(uint8_t count, const std::string& rest);
    void Folder(const std::string& cp932Name) { Name(cp932Name + "\\."); }
    // A file record: name, times, length, reference (0 or r with prefix), body.
    void File(const std::string& cp932Name, int32_t fileSize, const std::vector<uint8_t>& body, int reference = 0,
              uint16_t prefix = 0, FileTime creation = 0x01D0000000000000ULL,
              FileTime access = 0x01D1000000000000ULL, FileTime write = 0x01D2000000000000ULL);
    // A file stored as literals only, primed but not prefixed.
    void LiteralFile(const std::string& cp932Name, const std::vector<uint8_t>& content);
    void End() { bytes.push_back(0); }
};
