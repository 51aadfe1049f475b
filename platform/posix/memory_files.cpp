#include "platform/posix/memory_files.h"

#include <cstring>
#include <map>
#include <vector>

namespace {

struct Served {
    const uint8_t* data;
    size_t size;
};

struct OpenFile {
    bool open;
    Served file;
    size_t position;
};

// Far above any descriptor, so that the two kinds of file never meet.
constexpr PlatFile FirstHandle = PlatFile{1} << 30;

std::map<std::string, Served> Paths;
std::vector<OpenFile> Opened;

OpenFile* Find(PlatFile file) {
    if (file < FirstHandle) return nullptr;
    size_t index = static_cast<size_t>(file - FirstHandle);
    return index < Opened.size() && Opened[index].open ? &Opened[index] : nullptr;
}

}  // namespace

void PosixServeMemoryFile(const std::string& corePath, const uint8_t* data, size_t size) {
    Paths[corePath] = {data, size};
}

void PosixClearMemoryFiles() {
    Paths.clear();
    Opened.clear();
}

bool MemoryFileOpen(const char* corePath, PlatFile* file) {
    if (Paths.empty()) return false;
    auto found = Paths.find(corePath);
    if (found == Paths.end()) return false;
    size_t index = 0;
    while (index < Opened.size() && Opened[index].open) ++index;
    if (index == Opened.size()) Opened.push_back({});
    Opened[index] = {true, found->second, 0};
    *file = FirstHandle + static_cast<PlatFile>(index);
    return true;
}

bool IsMemoryFile(PlatFile file) { return file >= FirstHandle; }

bool MemoryFileRead(PlatFile file, void* buffer, uint32_t n, uint32_t* got) {
    *got = 0;
    OpenFile* f = Find(file);
    if (f == nullptr) return false;
    size_t left = f->position < f->file.size ? f->file.size - f->position : 0;
    size_t take = n < left ? n : left;
    if (take > 0) std::memcpy(buffer, f->file.data + f->position, take);
    f->position += take;
    *got = static_cast<uint32_t>(take);
    return true;
}

bool MemoryFileSize(PlatFile file, int64_t* size) {
    OpenFile* f = Find(file);
    if (f == nullptr) return false;
    *size = static_cast<int64_t>(f->file.size);
    return true;
}

bool MemoryFilePosition(PlatFile file, int64_t* position) {
    OpenFile* f = Find(file);
    if (f == nullptr) return false;
    *position = static_cast<int64_t>(f->position);
    return true;
}

bool MemoryFileSeek(PlatFile file, int64_t position) {
    OpenFile* f = Find(file);
    if (f == nullptr || position < 0) return false;
    f->position = static_cast<size_t>(position);
    return true;
}

bool MemoryFileClose(PlatFile file) {
    OpenFile* f = Find(file);
    if (f == nullptr) return false;
    f->open = false;
    return true;
}
