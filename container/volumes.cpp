#include "container/volumes.h"

#include "container/archive.h"
#include "container/block_stream.h"
#include "container/fatal.h"
#include "container/texts.h"
#include "fsutil/folders.h"
#include "fsutil/text.h"

uint8_t RemovableMode = 0;

namespace {

char VolumePath[PathCapacity];
char VolumeName[PathCapacity];  // the volume file's name without its folder
char BoxText[PathCapacity + 256];

char DriveLetter() {
    char d = ProgramPath[0];
    return (d >= 'a' && d <= 'z') ? static_cast<char>(d - 'a' + 'A') : d;
}

// Checks the identity stamp and the number at the start of the volume just opened,
// leaving it positioned at its first block.
bool VerifyVolumeHeader() {
    uint8_t stamp[8];
    uint8_t number[4];
    uint32_t got = 0;
    if (!PlatRead(ArchiveFile, stamp, 8, &got) || got != 8) return false;
    double value;
    CopyBytes(&value, stamp, 8);
    if (!(value == ArchiveHeader.IdentityStamp)) return false;
    if (!PlatRead(ArchiveFile, number, 4, &got) || got != 4) return false;
    uint32_t n = static_cast<uint32_t>(number[0]) | static_cast<uint32_t>(number[1]) << 8 |
                 static_cast<uint32_t>(number[2]) << 16 | static_cast<uint32_t>(number[3]) << 24;
    return static_cast<int32_t>(n) == VolumeNumber;
}

int Ask(MessageId id, BoxOwner owner, unsigned flags, const TextBuilder& text) {
    return PlatMessageBox({id, owner, flags, text.data, VolumeName});
}

[[noreturn]] void VolumeFailure(MessageId id, const char* tail) {
    // The texts begin with the ".DAT" that ends the volume's name.
    TextBuilder t = StartText(BoxText, sizeof BoxText);
    AppendBytes(t, VolumeName, TextLength(VolumeName) - 4);
    AppendText(t, tail);
    Ask(id, OwnerProgress, BoxOk | BoxIconHand, t);
    FatalAbort();
}

void OpenFromRemovableDrive(char drive) {
    char driveText[2] = {drive, 0};
    TextBuilder t = StartText(BoxText, sizeof BoxText);
    AppendDecimal(t, VolumeNumber);
    AppendText(t, TextInsertDiskA);
    AppendText(t, driveText);
    AppendText(t, TextInsertDiskB);
    if (Ask(MsgInsertDisk, OwnerMain, BoxOkCancel | BoxIconInformation, t) == AnswerCancel) {
        NotifyStopped();
        FatalAbort();
    }
    for (;;) {
        ArchiveFile = PlatOpenRead(VolumePath);
        if (ArchiveFile != PlatNoFile) {
            if (VerifyVolumeHeader()) return;
            PlatClose(ArchiveFile);
            ArchiveFile = PlatNoFile;
        }
        t = StartText(BoxText, sizeof BoxText);
        AppendText(t, TextDiskWrong);
        AppendDecimal(t, VolumeNumber);
        AppendText(t, TextInsertDiskAgain);
        AppendText(t, driveText);
        AppendText(t, TextInsertDiskB);
        if (Ask(MsgDiskRetry, OwnerProgress, BoxOkCancel | BoxIconHand, t) == AnswerCancel) FatalAbort();
    }
}

void OpenBesideProgram() {
    ArchiveFile = PlatOpenRead(VolumePath);
    if (ArchiveFile == PlatNoFile) VolumeFailure(MsgVolumeMissing, TextVolumeMissing);
    if (!VerifyVolumeHeader()) VolumeFailure(MsgVolumeDamaged, TextVolumeDamaged);
}

}  // namespace

void DetectRemovableMode() {
    char root[4] = {ProgramPath[0], ':', '\\', 0};
    size_t n = DirectoryPart(ProgramPath);
    RemovableMode = 0;
    if (ProgramPath[0] != 0 && n == 3 && ProgramPath[1] == ':' && ProgramPath[2] == '\\' &&
        PlatDriveIsRemovable(root))
        RemovableMode = 1;
}

void OpenNextVolume() {
    ++VolumeNumber;
    if (!PlatClose(ArchiveFile)) {
        ArchiveFile = PlatNoFile;
        ReadFailure();
    }
    ArchiveFile = PlatNoFile;

    TextBuilder name = StartText(VolumeName, sizeof VolumeName);
    AppendText(name, ArchiveHeader.VolumeBaseName.text);
    AppendText(name, "_");
    AppendDecimal(name, VolumeNumber);
    AppendText(name, ".DAT");

    char drive = DriveLetter();
    TextBuilder path = StartText(VolumePath, sizeof VolumePath);
    if (RemovableMode) {
        char root[4] = {drive, ':', '\\', 0};
        AppendText(path, root);
    } else {
        AppendBytes(path, ProgramPath, DirectoryPart(ProgramPath));
    }
    AppendText(path, VolumeName);
    // A name too long to be built cannot name an existing file; never open a shortened one.
    if (path.overflow || name.overflow) VolumePath[0] = 0;

    if (RemovableMode)
        OpenFromRemovableDrive(drive);
    else
        OpenBesideProgram();
}
