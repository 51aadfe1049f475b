#include "container/texts.h"
#include "ui/ui.h"

#include <shlobj.h>

namespace {

char DesktopFolder[ShellPathCapacity];
char ChosenFolder[ShellPathCapacity];
char DisplayName[ShellPathCapacity];

// Up to the first NUL, at most a shell path's length.
void CopyShellPath(char* to, const char* from) {
    int n = 0;
    while (n < ShellPathCapacity && from[n] != 0) {
        to[n] = from[n];
        ++n;
    }
    to[n] = 0;
}

bool SameShellPath(const char* a, const char* b) {
    for (int n = 0; n < ShellPathCapacity; ++n) {
        if (a[n] != b[n]) return false;
        if (a[n] == 0) return true;
    }
    return true;
}

// False when the desktop's path cannot be had: the stored destination is then always
// pre-selected, which is what the user saw last.
bool FindDesktopFolder(IMalloc* allocator) {
    LPITEMIDLIST desktop = nullptr;
    DesktopFolder[0] = 0;
    if (FAILED(SHGetSpecialFolderLocation(MainWindow, CSIDL_DESKTOPDIRECTORY, &desktop)) || desktop == nullptr)
        return false;
    BOOL converted = SHGetPathFromIDListA(desktop, DesktopFolder);
    allocator->Free(desktop);
    return converted != FALSE;
}

}  // namespace

int CALLBACK BrowseCallback(HWND dialog, UINT message, LPARAM, LPARAM) {
    if (message == BFFM_INITIALIZED)
        SendMessageA(dialog, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(DestinationPath));
    return 0;
}

void BrowseForDestination() {
    IMalloc* allocator = nullptr;
    if (FAILED(SHGetMalloc(&allocator)) || allocator == nullptr) return;
    bool desktopKnown = FindDesktopFolder(allocator);

    BROWSEINFOA info;
    info.hwndOwner = MainWindow;
    info.pidlRoot = nullptr;
    info.pszDisplayName = DisplayName;
    info.lpszTitle = TextBrowseTitle;
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN;
    // At the desktop the browser's own default selection is the same place.
    info.lpfn = desktopKnown && SameShellPath(DestinationPath, DesktopFolder) ? nullptr : BrowseCallback;
    info.lParam = 0;
    info.iImage = 0;

    LPITEMIDLIST chosen = SHBrowseForFolderA(&info);
    if (chosen != nullptr) {
        ChosenFolder[0] = 0;
        SHGetPathFromIDListA(chosen, ChosenFolder);
        SetWindowTextA(FolderEdit, ChosenFolder);
        CopyShellPath(DestinationPath, ChosenFolder);
        allocator->Free(chosen);
    }
    allocator->Release();
}
