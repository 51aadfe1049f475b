// The Win32 side of the seam, run under Wine (or Windows) against a real file system:
// sharing, exact reads, times, names, folders, devices and code page 932 scanning.
// Prints one line per failed check and exits with the number of failures.
//   seam_tests.exe WORKFOLDER     (an empty folder, given as a Windows path)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

// The globals the seam reaches in the stub's windows; no window exists here.
HWND MainWindow, ProgressWindow, MessageEdit, ExtractButton, StatusLine;

namespace {

int Failures;

void Check(bool ok, const char* what, int line) {
    if (!ok) {
        std::printf("FAIL line %d: %s\n", line, what);
        ++Failures;
    }
}
#define CHECK(x) Check((x), #x, __LINE__)

std::string Folder;

std::string In(const char* name) { return Folder + "\\" + name; }

void FilesAndSharing() {
    const std::string path = In("data.bin");
    PlatFile w = PlatCreateWrite(path.c_str());
    CHECK(w != PlatNoFile);
    CHECK(PlatWrite(w, "0123456789", 10));
    int64_t at = -1;
    CHECK(PlatPosition(w, &at) && at == 10);
    CHECK(PlatClose(w));

    PlatFile a = PlatOpenRead(path.c_str());
    PlatFile b = PlatOpenRead(path.c_str());
    CHECK(a != PlatNoFile);
    CHECK(b != PlatNoFile);  // readers share
    // The archive is open for reading only: nobody may replace it meanwhile.
    CHECK(PlatCreateWrite(path.c_str()) == PlatNoFile);
    int64_t size = 0;
    CHECK(PlatSize(a, &size) && size == 10);
    char buffer[16] = {};
    uint32_t got = 0;
    CHECK(PlatRead(a, buffer, 4, &got) && got == 4 && std::memcmp(buffer, "0123", 4) == 0);
    CHECK(PlatPosition(a, &at) && at == 4);
    // Past the end a read succeeds short; the core turns that into its read failure.
    CHECK(PlatRead(a, buffer, 16, &got) && got == 6);
    CHECK(PlatRead(a, buffer, 1, &got) && got == 0);
    // Back to an earlier byte: the header strings are found first and read after.
    CHECK(PlatSeek(a, 2) && PlatPosition(a, &at) && at == 2);
    CHECK(PlatRead(a, buffer, 3, &got) && got == 3 && std::memcmp(buffer, "234", 3) == 0);
    CHECK(!PlatSeek(PlatNoFile, 0));
    CHECK(PlatClose(a));
    CHECK(PlatClose(b));

    // Writes replace a whole file.
    w = PlatCreateWrite(path.c_str());
    CHECK(w != PlatNoFile && PlatWrite(w, "x", 1) && PlatClose(w));
    a = PlatOpenRead(path.c_str());
    CHECK(PlatSize(a, &size) && size == 1);
    PlatClose(a);

    CHECK(PlatDelete(path.c_str()));
    CHECK(!PlatDelete(path.c_str()));
    CHECK(PlatOpenRead(path.c_str()) == PlatNoFile);
}

void NoFile() {
    // -1 is also the process's own pseudo-handle: "no file" must never reach CloseHandle.
    CHECK(!PlatClose(PlatNoFile));
    uint32_t got = 7;
    char c;
    CHECK(!PlatRead(PlatNoFile, &c, 1, &got) && got == 0);
    CHECK(!PlatWrite(PlatNoFile, "x", 1));
    int64_t n;
    CHECK(!PlatSize(PlatNoFile, &n));
    CHECK(!PlatPosition(PlatNoFile, &n));
    CHECK(!PlatSetTimes(PlatNoFile, 0, 0, 0));
}

void Times() {
    const std::string path = In("times.txt");
    PlatFile w = PlatCreateWrite(path.c_str());
    const FileTime creation = 130000000000000000ULL, access = 131000000000000000ULL, write = 132000000000000000ULL;
    CHECK(PlatSetTimes(w, creation, access, write));
    CHECK(PlatClose(w));
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME c, a, m;
    CHECK(GetFileTime(h, &c, &a, &m));
    CloseHandle(h);
    auto value = [](const FILETIME& f) { return static_cast<FileTime>(f.dwHighDateTime) << 32 | f.dwLowDateTime; };
    // Linux file systems keep no settable creation time, so Wine cannot return it.
    (void)c;
    CHECK(value(a) == access);
    CHECK(value(m) == write);
}

void NamesAndFolders() {
    const std::string folder = In("sub");
    bool isFolder = true;
    CHECK(!PlatFindName(folder.c_str(), &isFolder));
    CHECK(PlatCreateFolder(folder.c_str()));
    CHECK(!PlatCreateFolder(folder.c_str()));
    CHECK(PlatFindName(folder.c_str(), &isFolder) && isFolder);
    const std::string file = In("sub\\f.txt");
    PlatClose(PlatCreateWrite(file.c_str()));
    CHECK(PlatFindName(file.c_str(), &isFolder) && !isFolder);
    // Patterns never stand for a name.
    CHECK(!PlatFindName(In("sub\\*").c_str(), &isFolder));
    CHECK(!PlatFindName(In("su?").c_str(), &isFolder));
    // A folder cannot be opened or replaced as a file.
    CHECK(PlatOpenRead(folder.c_str()) == PlatNoFile);
    CHECK(PlatCreateWrite(folder.c_str()) == PlatNoFile);
}

void Devices() {
    // Stored names such as these open devices in any folder; nothing is written there.
    for (const char* name : {"NUL", "CON", "nul.txt", "COM1", "LPT1.TXT"})
        CHECK(PlatCreateWrite(In(name).c_str()) == PlatNoFile);
}

void CodePage() {
    if (GetACP() != 932) {
        std::printf("skipped: the ANSI code page is %u, not 932 (run with LC_ALL=ja_JP.UTF-8)\n", GetACP());
        return;
    }
    const char* table = "\x95\x5C" "a";  // 表 has the trail byte 0x5C
    CHECK(PlatCharNext(table) == table + 2);
    CHECK(PlatCharNext(table + 2) == table + 3);
    CHECK(PlatCharNext(table + 3) == table + 3);
}

void Memory() {
    char* block = static_cast<char*>(PlatAlloc(1 << 20));
    CHECK(block != nullptr);
    if (block != nullptr) block[(1 << 20) - 1] = 1;
    PlatFree(block);
    PlatFree(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: seam_tests.exe EMPTYFOLDER\n");
        return 100;
    }
    Folder = argv[1];
    NoFile();
    FilesAndSharing();
    Times();
    NamesAndFolders();
    Devices();
    CodePage();
    Memory();
    CHECK(!PlatDriveIsRemovable("C:\\"));
    std::printf("%d failure(s)\n", Failures);
    return Failures;
}
