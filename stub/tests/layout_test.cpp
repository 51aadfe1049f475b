// The stub's window geometry and default destination, computed natively with the
// same code the stub runs.
#include <gtest/gtest.h>

#include <string>

#include "ui/layout.h"

namespace {

void ExpectBox(const ControlBox& box, int32_t x, int32_t y, int32_t width, int32_t height) {
    EXPECT_EQ(box.x, x);
    EXPECT_EQ(box.y, y);
    EXPECT_EQ(box.width, width);
    EXPECT_EQ(box.height, height);
}

std::string Folder(const char* programPath, const char* commandLine, size_t capacity = 262) {
    char out[262];
    size_t n = ProgramFolderFromCommandLine(programPath, commandLine, out, capacity);
    EXPECT_EQ(n, std::string(out).size());
    return out;
}

TEST(MainWindowLayout, EightBySixteenUnits) {
    MainWindowLayout l = LayOutMainWindow(8, 16, {80, 16}, {112, 16}, {56, 16});
    EXPECT_EQ(l.width, 560);
    EXPECT_EQ(l.height, 320);
    ExpectBox(l.messageLabel, 1, 1, 80, 16);
    ExpectBox(l.folderLabel, 1, 208, 112, 16);
    ExpectBox(l.extractButton, 480, 268, 64, 24);
    ExpectBox(l.browseButton, 480, 220, 64, 24);
    ExpectBox(l.messageEdit, 6, 22, 536, 178);
    ExpectBox(l.folderEdit, 6, 224, 460, 18);
}

// Wine without its own fonts falls back to a CJK system font of 8 by 17: every
// division by 2 or 4 then truncates.
TEST(MainWindowLayout, OddLineHeightTruncates) {
    MainWindowLayout l = LayOutMainWindow(8, 17, {80, 17}, {112, 17}, {56, 17});
    EXPECT_EQ(l.height, 340);
    ExpectBox(l.extractButton, 480, 17 * 17 - 4, 64, 25);
    ExpectBox(l.browseButton, 480, 14 * 17 - 4, 64, 25);
    ExpectBox(l.messageEdit, 6, 23, 536, 189);
    ExpectBox(l.folderEdit, 6, 238, 460, 19);
}

TEST(ProgressWindowLayout, CentredHalfALineHigh) {
    ProgressWindowLayout l = LayOutProgressWindow(8, 16, {60, 16}, 1024, 768);
    ExpectBox(l.window, (1024 - 560) / 2, (768 - 128) / 2, 560, 112);
    ExpectBox(l.statusLine, 2, 16, 560, 16);
    ExpectBox(l.cancelButton, 240, 48, 68, 24);
}

TEST(ProgressWindowLayout, NarrowDesktopRoundsTowardZero) {
    ProgressWindowLayout l = LayOutProgressWindow(8, 16, {60, 17}, 555, 123);
    EXPECT_EQ(l.window.x, -2);
    EXPECT_EQ(l.window.y, -2);
    EXPECT_EQ(l.cancelButton.height, 25);
}

TEST(DefaultDestination, QuotedFullPathGivesTheFolder) {
    EXPECT_EQ(Folder("C:\\Tools\\setup.exe", "\"C:\\Tools\\setup.exe\""), "C:\\Tools");
    EXPECT_EQ(Folder("C:\\Tools\\setup.exe", "C:\\Tools\\setup.exe /x"), "C:\\Tools");
}

TEST(DefaultDestination, DriveRootKeepsItsBackslash) {
    EXPECT_EQ(Folder("D:\\setup.exe", "\"D:\\setup.exe\""), "D:\\");
}

// The length comes from the module path, the bytes from the command line.
TEST(DefaultDestination, BytesComeFromTheCommandLine) {
    EXPECT_EQ(Folder("C:\\Tools\\setup.exe", "c:\\tools\\SETUP.EXE"), "c:\\tools");
    EXPECT_EQ(Folder("C:\\Tools\\setup.exe", "setup"), "setup");
    EXPECT_EQ(Folder("C:\\Tools\\setup.exe", "\""), "");
    EXPECT_EQ(Folder("C:\\Tools\\setup.exe", ""), "");
    EXPECT_EQ(Folder("setup.exe", "\"setup.exe\""), "");
}

// 表 is 0x95 0x5C in code page 932: its trail byte is not a folder separator.
TEST(DefaultDestination, TrailByteBackslashIsNoSeparator) {
    const char* path = "C:\\\x95\x5C\\setup.exe";
    EXPECT_EQ(Folder(path, path), "C:\\\x95\x5C");
    const char* inside = "C:\\a\x95\x5C" "b.exe";
    EXPECT_EQ(Folder(inside, inside), "C:\\");
}

TEST(DefaultDestination, NeverWritesPastTheBuffer) {
    EXPECT_EQ(Folder("C:\\Tools\\setup.exe", "C:\\Tools\\setup.exe", 4), "C:\\");
}

}  // namespace
