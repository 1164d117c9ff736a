// Application start-up: the single-instance rule, then the chain of modal
// dialogs that makes up one run. The program ends when the main dialog has
// closed; it never enters a message loop of its own.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include "engine/scan_context.h"
#include "ui/shell/dialogs.h"

namespace krelvon::ui {

namespace {

// Returns false in every case: there is nothing to run after the dialogs.
bool InitInstance() {
  // The common controls (tree view, tooltips) and the shell namespace of
  // the folder tree.
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  // Any top-level window titled with the program title, of any class,
  // means another instance is open: end silently.
  if (FindWindowA(nullptr, kProgramTitle) != nullptr) return false;

  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  install_virus_found_prompt();
  run_main_dialog();
  if (SUCCEEDED(com)) CoUninitialize();
  return false;
}

}  // namespace

}  // namespace krelvon::ui

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*command_line*/,
                   int /*show*/) {
  krelvon::ui::InitInstance();
  return 0;
}
