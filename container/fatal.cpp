#include "container/fatal.h"

#include "container/archive.h"
#include "container/texts.h"

PlatFile OutputFile = PlatNoFile;
const char* OutputPath = "";

void FatalAbort() {
    PlatClose(ArchiveFile);
    ArchiveFile = PlatNoFile;
    // A close that succeeds means a file was being written: it is incomplete.
    if (OutputFile != PlatNoFile && PlatClose(OutputFile)) PlatDelete(OutputPath);
    OutputFile = PlatNoFile;
    PlatExit(1);
}

static void StopBox(MessageId id, const char* text) {
    PlatMessageBox({id, OwnerMain, BoxOk | BoxIconHand, text, ""});
}

void ReadFailure() {
    StopBox(MsgReadFailed, TextReadFailed);
    FatalAbort();
}

void WriteFailure() {
    StopBox(MsgWriteFailed, TextWriteFailed);
    FatalAbort();
}

void CorruptArchive() {
    StopBox(MsgCorrupt, TextCorrupt);
    FatalAbort();
}

void NotifyStopped() {
    PlatMessageBox({MsgStopped, OwnerMain, BoxOk | BoxIconInformation, TextStopped, ""});
}
