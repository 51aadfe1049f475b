// The extraction loop over the entry stream.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Set by the progress window's Cancel button and by a Cancel answer to the overwrite
// question; volatile because window procedures set it from inside the decoding loop.
extern volatile uint8_t CancelRequested;

// Longest stored name, in bytes; a longer one is taken for damage.
constexpr size_t NameCapacity = 0x8000;
// Largest file length the decoder accepts: its window positions stay within 32 bits.
constexpr int32_t MaxFileSize = 0x7FFF0000;

extern char previousName[NameCapacity];

// Reads one name, resolving the shared-prefix marker against previousName.
void ReadEntryName(char* name);

// True when a stored name would lead outside the destination folder.
bool NameLeavesDestination(const char* name);

// Extracts every entry into `targetFolder`, which ends with a backslash.
void ExtractEntries(const char* targetFolder);
