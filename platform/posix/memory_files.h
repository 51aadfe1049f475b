// Files served from memory: a core path can stand for a buffer instead of a file on
// disk, so that the fuzz targets run archives without touching the file system. Such a
// file is opened, read, sized, positioned and closed through the usual seam calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

// The buffer must outlive every open of it; serving a path again replaces it.
void PosixServeMemoryFile(const std::string& corePath, const uint8_t* data, size_t size);
void PosixClearMemoryFiles();

// The seam's side: each answers false when the path or file is not served from memory.
bool MemoryFileOpen(const char* corePath, PlatFile* file);
bool IsMemoryFile(PlatFile file);
bool MemoryFileRead(PlatFile file, void* buffer, uint32_t n, uint32_t* got);
bool MemoryFileSize(PlatFile file, int64_t* size);
bool MemoryFilePosition(PlatFile file, int64_t* position);
bool MemoryFileSeek(PlatFile file, int64_t position);
bool MemoryFileClose(PlatFile file);
