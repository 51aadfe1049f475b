#include "container/texts.h"
#include "container/volumes.h"
#include "platform/platform.h"
#include "ui/layout.h"
#include "ui/ui.h"

HWND MainWindow;
HWND MessageEdit;
HWND FolderEdit;
HWND ExtractButton;
HWND BrowseButton;
int32_t CharWidth;
int32_t LineHeight;
char DestinationPath[ShellPathCapacity + 1];

namespace {

TextExtent Measure(HDC dc, const char* text, int bytes) {
    SIZE size = {0, 0};
    GetTextExtentPoint32A(dc, text, bytes, &size);
    return {size.cx, size.cy};
}

HWND CreateChild(HWND parent, const char* className, const char* text, DWORD style, const ControlBox& box,
                 int id) {
    return CreateWindowExA(0, className, text, style, box.x, box.y, box.width, box.height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ModuleInstance, nullptr);
}

void CreateContents(HWND window) {
    HDC dc = GetDC(window);
    SelectObject(dc, GetStockObject(SYSTEM_FONT));
    TEXTMETRICA metrics;
    GetTextMetricsA(dc, &metrics);
    CharWidth = metrics.tmAveCharWidth;
    LineHeight = metrics.tmHeight + metrics.tmExternalLeading;

    WINDOWPLACEMENT placement;
    placement.length = sizeof placement;
    placement.flags = 0;
    GetWindowPlacement(window, &placement);
    MoveWindow(window, placement.rcNormalPosition.left, placement.rcNormalPosition.top, 70 * CharWidth,
               20 * LineHeight, TRUE);

    const TextExtent messageText = Measure(dc, TextMessageLabel, sizeof TextMessageLabel - 1);
    const TextExtent folderText = Measure(dc, TextFolderLabel, sizeof TextFolderLabel - 1);
    const TextExtent browseText = Measure(dc, TextBrowseButton, sizeof TextBrowseButton - 1);
    const MainWindowLayout l = LayOutMainWindow(CharWidth, LineHeight, messageText, folderText, browseText);
    const DWORD plain = WS_CHILD | WS_VISIBLE;
    CreateChild(window, "static", TextMessageLabel, plain, l.messageLabel, 4);
    CreateChild(window, "static", TextFolderLabel, plain, l.folderLabel, 6);
    ExtractButton = CreateChild(window, "button", TextExtractButton, plain, l.extractButton, 3);
    BrowseButton = CreateChild(window, "button", TextBrowseButton, plain, l.browseButton, 8);
    ReleaseDC(window, dc);

    MessageEdit = CreateChild(window, "edit", nullptr,
                              plain | WS_BORDER | WS_VSCROLL | ES_READONLY | ES_MULTILINE, l.messageEdit, 1);
    DefaultDestination();
    FolderEdit = CreateChild(window, "edit", DestinationPath, plain | WS_BORDER | ES_AUTOHSCROLL, l.folderEdit, 7);
}

void WindowsDriveRoot() {
    DestinationPath[0] = 0;
    UINT needed = GetWindowsDirectoryA(nullptr, 0);
    if (needed == 0) return;
    char* folder = static_cast<char*>(PlatAlloc(needed));
    if (folder == nullptr) return;
    UINT got = GetWindowsDirectoryA(folder, needed);
    if (got >= 3 && got < needed) {
        DestinationPath[0] = folder[0];
        DestinationPath[1] = folder[1];
        DestinationPath[2] = folder[2];
        DestinationPath[3] = 0;
    }
    PlatFree(folder);
}

}  // namespace

void DefaultDestination() {
    if (RemovableMode)
        WindowsDriveRoot();
    else
        ProgramFolderFromCommandLine(ProgramPath, GetCommandLineA(), DestinationPath, sizeof DestinationPath);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        CreateContents(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED) {
            // Recognised by handle: only the two buttons act, and only when clicked.
            HWND control = reinterpret_cast<HWND>(lParam);
            if (control != nullptr && control == ExtractButton) {
                ExtractCommand();
                return 0;
            }
            if (control != nullptr && control == BrowseButton) {
                BrowseForDestination();
                return 0;
            }
        }
        break;
    case WM_CTLCOLORSTATIC:
        // A read-only edit asks with this message; white sets the message apart.
        if (MessageEdit != nullptr && reinterpret_cast<HWND>(lParam) == MessageEdit)
            return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
