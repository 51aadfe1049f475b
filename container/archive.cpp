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
    uint32_t capacity = 0;
    char* text = nullptr;
    uint32_t length = 0;
    for (;;) {
        char c;
        ReadExactly(&c, 1);
        if (length + 1 >= capacity) {
            // Grown as the bytes come: the string has no length limit of its own.
            uint32_t grown = capacity == 0 ? 64 : capacity * 2;
            char* bigger = static_cast<char*>(PlatAlloc(grown));
            if (bigger == nullptr) ReadFailure();
            if (text != nullptr) {
                CopyBytes(bigger, text, length);
                PlatFree(text);
            }
            text = bigger;
            capacity = grown;
        }
        if (c == 0) break;
        text[length++] = c;
    }
    text[length] = 0;
    out.text = text;
    out.length = length;
}

ArchiveState OpenArchive() {
    // A process opens one archive; a test that opens many gives back the last one's strings.
    FreeHeaderString(ArchiveHeader.VolumeBaseName);
    FreeHeaderString(ArchiveHeader.RunAfter);
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
    // Both sizes are compared as signed 32-bit numbers.
    int32_t actual = static_cast<int32_t>(static_cast<uint32_t>(size));
    int32_t expected = static_cast<int32_t>(ArchiveHeader.RecordedSize);
    if (actual < expected) SizeMessage(MsgFileSmaller, TextFileSmaller);
    if (actual > expected) SizeMessage(MsgFileLarger, TextFileLarger);

    ReadHeaderString(ArchiveHeader.VolumeBaseName);
    uint8_t stamp[8];
    ReadExactly(stamp, 8);
    CopyBytes(&ArchiveHeader.IdentityStamp, stamp, 8);
    HeaderString message;
    ReadHeaderString(message);
    PlatSetMessageText(message.text);
    PlatFree(message.text);
    ReadHeaderString(ArchiveHeader.RunAfter);
    uint8_t last;
    ReadExactly(&last, 1);
    ResetBlockStream();
    return ArchiveReady;
}
