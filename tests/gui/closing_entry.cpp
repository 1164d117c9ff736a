// Shows the closing dialog on its own, with the program's resources: the
// GUI tests reach it here without going through a scan.
#include <windows.h>

#include <commctrl.h>

#include "ui/shell/dialogs.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  krelvon::ui::run_closing_dialog(nullptr);
  return 0;
}
