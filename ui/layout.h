// Window geometry from the system font's units, and the default destination. Kept
// free of Win32 so that the native tests check the same arithmetic the stub runs.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct TextExtent {
    int32_t cx;
    int32_t cy;
};

struct ControlBox {
    int32_t x, y, width, height;
};

struct MainWindowLayout {
    int32_t width, height;  // outer size of the window
    ControlBox messageLabel, folderLabel, extractButton, browseButton, messageEdit, folderEdit;
};

struct ProgressWindowLayout {
    ControlBox window;  // screen position and outer size
    ControlBox statusLine, cancelButton;
};

// Extents are those of the two labels' texts and of the browse caption, which sizes
// both buttons.
MainWindowLayout LayOutMainWindow(int32_t charWidth, int32_t lineHeight, TextExtent messageLabel,
                                  TextExtent folderLabel, TextExtent browseCaption);

// The desktop's right and bottom edges centre the window; its left and top never count.
ProgressWindowLayout LayOutProgressWindow(int32_t charWidth, int32_t lineHeight, TextExtent cancelCaption,
                                          int32_t desktopRight, int32_t desktopBottom);

// The program's folder as the command line spells it: the length comes from the
// module path, the bytes from the command line. Writes at most capacity - 1 bytes and
// a NUL; returns the length written.
size_t ProgramFolderFromCommandLine(const char* programPath, const char* commandLine, char* out,
                                    size_t capacity);
