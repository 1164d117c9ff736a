#include "ui/shell/closing_dialog.h"

#include <cstdio>

#include "engine/scan_context.h"
#include "resources/resource.h"
#include "ui/shell/dialogs.h"

namespace krelvon::ui {

namespace {

// The dialogs that open the closing dialog end themselves first, which
// hides them and enables the dialog behind them. Owned by such a window the
// closing dialog would leave the main dialog usable, and its OK could start
// a second run of options and scan; the nearest visible window up the owner
// chain is disabled instead.
HWND visible_owner(HWND owner) {
  while (owner != nullptr && !IsWindowVisible(owner)) owner = GetWindow(owner, GW_OWNER);
  return owner;
}

}  // namespace

ClosingDialog::ClosingDialog(HWND owner) : Dialog(IDD_CLOSING, owner) {}

BOOL ClosingDialog::OnInitDialog() {
  web_site_link_.Attach(item(IDC_WEB_SITE_LINK));
  SetWindowTextA(hwnd(), kProgramTitle);
  char text[kPathCapacity];
  // The static below this line continues the sentence.
  std::snprintf(text, sizeof text, "Thank you for using the %s program. You can protect your computer",
                kProgramName);
  SetDlgItemTextA(hwnd(), IDC_THANK_YOU, text);
  return TRUE;
}

void run_closing_dialog(HWND owner) {
  ClosingDialog dialog(visible_owner(owner));
  dialog.DoModal();
}

}  // namespace krelvon::ui
