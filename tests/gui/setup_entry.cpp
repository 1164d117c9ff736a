// Shows the scan options dialog on its own, with the program's resources,
// so the GUI tests reach it without the main dialog. In place of the
// progress dialog, Scan records what it wrote into the scan settings and
// what the scan driver then found, into the file named on the command line:
//   scan_path=... / prompt=N / automatic=N / disinfect=N / delete=N /
//   rename=N / ignore=N / offered=DDRI, then one "line=..." per line of the
//   result list and "scanned=N"; once the dialog has been destroyed,
//   "items_alive=N", the folder items not released. The scan itself runs only for a folder:
//   the drives of the machine running the tests are not walked.
// Cancel runs the real closing dialog. A first argument "--hide-disinfect"
// opens the dialog with the option defaults that hide the Disinfect button.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/driver.h"
#include "engine/scan_context.h"
#include "ui/setup/scan_options_dialog.h"
#include "ui/shell/dialogs.h"

namespace {

std::string g_record;
FILE* g_out = nullptr;

LRESULT CALLBACK recorder(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_SETREDRAW) {
    if (g_out != nullptr) std::fprintf(g_out, "line=%s\n", krelvon::g_scan.line);
    return 0;
  }
  if (message == WM_ENABLE) return 0;
  return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace

namespace krelvon::ui {

void run_progress_dialog(HWND /*owner*/) {
  g_out = std::fopen(g_record.c_str(), "w");
  if (g_out == nullptr) return;
  std::fprintf(g_out, "scan_path=%s\nprompt=%d\nautomatic=%d\n", g_scan.scan_path, g_scan.handling_prompt,
               g_scan.handling_automatic);
  std::fprintf(g_out, "disinfect=%d\ndelete=%d\nrename=%d\nignore=%d\n", g_scan.action_disinfect,
               g_scan.action_delete, g_scan.action_rename, g_scan.action_ignore);
  std::fprintf(g_out, "offered=%d%d%d%d\n", g_scan.offered_disinfect, g_scan.offered_delete,
               g_scan.offered_rename, g_scan.offered_ignore);
  if (std::strcmp(g_scan.scan_path, kAllDrives) == 0 || std::strcmp(g_scan.scan_path, "C:") == 0) {
    std::fclose(g_out);
    return;
  }
  // The scan itself, with a hidden window taking the line notifications.
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = &recorder;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = "KrelvonSetupRecorder";
  RegisterClassA(&window_class);
  g_scan.progress_window = CreateWindowA("KrelvonSetupRecorder", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                         GetModuleHandleA(nullptr), nullptr);
  scan_driver();
  std::fprintf(g_out, "scanned=%d\n", g_scan.files_scanned);
  std::fclose(g_out);
  g_out = nullptr;
}

}  // namespace krelvon::ui

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR command_line, int) {
  constexpr char kHide[] = "--hide-disinfect ";
  const bool hide = std::strncmp(command_line, kHide, sizeof kHide - 1) == 0;
  g_record = command_line + (hide ? sizeof kHide - 1 : 0);
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (hide) {
    krelvon::OptionDefaults layout = krelvon::kOptionDefaults;
    layout.disinfect_visibility = krelvon::kDisinfectHidden;
    krelvon::ui::ScanOptionsDialog dialog(nullptr, layout);
    dialog.DoModal();
  } else {
    krelvon::ui::run_scan_options_dialog(nullptr);
  }
  if (FILE* record = std::fopen(g_record.c_str(), "r")) {
    std::fclose(record);
    if ((record = std::fopen(g_record.c_str(), "a")) != nullptr) {
      std::fprintf(record, "items_alive=%d\n", krelvon::ui::folder_items_alive());
      std::fclose(record);
    }
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}
