// The core as the stub compiles it (i686, -Os, the compact core), timing the decoding
// of a whole archive without writing anything. Prints the seconds taken.
//   decode_timer.exe ARCHIVE.exe     (a Windows path)
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "container/archive.h"
#include "engine/extract.h"

// The windows the seam reaches in the stub; none exists here.
HWND MainWindow, ProgressWindow, MessageEdit, ExtractButton, StatusLine;

int main(int argc, char** argv) {
    if (argc < 2 || std::strlen(argv[1]) >= sizeof ProgramPath) return 2;
    std::strcpy(ProgramPath, argv[1]);
    OpenArchive();
    DecodeOnly = true;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    ExtractEntries("C:\\nowhere\\");
    QueryPerformanceCounter(&end);
    std::printf("%.3f\n", double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart));
    return 0;
}
