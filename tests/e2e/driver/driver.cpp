// Test driver for sfx.exe under Wine: starts the stub, follows a line script, and writes a
// transcript of JSON lines (UTF-8) that the Linux side of a test reads.
//
//   driver.exe TRANSCRIPT SCRIPT
//
// Script commands, one a line (arguments after the first space; texts are UTF-8):
//   start EXE|CMDLINE|DIR    start EXE with that command line (and current folder, optional)
//   wait-main / wait-progress wait until the window is visible
//   dump-main / dump-progress write the window with all its children and the measured units
//   wait-status TEXT          wait until the progress window's status line contains TEXT
//   type TEXT                 replace the text of the folder field
//   click extract|browse|cancel [N]   click (N times at once) when window and button take input
//   expect-box TEXT           wait for a message box whose text contains TEXT and record it
//   press ok|cancel|yes|no    press a button of the box last expected
//   move-box X Y              move that box, so that a screenshot shows what lies below it
//   box BUTTON TEXT           expect-box TEXT, then press BUTTON
//   no-box MS                 fail if a message box shows up within MS milliseconds
//   sync NAME                 ask the Linux side to act (screenshot, file change) and wait for it
//   close-main                close the main window through its caption
//   exit                      wait for the stub to end and record its exit code
//
// Every wait has a time limit; when one runs out the driver records what windows exist,
// ends the stub and exits with code 2, so a broken stub fails a test instead of hanging it.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

FILE* transcript = nullptr;
std::string syncFolder;
PROCESS_INFORMATION stub{};
bool stubStarted = false;
HWND lastBox = nullptr;
int failures = 0;
const DWORD DefaultTimeoutMs = 30000;

std::string Utf8FromWide(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
  return s;
}

std::wstring WideFrom(UINT codePage, const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(codePage, 0, s.data(), (int)s.size(), nullptr, 0);
  std::wstring w(n, L'\0');
  MultiByteToWideChar(codePage, 0, s.data(), (int)s.size(), &w[0], n);
  return w;
}

std::string Cp932FromUtf8(const std::string& s) {
  std::wstring w = WideFrom(CP_UTF8, s);
  if (w.empty()) return {};
  int n = WideCharToMultiByte(932, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(932, 0, w.data(), (int)w.size(), &out[0], n, nullptr, nullptr);
  return out;
}

std::string Utf8FromCp932(const std::string& s) { return Utf8FromWide(WideFrom(932, s)); }

std::string Json(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += (char)c;
        }
    }
  }
  return out + "\"";
}

void Emit(const std::string& jsonObject) {
  fputs(jsonObject.c_str(), transcript);
  fputc('\n', transcript);
  fflush(transcript);
}

void Fail(const std::string& why) {
  ++failures;
  Emit("{\"event\":\"error\",\"what\":" + Json(why) + "}");
}

// Text of a window in the stub, as the stub's own bytes (the ANSI code page is 932 there).
std::string RawText(HWND w) {
  int n = (int)SendMessageA(w, WM_GETTEXTLENGTH, 0, 0);
  std::string s(n + 1, '\0');
  int got = (int)SendMessageA(w, WM_GETTEXT, n + 1, (LPARAM)&s[0]);
  s.resize(got > 0 ? got : 0);
  return s;
}

std::string ClassOf(HWND w) {
  char buf[256] = {};
  GetClassNameA(w, buf, sizeof buf);
  return buf;
}

bool OwnedByStub(HWND w) {
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  return stubStarted && pid == stub.dwProcessId;
}

struct Search {
  std::string cls;
  bool visibleOnly;
  HWND found;
};

BOOL CALLBACK FindTop(HWND w, LPARAM p) {
  Search* s = reinterpret_cast<Search*>(p);
  if (!OwnedByStub(w) || ClassOf(w) != s->cls) return TRUE;
  if (s->visibleOnly && !IsWindowVisible(w)) return TRUE;
  s->found = w;
  return FALSE;
}

HWND FindStubWindow(const std::string& cls, bool visibleOnly) {
  Search s{cls, visibleOnly, nullptr};
  EnumWindows(FindTop, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

bool StubEnded() {
  return stubStarted && WaitForSingleObject(stub.hProcess, 0) == WAIT_OBJECT_0;
}

void RecordWindows();

// Waits for a condition; gives up after the limit, or at once when the stub has ended,
// because nothing it was expected to show can appear any more.
template <typename Cond>
bool WaitFor(Cond cond, const std::string& what, DWORD limitMs = DefaultTimeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (cond()) return true;
    if (StubEnded()) {
      if (cond()) return true;
      DWORD code = 0;
      GetExitCodeProcess(stub.hProcess, &code);
      Fail("stub ended with code " + std::to_string(code) + " while waiting for " + what);
      return false;
    }
    if (GetTickCount() - start > limitMs) {
      Fail("timed out waiting for " + what);
      RecordWindows();
      return false;
    }
    Sleep(10);
  }
}

std::string Owner(HWND w) {
  HWND o = GetWindow(w, GW_OWNER);
  if (!o) return "none";
  std::string c = ClassOf(o);
  if (c == "core_division") return "main";
  if (c == "progress_window") return "progress";
  return "other:" + c;
}

std::string RectJson(const RECT& r) {
  char buf[128];
  snprintf(buf, sizeof buf, "[%ld,%ld,%ld,%ld]", r.left, r.top, r.right - r.left, r.bottom - r.top);
  return buf;
}

struct Units {
  int charWidth, lineHeight;
};

Units MeasureUnits() {
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, GetStockObject(SYSTEM_FONT));
  TEXTMETRICA tm{};
  GetTextMetricsA(dc, &tm);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return {tm.tmAveCharWidth, tm.tmHeight + tm.tmExternalLeading};
}

// Extent of a text in the system font, the font the stub lays itself out with.
SIZE Extent(const std::string& cp932) {
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, GetStockObject(SYSTEM_FONT));
  SIZE sz{};
  GetTextExtentPoint32A(dc, cp932.data(), (int)cp932.size(), &sz);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return sz;
}

std::string ExtentJson(const char* utf8) {
  SIZE s = Extent(Cp932FromUtf8(utf8));
  char buf[64];
  snprintf(buf, sizeof buf, "[%ld,%ld]", s.cx, s.cy);
  return buf;
}

std::string WindowJson(HWND w) {
  RECT wr{}, cr{};
  GetWindowRect(w, &wr);
  GetClientRect(w, &cr);
  POINT origin{0, 0};
  ClientToScreen(w, &origin);
  char head[512];
  snprintf(head, sizeof head,
           "\"class\":%s,\"style\":%lu,\"exstyle\":%lu,\"enabled\":%s,\"visible\":%s,"
           "\"rect\":%s,\"client\":%s,\"client_origin\":[%ld,%ld],\"owner\":%s",
           Json(ClassOf(w)).c_str(), (unsigned long)GetWindowLongA(w, GWL_STYLE),
           (unsigned long)GetWindowLongA(w, GWL_EXSTYLE), IsWindowEnabled(w) ? "true" : "false",
           IsWindowVisible(w) ? "true" : "false", RectJson(wr).c_str(), RectJson(cr).c_str(),
           origin.x, origin.y, Json(Owner(w)).c_str());
  return std::string(head) + ",\"text\":" + Json(Utf8FromCp932(RawText(w)));
}

BOOL CALLBACK CollectChild(HWND w, LPARAM p) {
  reinterpret_cast<std::vector<HWND>*>(p)->push_back(w);
  return TRUE;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> all, direct;
  EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&all));
  for (HWND c : all)
    if (GetParent(c) == parent) direct.push_back(c);
  return direct;
}

void DumpWindow(const char* name, HWND w) {
  Units u = MeasureUnits();
  RECT desk{};
  GetWindowRect(GetDesktopWindow(), &desk);
  std::string out = std::string("{\"event\":\"window\",\"name\":\"") + name + "\"," + WindowJson(w);
  char units[256];
  snprintf(units, sizeof units, ",\"char_width\":%d,\"line_height\":%d,\"desktop\":%s,\"acp\":%u",
           u.charWidth, u.lineHeight, RectJson(desk).c_str(), GetACP());
  out += units;
  out += ",\"extents\":{\"message_label\":" + ExtentJson("メッセージ") +
         ",\"folder_label\":" + ExtentJson("解凍先フォルダ") +
         ",\"browse\":" + ExtentJson("参照...") + ",\"cancel\":" + ExtentJson("キャンセル") + "}";
  out += ",\"children\":[";
  bool first = true;
  for (HWND c : Children(w)) {
    RECT r{};
    GetWindowRect(c, &r);
    MapWindowPoints(nullptr, w, reinterpret_cast<POINT*>(&r), 2);
    char head[64];
    snprintf(head, sizeof head, "{\"id\":%d,\"pos\":%s,", GetDlgCtrlID(c), RectJson(r).c_str());
    out += (first ? "" : ",") + std::string(head) + WindowJson(c) + "}";
    first = false;
  }
  Emit(out + "]}");
}

BOOL CALLBACK RecordOne(HWND w, LPARAM) {
  if (OwnedByStub(w)) Emit("{\"event\":\"existing\"," + WindowJson(w) + "}");
  return TRUE;
}

void RecordWindows() { EnumWindows(RecordOne, 0); }

BOOL CALLBACK FindBox(HWND w, LPARAM p) {
  if (OwnedByStub(w) && IsWindowVisible(w) && ClassOf(w) == "#32770") {
    *reinterpret_cast<HWND*>(p) = w;
    return FALSE;
  }
  return TRUE;
}

HWND CurrentBox() {
  HWND found = nullptr;
  EnumWindows(FindBox, reinterpret_cast<LPARAM>(&found));
  return found;
}

std::string BoxText(HWND box) {
  HWND text = GetDlgItem(box, 65535);
  return text ? Utf8FromCp932(RawText(text)) : std::string();
}

// The icon's flag is not readable from another process, but its colour is on the screen:
// the stop icon is red, the information and question icons blue, the warning icon yellow.
// With the buttons that tells every box style the stub uses apart.
std::string IconColour(HWND box) {
  HWND icon = GetDlgItem(box, 1088);
  if (!icon) return "none";
  RECT r{};
  GetWindowRect(icon, &r);
  int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return "none";
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, dib);
  BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  int red = 0, blue = 0, yellow = 0;
  const unsigned char* p = static_cast<const unsigned char*>(bits);
  for (int i = 0; p && i < w * h; ++i) {
    int b = p[4 * i], g = p[4 * i + 1], rr = p[4 * i + 2];
    if (rr > 150 && g < 110 && b < 110) ++red;
    else if (b > 130 && rr < 110) ++blue;
    else if (rr > 180 && g > 150 && b < 90) ++yellow;
  }
  SelectObject(mem, old);
  DeleteObject(dib);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  int most = red > blue ? (red > yellow ? red : yellow) : (blue > yellow ? blue : yellow);
  if (most < 20) return "none";
  return most == red ? "red" : most == blue ? "blue" : "yellow";
}

// Waits until the window and the control would take a user's click: a posted click
// reaches a disabled button under Wine, which no user could do.
bool ClickWhenReady(HWND top, HWND button, const std::string& what, int times = 1) {
  if (!WaitFor([&] { return IsWindowVisible(top) && IsWindowEnabled(top) && IsWindowEnabled(button); },
               what + " enabled"))
    return false;
  // Repeated clicks are posted together, as a quick double click lands: waiting between
  // them would find the window already gone once the first has been acted on.
  for (int i = 0; i < times; ++i) PostMessageA(button, BM_CLICK, 0, 0);
  Emit("{\"event\":\"click\",\"what\":" + Json(what) + ",\"times\":" + std::to_string(times) + "}");
  return true;
}

HWND ChildById(HWND parent, int id) {
  for (HWND c : Children(parent))
    if (GetDlgCtrlID(c) == id) return c;
  return nullptr;
}

bool ExpectBox(const std::string& text) {
  HWND box = nullptr;
  if (!WaitFor([&] { return (box = CurrentBox()) != nullptr && !BoxText(box).empty(); },
               "message box " + text))
    return false;
  // The box may still be laying itself out; let its buttons appear before reading them.
  WaitFor([&] { return IsWindowEnabled(box); }, "box enabled", 5000);
  lastBox = box;
  // The box paints itself from its own message loop; give it a moment to show its icon.
  std::string colour = "none";
  for (int i = 0; i < 50 && (colour = IconColour(box)) == "none"; ++i) Sleep(20);
  std::string got = BoxText(box);
  std::string buttons;
  const struct { int id; const char* name; } known[] = {{1, "ok"}, {2, "cancel"}, {6, "yes"}, {7, "no"},
                                                         {3, "abort"}, {4, "retry"}, {5, "ignore"}};
  for (auto& k : known) {
    HWND b = GetDlgItem(box, k.id);
    if (b && IsWindowVisible(b)) buttons += std::string(buttons.empty() ? "" : ",") + "\"" + k.name + "\"";
  }
  std::string caption = Utf8FromCp932(RawText(box));
  RECT r{};
  GetWindowRect(box, &r);
  Emit("{\"event\":\"box\",\"text\":" + Json(got) + ",\"caption\":" + Json(caption) + ",\"owner\":" +
       Json(Owner(box)) + ",\"rect\":" + RectJson(r) + ",\"icon\":" + Json(colour) + ",\"buttons\":[" +
       buttons + "]}");
  if (got.find(text) == std::string::npos) {
    Fail("box text " + got + " lacks " + text);
    return false;
  }
  return true;
}

bool Press(const std::string& which) {
  int id = which == "ok" ? IDOK : which == "cancel" ? IDCANCEL : which == "yes" ? IDYES : which == "no" ? IDNO : 0;
  if (!lastBox || !id) {
    Fail("press " + which + " without a box");
    return false;
  }
  HWND b = GetDlgItem(lastBox, id);
  if (!b) {
    Fail("box has no button " + which);
    return false;
  }
  HWND box = lastBox;
  if (!ClickWhenReady(box, b, "box " + which)) return false;
  lastBox = nullptr;
  return WaitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); }, "box closed");
}

bool Sync(const std::string& name) {
  std::string req = syncFolder + "\\" + name + ".req", done = syncFolder + "\\" + name + ".done";
  FILE* f = fopen(req.c_str(), "wb");
  if (!f) {
    Fail("cannot write " + req);
    return false;
  }
  fclose(f);
  DWORD start = GetTickCount();
  while (GetFileAttributesA(done.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (GetTickCount() - start > DefaultTimeoutMs) {
      Fail("no answer to sync " + name);
      return false;
    }
    Sleep(20);
  }
  Emit("{\"event\":\"sync\",\"name\":" + Json(name) + "}");
  return true;
}

bool Start(const std::string& arg) {
  size_t bar1 = arg.find('|');
  std::string exe = arg.substr(0, bar1);
  std::string cmd = bar1 == std::string::npos ? "\"" + exe + "\"" : arg.substr(bar1 + 1);
  std::string dir;
  size_t bar2 = cmd.find('|');
  if (bar2 != std::string::npos) {
    dir = cmd.substr(bar2 + 1);
    cmd = cmd.substr(0, bar2);
  }
  std::string exe932 = Cp932FromUtf8(exe), cmd932 = Cp932FromUtf8(cmd), dir932 = Cp932FromUtf8(dir);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  std::vector<char> line(cmd932.begin(), cmd932.end());
  line.push_back('\0');
  if (!CreateProcessA(exe932.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      dir.empty() ? nullptr : dir932.c_str(), &si, &stub)) {
    Fail("CreateProcess failed for " + exe + ", error " + std::to_string(GetLastError()));
    return false;
  }
  stubStarted = true;
  WaitForInputIdle(stub.hProcess, 10000);
  Emit("{\"event\":\"started\",\"exe\":" + Json(exe) + ",\"cmdline\":" + Json(cmd) + "}");
  return true;
}

HWND Main() { return FindStubWindow("core_division", false); }
HWND Progress() { return FindStubWindow("progress_window", false); }

bool Run(const std::string& cmd, const std::string& arg) {
  if (cmd == "start") return Start(arg);
  if (cmd == "wait-main")
    return WaitFor([] { return FindStubWindow("core_division", true) != nullptr; }, "main window");
  if (cmd == "wait-progress")
    return WaitFor([] { return FindStubWindow("progress_window", true) != nullptr; }, "progress window");
  if (cmd == "dump-main" || cmd == "dump-progress") {
    HWND w = cmd == "dump-main" ? Main() : Progress();
    if (!w) {
      Fail("no window for " + cmd);
      return false;
    }
    DumpWindow(cmd == "dump-main" ? "main" : "progress", w);
    return true;
  }
  if (cmd == "type") {
    HWND edit = Main() ? ChildById(Main(), 7) : nullptr;
    if (!edit) {
      Fail("no folder field");
      return false;
    }
    std::string text = Cp932FromUtf8(arg);
    SendMessageA(edit, WM_SETTEXT, 0, (LPARAM)text.c_str());
    Emit("{\"event\":\"typed\",\"text\":" + Json(arg) + "}");
    return true;
  }
  if (cmd == "click") {
    if (arg.compare(0, 6, "cancel") == 0) {
      if (!WaitFor([] { return FindStubWindow("progress_window", true) != nullptr; }, "progress window"))
        return false;
      HWND p = Progress();
      HWND b = ChildById(p, 2);
      int times = arg.size() > 7 ? atoi(arg.c_str() + 7) : 1;
      return b && ClickWhenReady(p, b, "cancel", times > 0 ? times : 1);
    }
    HWND m = Main();
    HWND b = m ? ChildById(m, arg == "extract" ? 3 : 8) : nullptr;
    if (!b) {
      Fail("no button " + arg);
      return false;
    }
    return ClickWhenReady(m, b, arg);
  }
  if (cmd == "wait-status") {
    // The window text held by the system, not a WM_GETTEXT: the stub answers sent
    // messages only between symbols while it decodes, and this wait must not slow it.
    std::string want = arg, seen;
    bool ok = WaitFor([&] {
      HWND p = Progress();
      HWND line = p ? ChildById(p, 1) : nullptr;
      char buf[1024] = {};
      if (line) GetWindowTextA(line, buf, sizeof buf);
      seen = Utf8FromCp932(buf);
      return seen.find(want) != std::string::npos;
    }, "status " + want);
    Emit("{\"event\":\"status\",\"text\":" + Json(seen) + "}");
    return ok;
  }
  if (cmd == "expect-box") return ExpectBox(arg);
  if (cmd == "move-box") {
    int x = 0, y = 0;
    if (!lastBox || sscanf(arg.c_str(), "%d %d", &x, &y) != 2) {
      Fail("move-box needs a box and a position");
      return false;
    }
    SetWindowPos(lastBox, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    return true;
  }
  if (cmd == "press") return Press(arg);
  if (cmd == "box") {
    size_t sp = arg.find(' ');
    return ExpectBox(sp == std::string::npos ? "" : arg.substr(sp + 1)) && Press(arg.substr(0, sp));
  }
  if (cmd == "no-box") {
    DWORD start = GetTickCount(), limit = (DWORD)atoi(arg.c_str());
    while (GetTickCount() - start < limit) {
      if (HWND b = CurrentBox()) {
        Fail("unexpected box " + BoxText(b));
        return false;
      }
      Sleep(20);
    }
    Emit("{\"event\":\"no-box\"}");
    return true;
  }
  if (cmd == "sync") return Sync(arg);
  if (cmd == "close-main") {
    HWND m = Main();
    if (!m) {
      Fail("no main window to close");
      return false;
    }
    PostMessageA(m, WM_SYSCOMMAND, SC_CLOSE, 0);
    Emit("{\"event\":\"closed\"}");
    return true;
  }
  if (cmd == "exit") {
    if (!stubStarted) return false;
    if (WaitForSingleObject(stub.hProcess, DefaultTimeoutMs) != WAIT_OBJECT_0) {
      Fail("stub did not end");
      RecordWindows();
      return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(stub.hProcess, &code);
    Emit("{\"event\":\"exit\",\"code\":" + std::to_string(code) + "}");
    return true;
  }
  Fail("unknown command " + cmd);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: driver TRANSCRIPT SCRIPT\n");
    return 3;
  }
  transcript = fopen(argv[1], "wb");
  if (!transcript) return 3;
  std::string t = argv[1];
  size_t slash = t.find_last_of("\\/");
  syncFolder = slash == std::string::npos ? "." : t.substr(0, slash);
  FILE* script = fopen(argv[2], "rb");
  if (!script) {
    Fail(std::string("cannot read ") + argv[2]);
    return 3;
  }
  Emit("{\"event\":\"driver\",\"acp\":" + std::to_string(GetACP()) + "}");
  char line[4096];
  bool ok = true;
  while (ok && fgets(line, sizeof line, script)) {
    std::string l = line;
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
    if (l.empty() || l[0] == '#') continue;
    size_t sp = l.find(' ');
    std::string cmd = l.substr(0, sp), arg = sp == std::string::npos ? "" : l.substr(sp + 1);
    ok = Run(cmd, arg);
  }
  fclose(script);
  if (!ok && stubStarted && !StubEnded()) {
    // A stub left waiting would hold the Wine session open until the test's time runs out.
    TerminateProcess(stub.hProcess, 99);
    Emit("{\"event\":\"terminated\"}");
  }
  Emit(std::string("{\"event\":\"end\",\"failures\":") + std::to_string(failures) + "}");
  fclose(transcript);
  return ok && failures == 0 ? 0 : 2;
}
