// hold_open FILE READY: holds FILE open the way a running program holds its
// own file (for reading, sharing reading only, so nobody may write, rename
// or delete it), writes READY once it does, and sleeps until it is ended.
// The Windows hostile-file tests run it.
//   hold_open FILE READY exclusive: shares nothing, so nobody may even read
//   it (the GUI test of a file the scan cannot examine).
#include <windows.h>

#include <cstring>

int main(int argc, char** argv) {
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
