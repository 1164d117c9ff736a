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
  // the folder tree. Only flags COMCTL32 4.70 knows: COMCTL32 refuses the
  // whole call when one flag is unknown to its version.
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);

  // Any top-level window titled with the program title, of any class,
  // means another instance is open: end silently.
  if (FindWindowA(nullptr, kProgramTitle) != nullptr) return false;

  // A single-threaded apartment, as CoInitializeEx would give; Windows 95
  // has CoInitializeEx only with DCOM95 installed.
  const HRESULT com = CoInitialize(nullptr);
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
