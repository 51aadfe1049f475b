// The program file and its archive header: the executable image of StubSize bytes,
// then the header, then the blocks of the first volume.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

constexpr int32_t StubSize = 0x7000;
// Room for any path the core builds (destination plus stored name); the longest stored
// name is a little under half of it.
constexpr int PathCapacity = 0x10000;

// A string of the archive header, read up to its zero byte; its length is taken from
// the data, so it has no limit but memory.
struct HeaderString {
    char* text;  // NUL-terminated, never null after OpenArchive
    size_t length;
};

struct ArchiveHeaderRecord {
    uint32_t RecordedSize;        // the size the first volume must have
    HeaderString VolumeBaseName;  // base of the volume file names
    double IdentityStamp;         // repeated at the start of every further volume
    HeaderString RunAfter;        // opened after a finished extraction; empty for none
};

enum ArchiveState { ArchiveReady, BareProgram };

extern char ProgramPath[PathCapacity];  // the running program's own file
extern uint8_t StubImage[StubSize];
extern ArchiveHeaderRecord ArchiveHeader;
extern PlatFile ArchiveFile;

// Opens ProgramPath, tests its size against the recorded size and reads the header,
// leaving the file at the first block. Ends the process on failure (a size message
// ends it with code 0).
ArchiveState OpenArchive();

// Reads bytes up to and including a zero byte from ArchiveFile into `out`, giving back
// what `out` held before.
void ReadHeaderString(HeaderString& out);
