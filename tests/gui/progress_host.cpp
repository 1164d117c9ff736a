// krelvon-progress-host: the progress dialog and the virus-found prompt on
// their own, for the GUI tests, without the dialogs that lead to them.
//   krelvon-progress-host HANDLING FOLDER
// HANDLING: prompt, or the automatic action disinfect, rename, delete or
// ignore. FOLDER is scanned as a selected folder would be (no trailing
// separator). The scan context is set as the scan options dialog sets it.
#include <windows.h>

#include <commctrl.h>

#include <cstring>

#include "engine/scan_context.h"
#include "ui/shell/dialogs.h"

namespace {

bool set_handling(const char* handling) {
  using krelvon::g_scan;
  struct Automatic {
    const char* name;
    std::int32_t krelvon::ScanContext::*flag;
  };
  static constexpr Automatic kActions[] = {
      {"disinfect", &krelvon::ScanContext::action_disinfect},
      {"rename", &krelvon::ScanContext::action_rename},
      {"delete", &krelvon::ScanContext::action_delete},
      {"ignore", &krelvon::ScanContext::action_ignore},
  };
  if (std::strcmp(handling, "prompt") == 0) {
    g_scan.handling_prompt = 1;
    g_scan.action_disinfect = 1;
    return true;
  }
  for (const Automatic& a : kActions) {
    if (std::strcmp(handling, a.name) == 0) {
      g_scan.handling_automatic = 1;
      g_scan.*a.flag = 1;
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || !set_handling(argv[1])) return 2;
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  krelvon::copy_text(krelvon::g_scan.scan_path, argv[2]);
  krelvon::ui::install_virus_found_prompt();
  krelvon::ui::run_progress_dialog(nullptr);
  return 0;
}
