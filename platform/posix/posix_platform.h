// The POSIX side of the seam, for the daduvivu command and the native tests.
//
// Paths arrive as code page 932 strings with backslashes. A path that begins with a
// mapped drive ("T:\...") is put below that drive's native folder; every other path is
// taken as it stands. Names become UTF-8 (Cp932ToUtf8) and backslashes become '/'.
// POSIX keeps only the last access and last write times; the creation time is dropped.
#pragma once

#include <functional>
#include <string>

#include "platform/platform.h"

struct PosixHooks {
    // Answers every message box; the default prints the box's text to stderr and
    // answers Cancel to questions and OK to the rest.
    std::function<int(const MessageBoxRequest&)> messageBox;
    std::function<void(const char*)> statusLine;
    std::function<void()> pumpOneMessage;
    std::function<bool(const char*)> driveIsRemovable;
    // Ends the process; the default calls std::exit. Tests make it throw.
    std::function<void(int)> exitProcess;
};

extern PosixHooks Hooks;

// The archive's message text as the core last set it, and whether extraction was
// disabled (the program file carries no archive).
extern std::string PosixMessageText;
extern bool PosixExtractDisabled;

void PosixMapDrive(char letter, const std::string& nativeFolder);
// Gives one core path (such as the program file's) a native file of its own.
void PosixMapFile(const std::string& corePath, const std::string& nativeFile);
void PosixClearDrives();
// The native folder of a mapped drive letter, or null.
const std::string* PosixDriveFolder(char letter);
// The native path that a core path stands for.
std::string PosixNativePath(const char* path);
// Puts the defaults back: no drives, default hooks, no message text.
void PosixResetPlatform();
