#include "engine/extract.h"

#include "container/archive.h"
#include "container/block_stream.h"
#include "container/fatal.h"
#include "container/texts.h"
#include "engine/lz_decoder.h"
#include "fsutil/folders.h"
#include "fsutil/text.h"
#include "platform/platform.h"

volatile uint8_t CancelRequested;
char previousName[NameCapacity];
bool (*EntryObserver)(const EntryEvent& entry);
bool DecodeOnly;
size_t StoredNameBytes;

namespace {

char EntryName[NameCapacity];
char EntryPath[PathCapacity];
char BoxText[PathCapacity + 256];

uint32_t ReadLittleEndian(int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint32_t>(NextByte()) << (8 * i);
    return value;
}

FileTime ReadFileTime() {
    uint64_t low = ReadLittleEndian(4);
    uint64_t high = ReadLittleEndian(4);
    return low | high << 32;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

void SetStatus(const char* label, const char* path) {
    TextBuilder t = StartText(BoxText, sizeof BoxText);
    AppendText(t, label);
    AppendText(t, path);
    PlatSetStatusLine(BoxText);
}

void CreateFoldersOrDie(const char* folder) {
    size_t failed = CreateFolderPath(folder);
    if (failed != 0) FatalFolderFailure(folder, failed);
}

}  // namespace

void ReadEntryName(char* name) {
    size_t length = 0;
    size_t stored = 1;  // the zero byte, and the marker's two when there is one
    uint8_t b = NextByte();
    if (b == '*') {
        size_t shared = static_cast<size_t>(NextByte()) + 2;
        size_t previous = TextLength(previousName);
        length = shared < previous ? shared : previous;
        CopyBytes(name, previousName, length);
        b = NextByte();
        stored = 3;
    }
    size_t copied = length;
    while (b != 0) {
        if (length == NameCapacity - 1) CorruptArchive();
        name[length++] = static_cast<char>(b);
        b = NextByte();
    }
    StoredNameBytes = stored + (length - copied);
    name[length] = 0;
    CopyBytes(previousName, name, length + 1);
}

// Windows resolves "..", and any element of dots and spaces that trims to it, to the
// parent folder, and takes both slashes as separators; a colon names a drive or a
// stream. None of these may come from an archive.
bool NameLeavesDestination(const char* name) {
    if (IsSeparator(name[0])) return true;
    const char* element = name;
    for (const char* p = name;; p = CharAfter(p)) {
        if (*p == ':') return true;
        if (*p == 0 || IsSeparator(*p)) {
            int dots = 0;
            bool onlyDotsAndSpaces = true;
            for (const char* q = element; q != p; ++q) {
                if (*q == '.')
                    ++dots;
                else if (*q != ' ')
                    onlyDotsAndSpaces = false;
            }
            if (onlyDotsAndSpaces && dots >= 2) return true;
            if (*p == 0) return false;
            element = p + 1;
        }
    }
}

void ExtractEntries(const char* targetFolder) {
    CancelRequested = 0;
    VolumeNumber = 1;
    previousName[0] = 0;
    ReadEntryName(EntryName);

    // Slots not filled in this run hold nothing, so a reference to one primes nothing.
#ifndef DADUVIVU_COMPACT_CORE
    // A ring that no run has used holds zeros already: setting each size would touch a
    // page in every slot, and a small archive's run needs only the first few. Its first
    // run offers it to the system for large pages.
    static bool ringUsed = false;
    if (ringUsed)
        for (int i = 1; i < SlotCount; ++i) RecentFileSlots[i].size = 0;
    else
        PlatHintLargePages(RecentFileSlots, sizeof RecentFileSlots);
    ringUsed = true;
#else
    for (int i = 1; i < SlotCount; ++i) RecentFileSlots[i].size = 0;
#endif
    RecentFileSlots[0].size = SlotCapacity;
    CopyBytes(RecentFileSlots[0].data, StubImage, SlotCapacity);
    currentSlot = 1;

    while (EntryName[0] != 0 && !CancelRequested) {
        if (NameLeavesDestination(EntryName)) CorruptArchive();
        TextBuilder path = StartText(EntryPath, sizeof EntryPath);
        AppendText(path, targetFolder);
        AppendText(path, EntryName);
        if (path.overflow) CorruptArchive();

        EntryEvent event{EntryName, EntryPath, false, false, 0, 0, 0, 0, 1, 0};
        if (path.length >= 2 && EntryPath[path.length - 2] == '\\' && EntryPath[path.length - 1] == '.') {
            event.isFolder = true;
            bool selected = EntryObserver == nullptr || EntryObserver(event);
            EntryPath[path.length - 1] = 0;
            if (selected && !DecodeOnly) CreateFoldersOrDie(EntryPath);
            ReadEntryName(EntryName);
            continue;
        }

        FileTime creation = ReadFileTime();
        FileTime access = ReadFileTime();
        FileTime write = ReadFileTime();
        int32_t fileSize = static_cast<int32_t>(ReadLittleEndian(4));
        int r = NextByte();
        int32_t prefix = 0;
        if (r != 0)
            prefix = static_cast<int32_t>(ReadLittleEndian(2));
        else
            r = 1;
        // The prefix is part of the file: it can never be longer than the file.
        if (fileSize < 0 || fileSize > MaxFileSize || prefix > fileSize) CorruptArchive();

        event.creation = creation;
        event.access = access;
        event.write = write;
        event.fileSize = fileSize;
        event.reference = r;
        event.prefix = prefix;
        bool selected = EntryObserver == nullptr || EntryObserver(event);
        bool writing = selected && !DecodeOnly;

        SetStatus(TextProcessing, EntryPath);
        bool skip = !writing;
        bool isFolder = false;
        if (writing && PlatFindName(EntryPath, &isFolder)) {
            TextBuilder t = StartText(BoxText, sizeof BoxText);
            AppendText(t, EntryPath);
            AppendText(t, TextOverwrite);
            int answer = PlatMessageBox(
                {MsgOverwrite, OwnerMain, BoxYesNoCancel | BoxIconQuestion, BoxText, EntryPath});
            if (answer == AnswerCancel) {
                CancelRequested = 1;
                break;
            }
            skip = answer == AnswerNo;
        }
        SetStatus(skip ? TextSkipping : TextExtracting, EntryPath);

        if (writing) {
            size_t folder = DirectoryPart(EntryPath);
            char kept = EntryPath[folder];
            EntryPath[folder] = 0;
            CreateFoldersOrDie(EntryPath);
            EntryPath[folder] = kept;
        }

        PlatFile file = PlatNoFile;
        if (!skip) {
            file = PlatCreateWrite(EntryPath);
            if (file == PlatNoFile) WriteFailure();
            OutputFile = file;
            OutputPath = EntryPath;
        }
        DecodeFileBody(fileSize, r, prefix, skip, file);
        if (!skip) {
            if (!PlatSetTimes(file, creation, access, write)) WriteFailure();
            OutputFile = PlatNoFile;
            if (!PlatClose(file)) {
                PlatDelete(EntryPath);  // an output file that cannot be closed is not trusted
                WriteFailure();
            }
            if (CancelRequested) PlatDelete(EntryPath);
        }
        if (EntryObserver) {
            event.decoded = true;
            EntryObserver(event);
        }
        currentSlot = (currentSlot + 1) & (SlotCount - 1);
        // A body cancelled halfway leaves the stream inside it: what follows is no name,
        // and reading one could ask for disks or report damage after the user stopped.
        if (CancelRequested) break;
        ReadEntryName(EntryName);
    }

    if (!PlatClose(ArchiveFile)) {
        ArchiveFile = PlatNoFile;
        ReadFailure();
    }
    ArchiveFile = PlatNoFile;
}
