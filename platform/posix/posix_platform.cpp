#include "platform/posix/posix_platform.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/posix/codepage.h"
#include "platform/posix/deferred_writes.h"
#include "platform/posix/posix_destination.h"
#include "platform/posix/memory_files.h"
#include "platform/posix/output_sink.h"

PosixHooks Hooks;
std::string PosixMessageText;
bool PosixExtractDisabled = false;

namespace {

std::map<char, std::string> Drives;
// The seam never seeks: a file opened for reading is where its reads left it, so the
// position of the one read last is known without asking the system.
int PositionFile = -1;
int64_t KnownPosition = 0;
// That file (the archive, or its current volume) is read ahead: the block stream asks
// for four kilobytes at a time, and on a virtual machine every system call costs a few
// microseconds. Its size is the one it had when opened, asked once instead of once a
// block. Ahead holds bytes [AheadAt, AheadEnd) that follow KnownPosition.
constexpr size_t AheadBytes = size_t{64} << 10;
uint8_t Ahead[AheadBytes];
size_t AheadAt = 0, AheadEnd = 0;
int64_t KnownSize = 0;

// Leaves the file's system position where its reads have got to, so that it can be read
// without the seam's help again.
void DropReadAhead() {
    if (PositionFile >= 0 && AheadAt < AheadEnd) lseek(PositionFile, KnownPosition, SEEK_SET);
    AheadAt = AheadEnd = 0;
}
// The file is no longer counted: the system is asked its position again.
void ForgetPositionFile() {
    AheadAt = AheadEnd = 0;
    PositionFile = -1;
}
std::map<std::string, std::string> Files;

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Seconds and nanoseconds of a Windows file time.
timespec ToTimespec(FileTime t) {
    constexpr int64_t EpochDifference = 116444736000000000LL;  // 1601 to 1970 in 100 ns
    int64_t ticks = static_cast<int64_t>(t) - EpochDifference;
    int64_t seconds = ticks / 10000000;
    int64_t rest = ticks % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --seconds;
    }
    timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>(rest * 100);
    return ts;
}

}  // namespace

void PosixMapDrive(char letter, const std::string& nativeFolder) {
    DestinationForget();
    Drives[Upper(letter)] = nativeFolder;
}
void PosixMapFile(const std::string& corePath, const std::string& nativeFile) { Files[corePath] = nativeFile; }
void PosixClearDrives() {
    DestinationForget();
    Drives.clear();
    Files.clear();
}

void PosixResetPlatform() {
    PosixClearDrives();
    PosixClearMemoryFiles();
    Hooks = PosixHooks{};
    PosixMessageText.clear();
    PosixExtractDisabled = false;
}

const std::string* PosixDriveFolder(char letter) {
    auto found = Drives.find(Upper(letter));
    return found == Drives.end() ? nullptr : &found->second;
}

std::string PosixNativePath(const char* path) {
    if (!Files.empty()) {
        auto file = Files.find(path);
        if (file != Files.end()) return file->second;
    }
    std::string head;
    const char* rest = path;
    if (path[0] != 0 && path[1] == ':') {
        auto found = Drives.find(Upper(path[0]));
        if (found != Drives.end()) {
            head = found->second;
            rest = path + 2;
            if (!head.empty() && head.back() == '/' && *rest == '\\') ++rest;
        }
    }
    // Split a character at a time, so that the trail byte 0x5C of a code page 932
    // character is never taken for a separator; and converted element by element, so
    // that a folder has the same native name in every path through it, whether or not
    // a later element holds a byte that must be escaped.
    std::string tail;
    // All ASCII (most paths): no character has a trail byte, no element changes.
    bool ascii = true;
    size_t length = 0;
    for (; rest[length] != 0; ++length) ascii &= static_cast<unsigned char>(rest[length]) < 0x80;
    if (ascii) {
        head.append(rest, length);
        for (size_t i = head.size() - length; i < head.size(); ++i)
            if (head[i] == '\\') head[i] = '/';
        return head;
    }
    const char* element = rest;
    for (const char* p = rest;; p = PlatCharNext(p)) {
        if (*p == '\\' || *p == 0) {
            tail += Cp932ToUtf8(std::string_view(element, static_cast<size_t>(p - element)));
            if (*p == 0) break;
            tail += '/';
            element = p + 1;
        }
    }
    return head + tail;
}

PlatFile PlatOpenRead(const char* path) {
    PlatFile served;
    if (MemoryFileOpen(path, &served)) return served;
    // Opened without waiting, so that a FIFO or a device in place of an archive or a
    // volume cannot hold the run: only a regular file is read.
    int fd = open(PosixNativePath(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return PlatNoFile;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, O_RDONLY) != 0) {
        close(fd);
        errno = EINVAL;
        return PlatNoFile;
    }
    DropReadAhead();
    PositionFile = fd;
    KnownPosition = 0;
    KnownSize = st.st_size;
    return fd;
}

PlatFile PlatCreateWrite(const char* path) {
    if (OutputSinkActive()) return SinkFile;
    PlatFile file;
    if (DestinationCreateWrite(path, &file)) return file;
    // A symbolic link in place of the file is never followed out of the destination.
    int fd = open(PosixNativePath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    return fd < 0 ? PlatNoFile : fd;
}

// Reads of the read-ahead file: from the bytes held, then a piece ahead, or straight
// into the caller's buffer when it wants a piece or more. A piece that fails to come is
// asked again as just the bytes wanted, so that a failure behind them is never reported
// before it is reached.
bool ReadAheadFile(int fd, uint8_t* at, uint32_t n, uint32_t* got) {
    while (*got < n) {
        if (AheadAt < AheadEnd) {
            size_t take = std::min<size_t>(AheadEnd - AheadAt, n - *got);
            std::memcpy(at + *got, Ahead + AheadAt, take);
            AheadAt += take;
            *got += static_cast<uint32_t>(take);
            continue;
        }
        bool piece = n - *got < AheadBytes;
        ssize_t r = piece ? read(fd, Ahead, AheadBytes) : read(fd, at + *got, n - *got);
        if (r < 0 && piece && errno != EINTR) {
            piece = false;
            r = read(fd, at + *got, n - *got);
        }
        if (r < 0) {
            if (errno == EINTR) continue;
            ForgetPositionFile();
            return false;
        }
        if (r == 0) break;
        if (piece) {
            AheadAt = 0;
            AheadEnd = static_cast<size_t>(r);
        } else {
            *got += static_cast<uint32_t>(r);
        }
    }
    KnownPosition += *got;
    return true;
}

bool PlatRead(PlatFile file, void* buffer, uint32_t n, uint32_t* got) {
    if (IsMemoryFile(file)) return MemoryFileRead(file, buffer, n, got);
    *got = 0;
    if (file == PlatNoFile) return false;
    if (file == PositionFile) return ReadAheadFile(PositionFile, static_cast<uint8_t*>(buffer), n, got);
    char* at = static_cast<char*>(buffer);
    while (*got < n) {
        ssize_t r = read(static_cast<int>(file), at + *got, n - *got);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) break;
        *got += static_cast<uint32_t>(r);
    }
    return true;
}

bool PlatWrite(PlatFile file, const void* buffer, uint32_t n) {
    if (file == SinkFile) return SinkWrite(buffer, n);
    if (IsDeferredFile(file)) return DeferredWrite(file, buffer, n);
    if (file == PlatNoFile) return false;
    const char* at = static_cast<const char*>(buffer);
    while (n > 0) {
        ssize_t w = write(static_cast<int>(file), at, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        at += w;
        n -= static_cast<uint32_t>(w);
    }
    return true;
}

bool PlatSize(PlatFile file, int64_t* size) {
    if (IsMemoryFile(file)) return MemoryFileSize(file, size);
    if (file == PositionFile) {
        *size = KnownSize;
        return true;
    }
    struct stat st;
    if (file == PlatNoFile || fstat(static_cast<int>(file), &st) != 0) return false;
    *size = st.st_size;
    return true;
}

bool PlatPosition(PlatFile file, int64_t* position) {
    if (IsMemoryFile(file)) return MemoryFilePosition(file, position);
    if (file == PlatNoFile) return false;
    if (file == PositionFile) {
        *position = KnownPosition;
        return true;
    }
    off_t at = lseek(static_cast<int>(file), 0, SEEK_CUR);
    if (at < 0) return false;
    *position = at;
    return true;
}

bool PlatSeek(PlatFile file, int64_t position) {
    if (IsMemoryFile(file)) return MemoryFileSeek(file, position);
    if (file == PlatNoFile || position < 0) return false;
    if (file == PositionFile) AheadAt = AheadEnd = 0;
    bool moved = lseek(static_cast<int>(file), position, SEEK_SET) == position;
    if (file == PositionFile) {
        if (moved) KnownPosition = position;
        else ForgetPositionFile();
    }
    return moved;
}

bool PlatSetTimes(PlatFile file, FileTime, FileTime access, FileTime write) {
    if (file == SinkFile) return true;
    if (file == PlatNoFile) return false;
    timespec times[2] = {ToTimespec(access), ToTimespec(write)};
    if (IsDeferredFile(file)) {
        DeferredSetTimes(file, times);
        return true;
    }
    if (futimens(static_cast<int>(file), times) != 0) return false;
    DestinationTimesSet(file);
    return true;
}

bool PlatClose(PlatFile file) {
    if (file == SinkFile) return true;
    if (IsMemoryFile(file)) return MemoryFileClose(file);
    if (IsDeferredFile(file)) return DeferredClose(file);
    if (file == PositionFile) ForgetPositionFile();
    bool closed;
    if (DestinationClose(file, &closed)) return closed;
    return file != PlatNoFile && close(static_cast<int>(file)) == 0;
}

bool PlatDelete(const char* path) {
    if (OutputSinkActive()) return true;  // what was sent cannot be called back
    DeferredWaitFor(path);
    bool deleted;
    if (DestinationDelete(path, &deleted)) return deleted;
    return unlink(PosixNativePath(path).c_str()) == 0;
}

bool PlatFindName(const char* path, bool* isFolder) {
    if (OutputSinkActive()) return false;
    DeferredWaitFor(path);
    bool found;
    if (DestinationFindName(path, isFolder, &found)) return found;
    std::string native = PosixNativePath(path);
    struct stat st;
    if (native.empty() || lstat(native.c_str(), &st) != 0) return false;
    // A link to a folder that was already in the destination counts as that folder.
    struct stat target;
    *isFolder = S_ISDIR(st.st_mode) || (S_ISLNK(st.st_mode) && stat(native.c_str(), &target) == 0 &&
                                        S_ISDIR(target.st_mode));
    return true;
}

bool PlatCreateFolder(const char* path) {
    if (OutputSinkActive()) return true;
    DeferredWaitFor(path);
    bool made;
    if (DestinationCreateFolder(path, &made)) return made;
    return mkdir(PosixNativePath(path).c_str(), 0777) == 0;
}

const char* PlatCharNext(const char* p) {
    if (*p == 0) return p;
    if (IsCp932LeadByte(static_cast<unsigned char>(*p)) && p[1] != 0) return p + 2;
    return p + 1;
}

bool PlatDriveIsRemovable(const char* root) { return Hooks.driveIsRemovable ? Hooks.driveIsRemovable(root) : false; }

int PlatMessageBox(const MessageBoxRequest& box) {
    if (Hooks.messageBox) return Hooks.messageBox(box);
    std::fprintf(stderr, "daduvivu: %s\n", Cp932ToUtf8(box.text).c_str());
    unsigned type = box.flags & 0x0F;
    return type == BoxOk ? AnswerOk : AnswerCancel;
}

void PlatSetStatusLine(const char* text) {
    if (Hooks.statusLine) Hooks.statusLine(text);
}

void PlatPumpOneMessage() {
    if (Hooks.pumpOneMessage) Hooks.pumpOneMessage();
}

void PlatSetMessageText(const char* text) { PosixMessageText = text; }

void PlatDisableExtract() { PosixExtractDisabled = true; }

void* PlatAlloc(size_t size) { return std::malloc(size); }
void PlatFree(void* block) { std::free(block); }

void PlatHintLargePages(void* block, size_t size) {
#ifdef MADV_HUGEPAGE
    // madvise wants a page-aligned start; the pages it covers are whole ones inside the block.
    constexpr uintptr_t Page = 4096;
    uintptr_t start = (reinterpret_cast<uintptr_t>(block) + Page - 1) & ~(Page - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(Page - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)block;
    (void)size;
#endif
}

void PlatExit(int code) {
    if (Hooks.exitProcess) Hooks.exitProcess(code);
    std::exit(code);
}
