// The failure routines shared by every part of the core. None but NotifyStopped
// returns.
#pragma once

#include "platform/platform.h"

// The file the extraction loop is writing, and its path, so that a fatal error can
// delete it: PlatNoFile whenever no output file is open.
extern PlatFile OutputFile;
extern const char* OutputPath;

[[noreturn]] void FatalAbort();
[[noreturn]] void ReadFailure();
[[noreturn]] void WriteFailure();
// The archive breaks the format's rules (a damaged block, a hostile name or body).
[[noreturn]] void CorruptArchive();
void NotifyStopped();
