// Reading one source file in pieces, with the checks that tell a file that changed
// while it was being packed.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "packer/source_tree.h"

class SourceReader {
public:
    // Opens the file and, when `from` is not 0, goes to that offset; throws PackError.
    SourceReader(const SourceEntry& entry, uint64_t from = 0);
    ~SourceReader();
    SourceReader(const SourceReader&) = delete;
    SourceReader& operator=(const SourceReader&) = delete;

    // Fills `buffer` with the next `n` bytes; throws PackError when the file ends first.
    void Read(uint8_t* buffer, size_t n);
    // After the last byte: throws PackError when the file goes on.
    void ExpectEnd();

private:
    size_t ReadSome(uint8_t* buffer, size_t n);
    [[noreturn]] void ChangedSize() const;

    const SourceEntry& entry_;
    int fd_ = -1;
};

// The first `n` bytes of the file (all of it when it is no longer); when they are the
// whole file, the end is checked too.
std::vector<uint8_t> ReadHead(const SourceEntry& entry, size_t n);
