#include "platform/posix/posix_destination.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/extract.h"
#include "platform/posix/codepage.h"
#include "platform/posix/deferred_writes.h"
#include "platform/posix/posix_platform.h"

namespace {

// A tree thousands of levels deep keeps the handles of its outer levels and of the
// deepest one only, and walks again from the nearest kept one when it climbs back.
constexpr size_t HeldLevels = 64;

struct Level {
    size_t end;  // where the element ends in Walk::path
    int fd;      // a handle on the folder, or -1 when not kept
};

// The folder reached last: the code page 932 bytes of its path below the drive's folder
// (up to the end of its last element) and a handle on each folder along it.
struct Walk {
    char letter = 0;
    int root = -1;
    std::string path;
    std::vector<Level> levels;
};
// Each thread walks with handles of its own: the writer thread of deferred writes
// (deferred_writes.cpp) names files while the decoding thread looks names up.
thread_local Walk Last;

struct Output {
    int fd;
    std::string path;  // the core's path of the final name
    std::string temp;  // the name it is written under, in the same folder
    bool timesSet;
};
std::vector<Output> Writing;
// Final names whose file was closed incomplete and is already removed: the delete the
// core asks for next must not reach an older file of that name.
std::vector<std::string> Abandoned;
std::atomic<unsigned> TempCounter{0};
// Folders this run made, and the names it gave in them since: such a folder started
// empty, so a name in it exists exactly when the run gave it, and is looked up without
// asking the system. Only plain paths are kept (ASCII, no empty or "." element), whose
// native names follow from their bytes one to one; others are looked up as usual.
std::unordered_set<std::string> MadeFolders;
std::unordered_map<std::string, bool> MadeNames;  // path: whether a folder
pid_t OwnProcess = 0;  // asked again whenever the drives are mapped, as after a fork

// A core path below a mapped drive, split into its folder and its last element.
struct Target {
    const std::string* driveFolder;
    const char* rel;      // the part below the drive's folder
    size_t folderLength;  // up to the end of the folder's last element
    const char* leaf;     // what follows the last backslash
};

void CloseLevels(size_t keep) {
    while (Last.levels.size() > keep) {
        if (Last.levels.back().fd >= 0) close(Last.levels.back().fd);
        Last.levels.pop_back();
    }
    Last.path.resize(keep > 0 ? Last.levels[keep - 1].end : 0);
}

// The next character: a byte below 0x80 is one of its own in code page 932, and most
// names are made of such bytes.
inline const char* NextCharacter(const char* p) {
    return static_cast<unsigned char>(*p) - 1u < 0x7Fu ? p + 1 : PlatCharNext(p);
}

bool Parse(const char* path, Target& t) {
    if (path[0] == 0 || path[1] != ':') return false;
    t.driveFolder = PosixDriveFolder(path[0]);
    if (t.driveFolder == nullptr) return false;
    char letter = static_cast<char>(path[0] & ~0x20);
    if (Last.letter != letter) {
        CloseLevels(0);
        if (Last.root >= 0) close(Last.root);
        Last = Walk{};
        Last.letter = letter;
    }
    t.rel = path + 2;
    // A path that goes on below the folder reached last is scanned from there only: a
    // kept folder's end is always followed by a real separator, never by the trail
    // byte of a double-byte character.
    const char* scan = t.rel;
    const char* folderEnd = t.rel;
    size_t known = Last.path.size();
    if (known > 0 && std::strncmp(t.rel, Last.path.data(), known) == 0 && t.rel[known] == '\\') {
        folderEnd = t.rel + known;
        scan = folderEnd + 1;
    }
    const char* element = scan;
    for (const char* p = scan; *p != 0; p = NextCharacter(p)) {
        if (*p != '\\') continue;
        if (p > element) folderEnd = p;
        element = p + 1;
    }
    t.folderLength = static_cast<size_t>(folderEnd - t.rel);
    t.leaf = element;
    return true;
}

// A handle on the folder made of the first `length` bytes of `rel`, walked from the
// drive's folder without following links; -1 with errno set when some element is
// missing, no folder, a link, or "..".
int Reach(const Target& t) {
    const char* rel = t.rel;
    size_t length = t.folderLength;
    if (Last.root < 0) {
        Last.root = open(t.driveFolder->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (Last.root < 0) return -1;
    }
    size_t keep = Last.levels.size();
    size_t known = Last.path.size();
    bool alongKept = length >= known && std::memcmp(rel, Last.path.data(), known) == 0 &&
                     (length == known || rel[known] == '\\');
    if (!alongKept) {
        size_t common = 0;
        size_t limit = std::min(length, known);
        while (common < limit && rel[common] == Last.path[common]) ++common;
        while (keep > 0) {
            size_t end = Last.levels[keep - 1].end;
            if (end <= common && (end == length || rel[end] == '\\')) break;
            --keep;
        }
    }
    while (keep > 0 && Last.levels[keep - 1].fd < 0) --keep;
    CloseLevels(keep);

    int at = keep > 0 ? Last.levels[keep - 1].fd : Last.root;
    const char* end = rel + length;
    const char* element = rel + Last.path.size();
    for (const char* p = element;; p = PlatCharNext(p)) {
        if (p < end && *p != '\\') continue;
        if (p > element) {
            std::string name = Cp932ToUtf8(std::string_view(element, static_cast<size_t>(p - element)));
            if (name == "..") {
                errno = EACCES;
                return -1;
            }
            if (name != ".") {
                int fd = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (fd < 0) return -1;
                if (Last.levels.size() > HeldLevels) {
                    close(Last.levels.back().fd);
                    Last.levels.back().fd = -1;
                }
                size_t elementEnd = static_cast<size_t>(p - rel);
                Last.levels.push_back({elementEnd, fd});
                Last.path.append(rel + Last.path.size(), elementEnd - Last.path.size());
                at = fd;
            }
        }
        if (p >= end) break;
        element = p + 1;
    }
    return at;
}

// The last element as a native name; an empty one, "." and ".." name no file.
bool LeafName(const Target& t, std::string& name) {
    name = Cp932ToUtf8(t.leaf);
    if (name.empty() || name == "." || name == "..") {
        errno = EISDIR;
        return false;
    }
    return true;
}

// "X:" and elements behind backslashes, all ASCII, none empty, "." or "..".
bool Plain(const char* path) {
    const char* p = path + 2;
    if (*p != '\\') return false;
    for (;;) {
        const char* element = ++p;
        for (; *p != '\\' && *p != 0; ++p)
            if (static_cast<unsigned char>(*p) >= 0x80) return false;
        size_t n = static_cast<size_t>(p - element);
        if (n == 0 || (element[0] == '.' && (n == 1 || (n == 2 && element[1] == '.')))) return false;
        if (*p == 0) return true;
    }
}

// The folder part of a plain path, when this run made that folder.
bool InMadeFolder(const char* path, const Target& t) {
    return !MadeFolders.empty() && MadeFolders.count(std::string(path, 2 + t.folderLength)) != 0;
}

}  // namespace

void DestinationMade(const char* path, bool isFolder) {
    Target t;
    if (MadeFolders.empty() || !Parse(path, t) || !Plain(path) || !InMadeFolder(path, t)) return;
    MadeNames[path] = isFolder;
}

std::string DestinationTemporaryName(unsigned counter) {
    if (OwnProcess == 0) OwnProcess = getpid();
    return ".daduvivu\u00B7" + std::to_string(OwnProcess) + "\u00B7" + std::to_string(counter) + ".partial";
}

void DestinationCloseWalk() {
    CloseLevels(0);
    if (Last.root >= 0) close(Last.root);
    Last = Walk{};
}

void DestinationForget() {
    FinishDeferredWrites();
    for (const Output& o : Writing) {
        close(o.fd);
        Target t;
        if (Parse(o.path.c_str(), t)) {
            int folder = Reach(t);
            if (folder >= 0) unlinkat(folder, o.temp.c_str(), 0);
        }
    }
    Writing.clear();
    DestinationCloseWalk();
    Abandoned.clear();
    MadeFolders.clear();
    MadeNames.clear();
    OwnProcess = 0;
}

bool DestinationFindName(const char* path, bool* isFolder, bool* result) {
    // A folder along the kept walk is known to be a folder: no need to look again, nor
    // to scan the path (the core asks for every folder along a path, outermost first).
    if (Last.letter != 0 && path[0] != 0 && path[1] == ':' && static_cast<char>(path[0] & ~0x20) == Last.letter) {
        const char* rel = path + 2;
        size_t length = std::strlen(rel);
        if (length <= Last.path.size() && std::memcmp(rel, Last.path.data(), length) == 0 &&
            std::binary_search(Last.levels.begin(), Last.levels.end(), Level{length, -1},
                               [](const Level& a, const Level& b) { return a.end < b.end; })) {
            *isFolder = true;
            *result = true;
            return true;
        }
    }
    Target t;
    if (!Parse(path, t)) return false;
    *result = false;
    if (!MadeFolders.empty() && MadeFolders.count(path) != 0) {  // stays a folder: nothing deletes folders
        *isFolder = true;
        *result = true;
        return true;
    }
    if (InMadeFolder(path, t) && Plain(path)) {
        auto made = MadeNames.find(path);
        if (made != MadeNames.end()) {
            *isFolder = made->second;
            *result = true;
        }
        return true;
    }
    if (t.folderLength == 0 && *t.leaf == 0) {
        *isFolder = true;  // the drive's own folder
        *result = true;
        return true;
    }
    int folder = Reach(t);
    if (folder < 0) return true;
    if (*t.leaf == 0) {
        *isFolder = true;
        *result = true;
        return true;
    }
    std::string name = Cp932ToUtf8(t.leaf);
    struct stat st;
    if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
    // A link is never taken for what it points to: where a folder must be, it is in the way.
    *isFolder = S_ISDIR(st.st_mode);
    *result = true;
    return true;
}

bool DestinationCreateFolder(const char* path, bool* result) {
    Target t;
    if (!Parse(path, t)) return false;
    *result = false;
    std::string name;
    int folder = Reach(t);
    if (folder < 0 || !LeafName(t, name)) return true;
    *result = mkdirat(folder, name.c_str(), 0777) == 0;
    if (*result && Plain(path)) {
        DestinationMade(path, true);
        MadeFolders.insert(path);
    }
    return true;
}

static int DestinationOpenTemporary(const char* path, const std::string& temp) {
    Target t;
    std::string name;
    int folder = Parse(path, t) ? Reach(t) : -1;
    if (folder < 0 || !LeafName(t, name)) return -1;
    return openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

bool DestinationSettle(const char* path, const std::string& temp, bool keep) {
    Target t;
    std::string name;
    int folder = Parse(path, t) ? Reach(t) : -1;
    if (folder < 0 || !LeafName(t, name)) return false;
    if (keep && renameat(folder, temp.c_str(), folder, name.c_str()) == 0) return true;
    int saved = errno;
    unlinkat(folder, temp.c_str(), 0);
    errno = saved;
    return !keep;
}

int DestinationCreateTemporary(const char* path, std::string& temp) {
    for (int tries = 0; tries < 1000; ++tries) {
        temp = DestinationTemporaryName(TempCounter++);
        int fd = DestinationOpenTemporary(path, temp);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool DestinationCreateWrite(const char* path, PlatFile* result) {
    Target t;
    if (!Parse(path, t)) return false;
    *result = PlatNoFile;
    Abandoned.clear();
    if (DeferredCreateWrite(path, result)) return true;
    std::string temp;
    int fd = DestinationCreateTemporary(path, temp);
    if (fd >= 0) {
        Writing.push_back({fd, path, temp, false});
        *result = fd;
    }
    return true;
}

void DestinationTimesSet(PlatFile file) {
    for (Output& o : Writing)
        if (o.fd == file) o.timesSet = true;
}

bool DestinationClose(PlatFile file, bool* result) {
    auto found = std::find_if(Writing.begin(), Writing.end(), [&](const Output& o) { return o.fd == file; });
    if (found == Writing.end()) return false;
    Output o = std::move(*found);
    Writing.erase(found);
    bool closed = close(static_cast<int>(file)) == 0;
    int saved = errno;
    // The core sets a file's times only when its body is complete; a file closed
    // without them, or after a cancel, is abandoned and never takes its name.
    bool complete = closed && o.timesSet && CancelRequested == 0;
    if (DestinationSettle(o.path.c_str(), o.temp, complete) && complete) {
        DestinationMade(o.path.c_str(), false);
        *result = true;
        return true;
    }
    if (complete) saved = errno;
    DestinationAbandoned(o.path);
    errno = saved;
    *result = closed && !complete;
    return true;
}

void DestinationAbandoned(const std::string& path) { Abandoned.push_back(path); }

bool DestinationDelete(const char* path, bool* result) {
    Target t;
    if (!Parse(path, t)) return false;
    auto abandoned = std::find(Abandoned.begin(), Abandoned.end(), path);
    if (abandoned != Abandoned.end()) {
        Abandoned.erase(abandoned);
        *result = true;
        return true;
    }
    std::string name;
    int folder = Reach(t);
    *result = folder >= 0 && LeafName(t, name) && unlinkat(folder, name.c_str(), 0) == 0;
    if (*result) MadeNames.erase(path);
    return true;
}
