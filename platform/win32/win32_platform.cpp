// The seam on Win32: each operation is the Win32 call of the same purpose, so the
// stub behaves as the system calls do, including their sharing and replacing rules.
#include "platform/platform.h"

#include "container/texts.h"
#include "runtime/runtime.h"
#include "ui/ui.h"

namespace {

HANDLE AsHandle(PlatFile file) { return reinterpret_cast<HANDLE>(file); }

FILETIME AsFileTime(FileTime t) {
    FILETIME f;
    f.dwLowDateTime = static_cast<DWORD>(t);
    f.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return f;
}

// Alt+F4 still closes the progress window, which has no close box: its boxes then
// belong to the main window, since a box with a destroyed owner is never shown.
HWND OwnerWindow(BoxOwner owner) {
    if (owner == OwnerProgress && ProgressWindow != nullptr && IsWindow(ProgressWindow)) return ProgressWindow;
    if (owner != OwnerNone && MainWindow != nullptr && IsWindow(MainWindow)) return MainWindow;
    return nullptr;
}

}  // namespace

// INVALID_HANDLE_VALUE and PlatNoFile are both -1.
PlatFile PlatOpenRead(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return reinterpret_cast<PlatFile>(h);
}

PlatFile PlatCreateWrite(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    // A stored name such as CON, NUL, COM1 or LPT1.TXT opens a device in any folder:
    // an archive must never write to a port or a printer, only to a file on disk.
    if (h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return PlatNoFile;
    }
    return reinterpret_cast<PlatFile>(h);
}

bool PlatRead(PlatFile file, void* buffer, uint32_t n, uint32_t* got) {
    DWORD read = 0;
    BOOL ok = file != PlatNoFile && ReadFile(AsHandle(file), buffer, n, &read, nullptr);
    *got = read;
    return ok != FALSE;
}

bool PlatWrite(PlatFile file, const void* buffer, uint32_t n) {
    DWORD written = 0;
    if (file == PlatNoFile || !WriteFile(AsHandle(file), buffer, n, &written, nullptr)) return false;
    return written == n;
}

bool PlatSize(PlatFile file, int64_t* size) {
    if (file == PlatNoFile) return false;
    DWORD high = 0;
    DWORD low = GetFileSize(AsHandle(file), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
    *size = static_cast<int64_t>(static_cast<uint64_t>(high) << 32 | low);
    return true;
}

bool PlatPosition(PlatFile file, int64_t* position) {
    if (file == PlatNoFile) return false;
    LONG high = 0;
    DWORD low = SetFilePointer(AsHandle(file), 0, &high, FILE_CURRENT);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
    *position = static_cast<int64_t>(static_cast<uint64_t>(static_cast<DWORD>(high)) << 32 | low);
    return true;
}

bool PlatSeek(PlatFile file, int64_t position) {
    if (file == PlatNoFile) return false;
    LONG high = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
    DWORD low = SetFilePointer(AsHandle(file), static_cast<LONG>(position), &high, FILE_BEGIN);
    return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

bool PlatSetTimes(PlatFile file, FileTime creation, FileTime access, FileTime write) {
    if (file == PlatNoFile) return false;
    FILETIME c = AsFileTime(creation);
    FILETIME a = AsFileTime(access);
    FILETIME w = AsFileTime(write);
    return SetFileTime(AsHandle(file), &c, &a, &w) != FALSE;
}

// -1 is also the current process's pseudo-handle: closing "no file" must not reach it.
bool PlatClose(PlatFile file) { return file != PlatNoFile && CloseHandle(AsHandle(file)) != FALSE; }

bool PlatDelete(const char* path) { return DeleteFileA(path) != FALSE; }

bool PlatFindName(const char* path, bool* isFolder) {
    // A name is looked up, not a pattern: "*" or "?" would find some other file, and no
    // file can carry them. Neither byte is ever the trail byte of a code page 932 pair.
    for (const char* p = path; *p != 0; ++p)
        if (*p == '*' || *p == '?') return false;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    *isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

bool PlatCreateFolder(const char* path) { return CreateDirectoryA(path, nullptr) != FALSE; }

const char* PlatCharNext(const char* p) { return CharNextA(p); }

bool PlatDriveIsRemovable(const char* root) { return GetDriveTypeA(root) == DRIVE_REMOVABLE; }

int PlatMessageBox(const MessageBoxRequest& box) {
    int answer = MessageBoxA(OwnerWindow(box.owner), box.text, TextBanner, box.flags);
    // A box that could not be shown answers Cancel: every question then stops rather
    // than going on unasked, and the disk prompt cannot retry without end.
    return answer == 0 ? AnswerCancel : answer;
}

void PlatSetStatusLine(const char* text) { SetWindowTextA(StatusLine, text); }

void PlatPumpOneMessage() {
    MSG m;
    if (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
}

void PlatSetMessageText(const char* text) { SetWindowTextA(MessageEdit, text); }

void PlatDisableExtract() { EnableWindow(ExtractButton, FALSE); }

void* PlatAlloc(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void PlatFree(void* block) {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

void PlatExit(int code) { EndProcess(code); }
