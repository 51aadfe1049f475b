#include "fsutil/folders.h"

#include "container/archive.h"
#include "container/texts.h"
#include "fsutil/text.h"
#include "platform/platform.h"

namespace {

// Scratch for the NUL-terminated prefixes handed to the file system.
char PrefixBuffer[PathCapacity];

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

size_t DirectoryPart(const char* path) {
    size_t end = 0;
    for (const char* p = path; *p != 0; p = CharAfter(p))
        if (*p == '\\') end = static_cast<size_t>(p - path) + 1;
    return end;
}

bool AddTrailingBackslash(const char* path, char* out, size_t capacity) {
    TextBuilder t = StartText(out, capacity);
    if (*path == 0) {
        AppendText(t, ".\\");
        return !t.overflow;
    }
    const char* last = path;
    for (const char* p = path; *p != 0; p = CharAfter(p)) last = p;
    AppendText(t, path);
    if (*last != '\\') AppendText(t, "\\");
    return !t.overflow;
}

FolderState CheckDestination(const char* path) {
    size_t n = TextLength(path);
    if (n == 3 && path[1] == ':' && IsAsciiLetter(path[0])) return FolderExists;
    if (n == 0 || n > sizeof PrefixBuffer) return FolderMissing;
    CopyBytes(PrefixBuffer, path, n - 1);
    PrefixBuffer[n - 1] = 0;
    bool isFolder = false;
    if (!PlatFindName(PrefixBuffer, &isFolder)) return FolderMissing;
    return isFolder ? FolderExists : NotAFolder;
}

size_t CreateFolderPath(const char* path) {
    const char* p = path;
    const char* prev = nullptr;
    while (*p != 0) {
        while (*p != 0 && *p != '\\') {
            prev = p;
            p = CharAfter(p);
        }
        if (*p == 0) break;  // text after the last backslash is never made
        if (prev != nullptr && *prev != ':') {
            size_t n = static_cast<size_t>(p - path);
            if (n >= sizeof PrefixBuffer) return n;
            CopyBytes(PrefixBuffer, path, n);
            PrefixBuffer[n] = 0;
            bool isFolder = false;
            if (!PlatFindName(PrefixBuffer, &isFolder)) {
                if (!PlatCreateFolder(PrefixBuffer)) return n;
            } else if (!isFolder) {
                return n;
            }
        }
        prev = p;
        p = CharAfter(p);
    }
    return 0;
}

void FatalFolderFailure(const char* folder, size_t length) {
    static char text[sizeof TextFolderFailed + PathCapacity];
    TextBuilder t = StartText(text, sizeof text);
    AppendText(t, TextFolderFailed);
    AppendBytes(t, folder, length);
    static char subject[PathCapacity];
    TextBuilder s = StartText(subject, sizeof subject);
    AppendBytes(s, folder, length);
    PlatMessageBox({MsgFolderFailed, OwnerMain, BoxOk | BoxIconHand, text, subject});
    PlatClose(ArchiveFile);
    ArchiveFile = PlatNoFile;
    PlatExit(1);
}
