#include "container/fatal.h"
#include "container/texts.h"
#include "engine/extract.h"
#include "fsutil/folders.h"
#include "fsutil/text.h"
#include "platform/platform.h"
#include "ui/ui.h"

#include <shellapi.h>

char TargetFolder[PathCapacity];

namespace {

int Box(MessageId id, unsigned flags, const char* text, const char* subject) {
    return PlatMessageBox({id, OwnerMain, flags, text, subject});
}

// Reads the whole of FolderEdit, however long, into TargetFolder with its backslash.
bool ReadTargetFolder() {
    int n = GetWindowTextLengthA(FolderEdit) + 1;
    char* typed = static_cast<char*>(PlatAlloc(static_cast<size_t>(n)));
    if (typed == nullptr) return false;
    typed[0] = 0;
    GetWindowTextA(FolderEdit, typed, n);
    typed[n - 1] = 0;
    bool fits = AddTrailingBackslash(typed, TargetFolder, sizeof TargetFolder);
    PlatFree(typed);
    return fits;
}

// False when the command ends here and the dialog stays usable.
bool DestinationReady() {
    if (!ReadTargetFolder()) {
        Box(MsgCannotMakeFolder, BoxOk | BoxIconHand, TextCannotMakeFolder, "");
        return false;
    }
    switch (CheckDestination(TargetFolder)) {
    case FolderMissing:
        if (Box(MsgCreateFolderAsk, BoxYesNo | BoxIconQuestion, TextCreateFolderAsk, TargetFolder) != AnswerYes)
            return false;
        if (CreateFolderPath(TargetFolder) != 0) {
            Box(MsgCannotMakeFolder, BoxOk | BoxIconHand, TextCannotMakeFolder, TargetFolder);
            return false;
        }
        return true;
    case NotAFolder:
        Box(MsgCannotMakeFolder, BoxOk | BoxIconHand, TextCannotMakeFolder, TargetFolder);
        return false;
    default:
        return true;
    }
}

void OpenRunAfter() {
    const HeaderString& name = ArchiveHeader.RunAfter;
    SetCurrentDirectoryA(TargetFolder);
    HINSTANCE result = ShellExecuteA(nullptr, nullptr, name.text, nullptr, nullptr, SW_SHOWNORMAL);
    if (static_cast<INT_PTR>(reinterpret_cast<INT_PTR>(result)) > 32) return;
    size_t size = name.length + sizeof TextRunAfterFailed;
    char* text = static_cast<char*>(PlatAlloc(size));
    if (text == nullptr) return;
    TextBuilder t = StartText(text, size);
    AppendText(t, name.text);
    AppendText(t, TextRunAfterFailed);
    Box(MsgRunAfterFailed, BoxOk | BoxIconHand, text, name.text);
    PlatFree(text);
}

}  // namespace

void ExtractCommand() {
    if (!DestinationReady()) return;

    ShowWindow(ProgressWindow, SW_SHOW);
    UpdateWindow(ProgressWindow);
    EnableWindow(MainWindow, FALSE);
    ExtractEntries(TargetFolder);
    ShowWindow(ProgressWindow, SW_HIDE);

    if (CancelRequested) {
        NotifyStopped();
    } else {
        Box(MsgFinished, BoxOk | BoxIconInformation, TextFinished, "");
        // The user has closed the completion box before the named program starts.
        if (ArchiveHeader.RunAfter.length != 0) OpenRunAfter();
    }
    // There is no way back to the dialog after an extraction: this ends the run.
    PostMessageA(MainWindow, WM_DESTROY, 0, 0);
}
