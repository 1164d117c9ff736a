// Stands in for the closing dialog while the test host is built without it:
// a window titled with the program title, so the tests see that OK opened
// something after the progress dialog ended.
#include <windows.h>

#include "engine/scan_context.h"
#include "ui/shell/dialogs.h"

namespace krelvon::ui {

void run_closing_dialog(HWND owner) { MessageBoxA(owner, "closing", kProgramTitle, MB_OK); }

}  // namespace krelvon::ui
