// Destination folder utilities and path scanning. Paths are code page 932 byte
// strings; they are walked a character at a time, so the trail byte of a double-byte
// character is never taken for a backslash, even when it is 0x5C.
#pragma once

#include <stddef.h>

enum FolderState { FolderExists = 0, FolderMissing = 1, NotAFolder = 2 };

// Length of the prefix of `path` up to and including its last backslash; 0 when the
// path has none.
size_t DirectoryPart(const char* path);

// Canonical destination: empty becomes ".\", otherwise exactly one backslash is added
// unless the path already ends with one. Returns false if `out` is too small.
bool AddTrailingBackslash(const char* path, char* out, size_t capacity);

FolderState CheckDestination(const char* path);

// Creates every missing folder along `path` (which ends with a backslash, or is empty),
// outermost first. The result is 0 on success; otherwise it is the length of the
// prefix of `path` that could not be made or exists as something else.
size_t CreateFolderPath(const char* path);

// Reports the first `length` bytes of `folder` as a folder that cannot be made, closes
// the archive and ends the process with exit code 1.
[[noreturn]] void FatalFolderFailure(const char* folder, size_t length);
