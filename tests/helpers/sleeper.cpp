// A program that only sleeps: krelvon_test_sleeper [MILLISECONDS] (default
// 60000). The process tests run copies of it under chosen names and end them.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
  const long ms = argc > 1 ? std::atol(argv[1]) : 60000;
  Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0);
  return 0;
}
