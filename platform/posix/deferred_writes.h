// Writing that runs beside decoding (daduvivu extract). While writes are deferred, a
// file created below a mapped drive is only gathered in memory by the thread that
// decodes; a writer thread creates it under its temporary name, writes it, sets its
// times and gives it its name, file after file in the order they were closed. The
// destination's rules hold as they do without it (posix_destination.h): nothing is
// followed, a file takes its name only complete, an existing one is replaced whole.
//
// A failure of the writer thread stops the run: the file it was writing is removed and
// keeps no name, files closed after it are not written, and the next create or write of
// the decoding thread fails (errno set) as if it had met the failure itself. A name that
// a waiting file will take is looked up, made or deleted only after that file is done.
#pragma once

#include <string>
#include <time.h>

#include "platform/platform.h"

// Turns deferring on for the files created from now on, or off. Turning it on forgets
// an earlier run's failure.
void DeferWrites(bool on);
// Waits for every waiting file and stops the writer thread; files still open are
// removed. False with errno set when some file could not be written.
bool FinishDeferredWrites();
// The core path of the file whose writing failed, or an empty string.
std::string DeferredFailedPath();

// The seam's side (posix_platform.cpp, posix_destination.cpp).
bool IsDeferredFile(PlatFile file);
// False when writes are not deferred; otherwise *result is the new file, or PlatNoFile
// after a failure. `path` is below a mapped drive.
bool DeferredCreateWrite(const char* path, PlatFile* result);
bool DeferredWrite(PlatFile file, const void* bytes, uint32_t n);
void DeferredSetTimes(PlatFile file, const timespec times[2]);
// True when the file was complete (its times set, no cancel asked) and waits for its
// name, and when it was incomplete and is dropped (as the direct close answers).
bool DeferredClose(PlatFile file);
// Returns once no waiting file will take the name `path`.
void DeferredWaitFor(const char* path);
