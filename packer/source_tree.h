// What goes into an archive: the folders and files under the sources, with the names
// they are stored under (code page 932, backslashes) and their three times.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

struct SourceEntry {
    std::string nativePath;  // where to read it
    std::string name;        // as stored: code page 932, backslash-separated, relative
    bool folder = false;
    uint64_t size = 0;
    FileTime creation = 0, access = 0, write = 0;
    uint64_t device = 0, inode = 0;  // which file it is, links followed
};

// How the walk treats what it finds below the sources.
struct SourceRules {
    // Called with each name below a source, UTF-8 with '/' between folders and relative
    // to the source (a file source: its own name); true leaves it out, and a folder left
    // out leaves out everything in it.
    std::function<bool(const std::string& name, bool folder)> leaveOut;
    // Symbolic links are followed, as zip does; false skips each one.
    bool followLinks = true;
    // Told of each link skipped, and of each followed link that leads outside every source.
    std::function<void(const std::string& warning)> warn;
};

// Walks every source (a folder gives its contents, a file itself) and checks every name
// before anything is written; throws PackError naming every problem found at once.
std::vector<SourceEntry> CollectSources(const std::vector<std::string>& sources, const SourceRules& rules = {});

// Folders first (parents before children), then files by path, empty files last (they
// only use up slots of the ring). Files of one folder tend to resemble each other; on
// real trees (Python's library, CMake's modules) path order beat grouping by extension
// (by 0.1 % and 0.9 %), because the reference choice finds similar files anywhere in
// the 255 before, and names share longer prefixes.
void OrderEntries(std::vector<SourceEntry>& entries);

// Converts one name part (no separators) to code page 932; returns an empty string and
// sets `problem` when Windows could not hold it.
std::string StoredNamePart(const std::string& utf8, std::string* problem);

// A text for the archive header (UTF-8 in, code page 932 out); false when it has a
// character that code page 932 lacks or a NUL.
bool ToHeaderText(const std::string& utf8, std::string& cp932);
