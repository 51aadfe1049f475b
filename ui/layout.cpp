#include "ui/layout.h"

#include "fsutil/folders.h"

MainWindowLayout LayOutMainWindow(int32_t charWidth, int32_t lineHeight, TextExtent messageLabel,
                                  TextExtent folderLabel, TextExtent browseCaption) {
    const int32_t cw = charWidth;
    const int32_t lh = lineHeight;
    const int32_t buttonWidth = browseCaption.cx + cw;
    const int32_t buttonHeight = 3 * browseCaption.cy / 2;
    MainWindowLayout l;
    l.width = 70 * cw;
    l.height = 20 * lh;
    l.messageLabel = {1, 1, messageLabel.cx, messageLabel.cy};
    l.folderLabel = {1, 13 * lh, folderLabel.cx, folderLabel.cy};
    l.extractButton = {60 * cw, 17 * lh - lh / 4, buttonWidth, buttonHeight};
    l.browseButton = {60 * cw, 14 * lh - lh / 4, buttonWidth, buttonHeight};
    l.messageEdit = {cw - 2, 3 * lh / 2 - 2, 67 * cw, 11 * lh + 2};
    l.folderEdit = {cw - 2, 14 * lh, 57 * cw + 4, lh + 2};
    return l;
}

ProgressWindowLayout LayOutProgressWindow(int32_t charWidth, int32_t lineHeight, TextExtent cancelCaption,
                                          int32_t desktopRight, int32_t desktopBottom) {
    ProgressWindowLayout l;
    // Centred as if eight lines tall, so the seven-line window sits half a line high.
    l.window = {(desktopRight - 70 * charWidth) / 2, (desktopBottom - 8 * lineHeight) / 2, 70 * charWidth,
                7 * lineHeight};
    l.statusLine = {2, lineHeight, 70 * charWidth, lineHeight};
    l.cancelButton = {30 * charWidth, 3 * lineHeight, cancelCaption.cx + charWidth, 3 * cancelCaption.cy / 2};
    return l;
}

size_t ProgramFolderFromCommandLine(const char* programPath, const char* commandLine, char* out,
                                    size_t capacity) {
    size_t wanted = DirectoryPart(programPath);
    // A drive root keeps its backslash; any deeper folder loses it.
    if (wanted > 3) --wanted;
    const char* from = commandLine + (commandLine[0] == '"' ? 1 : 0);
    size_t n = 0;
    while (n < wanted && n + 1 < capacity && from[n] != 0) {
        out[n] = from[n];
        ++n;
    }
    out[n] = 0;
    return n;
}
