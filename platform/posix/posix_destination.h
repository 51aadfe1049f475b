// Files and folders below a mapped drive (the extraction destination), reached so that
// nothing in an archive can write outside it.
//
// Every folder is opened from a handle on the drive's folder, one element at a time,
// with O_NOFOLLOW: a symbolic link anywhere below the drive's folder is never followed,
// and a link where a folder must be is reported as a name that exists and is no folder.
// The handles of the folders last walked are kept, so that a run of names in one
// folder, or a tree made one level at a time, costs a system call or two per name.
//
// A file is written under a temporary name in its folder and takes its final name
// only when it is closed complete (its times set, no cancel asked): an existing file of
// that name is replaced whole, never rewritten in place, so its other hard links and
// its mode stay as they were and its content survives until the new one is complete.
// A file closed incomplete is removed, and the delete the core then asks for its final
// name leaves the old file alone.
#pragma once

#include <string>

#include "platform/platform.h"

// Each returns false when `path` is not below a mapped drive (the caller then takes the
// path as it stands); otherwise it does the work and puts the seam's answer in *result.
bool DestinationFindName(const char* path, bool* isFolder, bool* result);
bool DestinationCreateFolder(const char* path, bool* result);
bool DestinationCreateWrite(const char* path, PlatFile* result);
bool DestinationDelete(const char* path, bool* result);
// Notes that a file's times are set: the core does so when its body is complete.
void DestinationTimesSet(PlatFile file);
// False when `file` is not one being written below a mapped drive.
bool DestinationClose(PlatFile file, bool* result);

// The pieces of the above that a writer thread uses (deferred_writes.h), each walking
// with the calling thread's own handles: a new file under the temporary name `temp` in
// the folder of `path` (-1 with errno set when it cannot be made; `temp` receives the
// name), and then that file
// given its final name (`keep`) or removed; false with errno set when the name could not
// be given or the folder not be reached.
int DestinationCreateTemporary(const char* path, std::string& temp);
bool DestinationSettle(const char* path, const std::string& temp, bool keep);
// Closes the calling thread's kept folder handles.
void DestinationCloseWalk();
// Notes that `path` was just given to a complete file (or a folder) by this run.
void DestinationMade(const char* path, bool isFolder);
// Notes a file closed incomplete and already removed (see above).
void DestinationAbandoned(const std::string& path);

// Removes the files still being written and closes the kept folder handles (the drives
// are mapped anew).
void DestinationForget();

// The temporary name a file is written under until it is complete. It holds U+00B7,
// which no code page 932 name converts to, so it never meets a stored name.
std::string DestinationTemporaryName(unsigned counter);
