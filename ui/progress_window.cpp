#include "container/texts.h"
#include "engine/extract.h"
#include "ui/layout.h"
#include "ui/ui.h"

HWND ProgressWindow;
HWND StatusLine;
HWND CancelButton;

namespace {

void CreateContents(HWND window) {
    // Measured with the context's own font, the default font the controls draw with.
    HDC dc = GetDC(window);
    SIZE size = {0, 0};
    GetTextExtentPoint32A(dc, TextCancelButton, sizeof TextCancelButton - 1, &size);
    ReleaseDC(window, dc);
    const ProgressWindowLayout l = LayOutProgressWindow(CharWidth, LineHeight, {size.cx, size.cy}, 0, 0);
    StatusLine = CreateWindowExA(0, "static", nullptr, WS_CHILD | WS_VISIBLE, l.statusLine.x, l.statusLine.y,
                                 l.statusLine.width, l.statusLine.height, window, reinterpret_cast<HMENU>(1),
                                 ModuleInstance, nullptr);
    CancelButton = CreateWindowExA(0, "button", TextCancelButton, WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON,
                                   l.cancelButton.x, l.cancelButton.y, l.cancelButton.width,
                                   l.cancelButton.height, window, reinterpret_cast<HMENU>(2), ModuleInstance,
                                   nullptr);
}

}  // namespace

LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        CreateContents(window);
        return 0;
    }
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && CancelButton != nullptr &&
        reinterpret_cast<HWND>(lParam) == CancelButton) {
        // Only raised here; the extraction loop notices it at its next test.
        CancelRequested = 1;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
