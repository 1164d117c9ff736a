#include "ui/shell/closing_dialog.h"

#include <cstdio>

#include "engine/scan_context.h"
#include "resources/resource.h"
#include "ui/shell/dialogs.h"

namespace krelvon::ui {

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
