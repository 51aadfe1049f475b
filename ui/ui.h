// The stub's windows: the handles and layout units that the window procedures, the
// extract command and the Win32 side of the seam share.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "container/archive.h"

// The longest path the shell and the module file name hand over, with its NUL.
constexpr int ShellPathCapacity = 261;

extern HINSTANCE ModuleInstance;
extern HWND MainWindow;
extern HWND ProgressWindow;
extern HWND MessageEdit;
extern HWND FolderEdit;
extern HWND ExtractButton;
extern HWND BrowseButton;
extern HWND StatusLine;
extern HWND CancelButton;

extern int32_t CharWidth;
extern int32_t LineHeight;

// The stored destination: the default, then the last folder confirmed in the browser.
extern char DestinationPath[ShellPathCapacity + 1];
// The confirmed destination of the extract command, always ending with a backslash.
extern char TargetFolder[PathCapacity];

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void DefaultDestination();
void ExtractCommand();
void BrowseForDestination();
int CALLBACK BrowseCallback(HWND dialog, UINT message, LPARAM lParam, LPARAM data);

void LockImageRegion();
void UnlockImageRegion();
