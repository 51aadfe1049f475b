// A first look at a file before the core opens it: does anything behind the program
// image look like an archive header at all? A foreign program or a random file then
// gets "not a Daduvivu archive" instead of a size complaint about a size it never had.
#pragma once

#include <cstdint>
#include <string>

struct ProbeResult {
    bool archive = true;   // false: no archive header can be behind the image
    std::string why;       // for people: what rules the header out
};

// `size` is the file's size in bytes. A header that holds together but records another
// size is still an archive (altered or cut short), and so is a bare program image.
ProbeResult ProbeArchive(const std::string& path, uint64_t size);
