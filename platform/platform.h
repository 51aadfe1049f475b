// The seam between the core and an operating system.
//
// The core (container/, engine/, fsutil/) reaches files, folders, message boxes, the
// progress window's status line, message pumping and process exit only through these
// functions. The stub links the Win32 implementation (each call maps onto one or two
// Win32 functions: CreateFileA, ReadFile, MessageBoxA, FindFirstFileA, ...); the
// daduvivu command and the native tests link the POSIX implementation.
//
// This header is freestanding: the stub is built without a C or C++ library, so only
// <stdint.h> and <stddef.h> may be used here and in the core.
#pragma once

#include <stddef.h>
#include <stdint.h>

// An open file. The value is a Win32 HANDLE in the stub and a file descriptor on POSIX.
typedef intptr_t PlatFile;
constexpr PlatFile PlatNoFile = -1;

// A Windows file time: 100-nanosecond intervals since 1 January 1601 UTC.
typedef uint64_t FileTime;

// Owners of message boxes.
enum BoxOwner { OwnerNone = 0, OwnerMain = 1, OwnerProgress = 2 };

// Message box flags and answers, with their Win32 values.
constexpr unsigned BoxOk = 0x00;
constexpr unsigned BoxOkCancel = 0x01;
constexpr unsigned BoxYesNoCancel = 0x03;
constexpr unsigned BoxYesNo = 0x04;
constexpr unsigned BoxIconHand = 0x10;
constexpr unsigned BoxIconQuestion = 0x20;
constexpr unsigned BoxIconInformation = 0x40;

constexpr int AnswerOk = 1;
constexpr int AnswerCancel = 2;
constexpr int AnswerYes = 6;
constexpr int AnswerNo = 7;

// Which box is shown, so that a front end without windows can word it in its own
// language and answer it by policy. The Japanese text is always passed as well.
enum MessageId {
    MsgFileSmaller,      // the program file is smaller than recorded
    MsgFileLarger,       // the program file is larger than recorded
    MsgReadFailed,       // ReadFailure
    MsgWriteFailed,      // WriteFailure
    MsgCorrupt,          // a damaged block, or data that breaks the format's rules
    MsgStopped,          // NotifyStopped
    MsgInsertDisk,       // removable mode: insert disk n (subject: the volume file name)
    MsgDiskRetry,        // removable mode: wrong or missing disk (subject: the volume file name)
    MsgVolumeMissing,    // subject: the volume file name
    MsgVolumeDamaged,    // subject: the volume file name
    MsgOverwrite,        // subject: the full path of the existing file
    MsgFolderFailed,     // FatalFolderFailure (subject: the folder)
    MsgCreateFolderAsk,  // the destination is missing; create it?
    MsgCannotMakeFolder, // the destination cannot be made
    MsgFinished,         // extraction finished
    MsgRunAfterFailed,   // subject: the RunAfter name
};

struct MessageBoxRequest {
    MessageId id;
    BoxOwner owner;
    unsigned flags;
    const char* text;     // the exact code page 932 text of the box
    const char* subject;  // the path or name the box is about, or an empty string
};

// ---- files ----------------------------------------------------------------------
// Paths are code page 932 byte strings with backslashes between folder names.

// Opens an existing file for reading only, sharing read access with other openers.
PlatFile PlatOpenRead(const char* path);
// Creates a file for writing, replacing an existing one.
PlatFile PlatCreateWrite(const char* path);
// Reads up to n bytes; *got receives the count. False on a failed read.
bool PlatRead(PlatFile file, void* buffer, uint32_t n, uint32_t* got);
// Writes all n bytes or fails.
bool PlatWrite(PlatFile file, const void* buffer, uint32_t n);
bool PlatSize(PlatFile file, int64_t* size);
bool PlatPosition(PlatFile file, int64_t* position);
// Moves to `position` bytes from the start of the file.
bool PlatSeek(PlatFile file, int64_t position);
// Sets creation, last access and last write time, in this order.
bool PlatSetTimes(PlatFile file, FileTime creation, FileTime access, FileTime write);
bool PlatClose(PlatFile file);
bool PlatDelete(const char* path);

// ---- folders and names ------------------------------------------------------------

// A directory search for one name (no wildcards meant): true when something of that
// name exists, with *isFolder telling whether it carries the directory attribute.
bool PlatFindName(const char* path, bool* isFolder);
bool PlatCreateFolder(const char* path);
// The next character of a code page 932 string (CharNextA); never moves past the NUL.
const char* PlatCharNext(const char* p);
// PlatCharNext for the core's scans of names and paths. A byte from 0x01 to 0x7F is a
// character of its own in code page 932, so the native build steps over it without
// asking; the stub, whose size is fixed, always asks.
inline const char* CharAfter(const char* p) {
#ifndef DADUVIVU_COMPACT_CORE
    if (static_cast<unsigned char>(*p) - 1u < 0x7Fu) return p + 1;
#endif
    return PlatCharNext(p);
}
// GetDriveTypeA(root) == DRIVE_REMOVABLE.
bool PlatDriveIsRemovable(const char* root);

// ---- user interface ---------------------------------------------------------------

int PlatMessageBox(const MessageBoxRequest& box);
// Text of the progress window's status line.
void PlatSetStatusLine(const char* text);
// Takes at most one pending window message and dispatches it.
void PlatPumpOneMessage();
// Sets the main window's message field (the archive's message text).
void PlatSetMessageText(const char* text);
// Disables the extract button: the program carries no archive.
void PlatDisableExtract();

// ---- memory and process -----------------------------------------------------------

void* PlatAlloc(size_t size);  // null on failure
void PlatFree(void* block);
// Asks the system to back a large, long-lived block with large pages where it can: a
// run of thousands of small files touches a page or two of each of the ring's slots,
// and each first touch of a small page is a fault. Only a hint; nothing depends on it.
// (Native builds only; the stub's system has no such hint.)
void PlatHintLargePages(void* block, size_t size);
[[noreturn]] void PlatExit(int code);
