// hold_open FILE READY: holds FILE open the way a running program holds its
// own file (for reading, sharing reading only, so nobody may write, rename
// or delete it), writes READY once it does, and sleeps until it is ended.
// The Windows hostile-file tests run it.
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const HANDLE held = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 1;
  const HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (ready == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(ready);
  Sleep(120000);  // the test ends it long before
  CloseHandle(held);
  return 0;
}
