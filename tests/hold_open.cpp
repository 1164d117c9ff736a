// hold_open FILE READY: holds FILE open the way a running program holds its
// own file (for reading, sharing reading only, so nobody may write, rename
// or delete it), writes READY once it does, and sleeps until it is ended.
// The Windows hostile-file tests run it.
//   hold_open FILE READY exclusive: shares nothing, so nobody may even read
//   it (the GUI test of a file the scan cannot examine).
//   hold_open --short PATH...: prints the 8.3 form of each PATH, one a line
//   (the restart tests compare WININIT.INI with them).
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--short") == 0) {
    for (int i = 2; i < argc; ++i) {
      char shortened[MAX_PATH];
      const DWORD n = GetShortPathNameA(argv[i], shortened, sizeof shortened);
      if (n == 0 || n >= sizeof shortened) return 1;
      std::printf("%s\n", shortened);
    }
    return 0;
  }
  if (argc != 3 && !(argc == 4 && std::strcmp(argv[3], "exclusive") == 0)) return 2;
  const DWORD share = argc == 4 ? 0 : FILE_SHARE_READ;
  const HANDLE held = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 1;
  const HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (ready == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(ready);
  Sleep(120000);  // the test ends it long before
  CloseHandle(held);
  return 0;
}
