// krelvon-scan: the command-line scanner over the engine.
#include <cstdio>
#include <cstring>

#include "engine/driver.h"
#include "engine/scan_context.h"

using krelvon::g_scan;

namespace {

LRESULT CALLBACK sink(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_SETREDRAW) {
    std::printf("%s\n", g_scan.line);
    return 0;
  }
  if (msg == WM_ENABLE) return 0;
  return DefWindowProcA(hwnd, msg, wparam, lparam);
}

}  // namespace

int main(int argc, char** argv) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = sink;
  wc.lpszClassName = "KrelvonScanSink";
  RegisterClassA(&wc);
  g_scan.progress_window =
      CreateWindowExA(0, "KrelvonScanSink", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  g_scan.handling_automatic = 1;
  g_scan.action_disinfect = 1;
  krelvon::copy_text(g_scan.scan_path, argc > 1 ? argv[1] : ".");
  krelvon::scan_driver();
  std::printf("%s\n", g_scan.object);
  return g_scan.files_infected > 0 ? 1 : 0;
}
