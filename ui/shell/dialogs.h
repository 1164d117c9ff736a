// How the program's dialogs open one another. Each runs modally, owned by
// `owner`, and returns when it has ended; results of the modal runs are not
// used, the dialogs exchange everything through the scan context.
#pragma once

#include <windows.h>

namespace krelvon::ui {

// Main dialog (ui/shell/main_dialog.cpp).
void run_main_dialog();
// Scan options dialog (ui/setup/scan_options_dialog.cpp): its Scan runs the
// progress dialog, its Cancel the closing dialog.
void run_scan_options_dialog(HWND owner);
// Progress dialog (ui/shell/progress_dialog.cpp): runs the scan driver, its
// OK runs the closing dialog.
void run_progress_dialog(HWND owner);
// Closing dialog (ui/shell/closing_dialog.cpp).
void run_closing_dialog(HWND owner);
// Sets the program's surface (engine/front_end.h): the progress window's
// messages for lines and objects, the message pump, and the virus-found
// prompt (ui/shell/prompt_dialog.cpp) as the question.
void install_virus_found_prompt();

}  // namespace krelvon::ui
