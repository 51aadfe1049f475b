#include "container/archive.h"

#include "container/block_stream.h"
#include "container/fatal.h"
#include "container/texts.h"
#include "fsutil/text.h"

char ProgramPath[PathCapacity];
uint8_t StubImage[StubSize];
ArchiveHeaderRecord ArchiveHeader;
PlatFile ArchiveFile = PlatNoFile;

namespace {

char EmptyText[1];
// The message is shown, not kept; it is held here only while it is read, so that an
// exit in the middle of reading it loses nothing.
HeaderString MessageString;

void ReadExactly(void* buffer, uint32_t n) {
    uint32_t got = 0;
    if (!PlatRead(ArchiveFile, buffer, n, &got) || got != n) ReadFailure();
}

[[noreturn]] void SizeMessage(MessageId id, const char* text) {
    PlatMessageBox({id, OwnerNone, BoxOk | BoxIconHand, text, ""});
    PlatClose(ArchiveFile);
    ArchiveFile = PlatNoFile;
    PlatExit(0);
}

void FreeHeaderString(HeaderString& s) {
    if (s.text != nullptr && s.text != EmptyText) PlatFree(s.text);
    s = {EmptyText, 0};
}

}  // namespace

void ReadHeaderString(HeaderString& out) {
    FreeHeaderString(out);
    int64_t start = 0, size = 0;
    if (!PlatPosition(ArchiveFile, &start) || !PlatSize(ArchiveFile, &size)) ReadFailure();
    // The zero byte is looked for a block at a time (the block buffer is free until the
    // first block is read); the string cannot be longer than what is left of the file,
    // and reaching the end without it is a short read.
    uint8_t* scan = BlockStream.buffer;
    uint64_t length = 0;
    for (;;) {
        if (start + static_cast<int64_t>(length) >= size) ReadFailure();
        uint32_t got = 0;
        if (!PlatRead(ArchiveFile, scan, MaxBlockPayload, &got) || got == 0) ReadFailure();
        uint32_t i = 0;
        while (i < got && scan[i] != 0) ++i;
        length += i;
        if (i < got) break;
    }
    if (length >= static_cast<uint64_t>(SIZE_MAX)) ReadFailure();
    // Owned by `out` before the read that fills it, so that no exit path loses it.
    char* text = static_cast<char*>(PlatAlloc(static_cast<size_t>(length) + 1));
    if (text == nullptr) ReadFailure();
    out.text = text;
    out.length = static_cast<size_t>(length);
    if (!PlatSeek(ArchiveFile, start)) ReadFailure();
    for (uint64_t done = 0; done <= length;) {
        uint64_t want = length + 1 - done;
        uint32_t n = want > 0x40000000u ? 0x40000000u : static_cast<uint32_t>(want);
        ReadExactly(text + done, n);
        done += n;
    }
    // The file may have changed between the two reads: the string ends where it was found.
    text[length] = 0;
    out.length = TextLength(text);
}

ArchiveState OpenArchive() {
    // A process opens one archive; a test that opens many gives back the last one's strings.
    FreeHeaderString(ArchiveHeader.VolumeBaseName);
    FreeHeaderString(ArchiveHeader.RunAfter);
    FreeHeaderString(MessageString);
    ArchiveFile = PlatOpenRead(ProgramPath);
    if (ArchiveFile == PlatNoFile) ReadFailure();
    int64_t size = 0;
    if (!PlatSize(ArchiveFile, &size)) ReadFailure();
    if (size == StubSize) {
        PlatDisableExtract();
        return BareProgram;
    }
    ReadExactly(StubImage, StubSize);
    uint8_t recorded[4];
    ReadExactly(recorded, 4);
    ArchiveHeader.RecordedSize = static_cast<uint32_t>(recorded[0]) | static_cast<uint32_t>(recorded[1]) << 8 |
                                 static_cast<uint32_t>(recorded[2]) << 16 | static_cast<uint32_t>(recorded[3]) << 24;
    // The real size is compared: 4 GiB appended must not pass for nothing appended.
    int64_t expected = static_cast<int64_t>(ArchiveHeader.RecordedSize);
    if (size < expected) SizeMessage(MsgFileSmaller, TextFileSmaller);
    if (size > expected) SizeMessage(MsgFileLarger, TextFileLarger);

    ReadHeaderString(ArchiveHeader.VolumeBaseName);
    uint8_t stamp[8];
    ReadExactly(stamp, 8);
    CopyBytes(&ArchiveHeader.IdentityStamp, stamp, 8);
    ReadHeaderString(MessageString);
    PlatSetMessageText(MessageString.text);
    FreeHeaderString(MessageString);
    ReadHeaderString(ArchiveHeader.RunAfter);
    uint8_t last;
    ReadExactly(&last, 1);
    ResetBlockStream();
    return ArchiveReady;
}
