// The extraction loop over the entry stream.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

// Set by the progress window's Cancel button and by a Cancel answer to the overwrite
// question; volatile because window procedures set it from inside the decoding loop.
extern volatile uint8_t CancelRequested;

// Longest stored name, in bytes; a longer one is taken for damage.
constexpr size_t NameCapacity = 0x8000;
// Largest file length the decoder accepts: its window positions stay within 32 bits.
constexpr int32_t MaxFileSize = 0x7FFF0000;

extern char previousName[NameCapacity];

// What a front end without windows learns of each entry (the stub sets no observer).
struct EntryEvent {
    const char* name;  // as stored, code page 932
    const char* path;  // destination followed by the name
    bool isFolder;
    bool decoded;      // false: the record was just read; true: the body is decoded
    FileTime creation, access, write;
    int32_t fileSize;
    int reference;     // ring distance r, 1 to 255
    int32_t prefix;    // L
};
// Called when a record has been read (decoded false) and after a file's body (decoded
// true). Its answer to the first call selects the entry: an entry not selected is
// decoded as if skipped, with nothing created or asked for it.
extern bool (*EntryObserver)(const EntryEvent& entry);

// When set, nothing is created, written or asked: every file is decoded as if it were
// skipped, which tests and lists an archive.
extern bool DecodeOnly;

// How many bytes of the stream the last name took, marker and zero byte included.
extern size_t StoredNameBytes;

// Reads one name, resolving the shared-prefix marker against previousName.
void ReadEntryName(char* name);

// True when a stored name would lead outside the destination folder.
bool NameLeavesDestination(const char* name);

// Extracts every entry into `targetFolder`, which ends with a backslash.
void ExtractEntries(const char* targetFolder);
