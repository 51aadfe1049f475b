#include "container/archive.h"
#include "container/texts.h"
#include "container/volumes.h"
#include "runtime/runtime.h"
#include "ui/layout.h"
#include "ui/ui.h"

HINSTANCE ModuleInstance;

namespace {

struct ImageRegionRecord {
    void* base;
    SIZE_T size;
    DWORD previousProtection;
    bool protectionChanged;  // nothing is restored that was never changed
    bool queried;
};

ImageRegionRecord ImageRegion;

// A setup file usually runs from a download folder, where a planted DLL of a common
// name would otherwise be loaded by the shell's folder browser or other system code.
// Looked up by name: kernels without these calls still run the stub.
void RestrictDllSearch() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) return;
    typedef BOOL(WINAPI * SetDefaultDirectories)(DWORD);
    typedef BOOL(WINAPI * SetDirectory)(LPCSTR);
    auto setDefault = reinterpret_cast<SetDefaultDirectories>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDefault != nullptr) setDefault(0x00000800);  // LOAD_LIBRARY_SEARCH_SYSTEM32
    auto setDirectory =
        reinterpret_cast<SetDirectory>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetDllDirectoryA")));
    if (setDirectory != nullptr) setDirectory("");  // also drops the current folder
}

[[noreturn]] void EndSilently() { EndProcess(1); }

WNDCLASSA ClassFields(WNDPROC procedure, const char* name, HICON icon, HCURSOR arrow) {
    WNDCLASSA c;
    c.style = 0;
    c.lpfnWndProc = procedure;
    c.cbClsExtra = 0;
    c.cbWndExtra = 0;
    c.hInstance = ModuleInstance;
    c.hIcon = icon;
    c.hCursor = arrow;
    c.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    c.lpszMenuName = nullptr;
    c.lpszClassName = name;
    return c;
}

// The main class carries the small icon too, so it takes the extended structure.
bool RegisterMainClass(HICON icon, HCURSOR arrow) {
    const WNDCLASSA c = ClassFields(MainWindowProc, "core_division", icon, arrow);
    WNDCLASSEXA e = {sizeof e,     c.style,   c.lpfnWndProc,   c.cbClsExtra,   c.cbWndExtra,    c.hInstance,
                     c.hIcon,      c.hCursor, c.hbrBackground, c.lpszMenuName, c.lpszClassName, icon};
    return RegisterClassExA(&e) != 0;
}

bool RegisterProgressClass(HICON icon, HCURSOR arrow) {
    const WNDCLASSA c = ClassFields(ProgressWindowProc, "progress_window", icon, arrow);
    return RegisterClassA(&c) != 0;
}

void CreateProgressWindow() {
    RECT desktop = {0, 0, 0, 0};
    GetWindowRect(GetDesktopWindow(), &desktop);
    const ProgressWindowLayout l = LayOutProgressWindow(CharWidth, LineHeight, {0, 0}, desktop.right, desktop.bottom);
    ProgressWindow = CreateWindowExA(0, "progress_window", TextProgressTitle, WS_CAPTION, l.window.x, l.window.y,
                                     l.window.width, l.window.height, MainWindow, nullptr, ModuleInstance, nullptr);
}

}  // namespace

void LockImageRegion() {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(ModuleInstance, &info, sizeof info) == 0) return;
    ImageRegion.base = info.BaseAddress;
    ImageRegion.size = info.RegionSize;
    ImageRegion.queried = true;
    DWORD previous = 0;
    if (VirtualProtect(ImageRegion.base, ImageRegion.size, PAGE_EXECUTE_READWRITE, &previous)) {
        ImageRegion.previousProtection = previous;
        ImageRegion.protectionChanged = true;
        // Touching every page for writing makes each one the process's own before it
        // is locked; volatile keeps the stores that change no byte.
        volatile unsigned char* p = static_cast<volatile unsigned char*>(ImageRegion.base);
        for (SIZE_T i = 0; i < ImageRegion.size; ++i) p[i] = p[i];
    }
    VirtualLock(ImageRegion.base, ImageRegion.size);
}

void UnlockImageRegion() {
    if (!ImageRegion.queried) return;
    VirtualUnlock(ImageRegion.base, ImageRegion.size);
    DWORD ignored = 0;
    if (ImageRegion.protectionChanged)
        VirtualProtect(ImageRegion.base, ImageRegion.size, ImageRegion.previousProtection, &ignored);
}

extern "C" __attribute__((force_align_arg_pointer, noreturn)) void StubEntry() {
    RestrictDllSearch();
    ModuleInstance = GetModuleHandleA(nullptr);
    GetModuleFileNameA(nullptr, ProgramPath, ShellPathCapacity);

    LockImageRegion();
    RegisterExitHandler(UnlockImageRegion);
    DetectRemovableMode();

    HICON icon = LoadIconA(ModuleInstance, "division_icon");
    HCURSOR arrow = LoadCursorA(nullptr, IDC_ARROW);
    if (!RegisterMainClass(icon, arrow)) EndSilently();
    MainWindow = CreateWindowExA(0, "core_division", TextBanner, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                 ModuleInstance, nullptr);
    if (!RegisterProgressClass(icon, arrow)) EndSilently();
    CreateProgressWindow();

    OpenArchive();
    ShowWindow(MainWindow, SW_SHOW);
    UpdateWindow(MainWindow);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) != 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    EndProcess(static_cast<int>(message.wParam));
}
