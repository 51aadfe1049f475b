// Stands in for the program an archive names to run after extraction: it leaves the
// folder it was started in, so the test sees both that it ran and where.
#include <windows.h>

int main() {
  char folder[MAX_PATH] = {};
  DWORD n = GetCurrentDirectoryA(sizeof folder, folder);
  HANDLE f = CreateFileA("probe-ran.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(f, folder, n, &written, nullptr);
  CloseHandle(f);
  return 0;
}
