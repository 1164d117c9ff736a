#include "ui/shell/main_dialog.h"

#include <cstdio>

#include "engine/scan_context.h"
#include "resources/resource.h"
#include "ui/shell/dialogs.h"

namespace krelvon::ui {

MainDialog::MainDialog()
    : Dialog(IDD_MAIN, nullptr),
      icon_(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_PROGRAM))),
      // The icon's own 16-pixel image for the caption and the task bar,
      // rather than the large one scaled down.
      small_icon_(static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr),
                                                MAKEINTRESOURCEA(IDI_PROGRAM), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON),
                                                GetSystemMetrics(SM_CYSMICON), LR_SHARED))) {}

BOOL MainDialog::OnInitDialog() {
  download_link_.Attach(item(IDC_DOWNLOAD_LINK));
  char text[kPathCapacity];
  std::snprintf(text, sizeof text, "%s - Program to detect and clean %s", kProgramTitle,
                kFamilyText);
  SetDlgItemTextA(hwnd(), IDC_DESCRIPTION, text);
  std::snprintf(text, sizeof text, "Scan the computer for the presence of %s now?", kFamilyText);
  SetDlgItemTextA(hwnd(), IDC_QUESTION, text);
  SendMessageA(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageA(hwnd(), WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(small_icon_ != nullptr ? small_icon_ : icon_));
  SetWindowTextA(hwnd(), kProgramTitle);
  return TRUE;
}

void MainDialog::OnOK() {
  // The rest of the run happens inside: options, progress, closing dialog.
  run_scan_options_dialog(hwnd());
  EndDialog(IDOK);
}

bool MainDialog::OnMessage(UINT message, WPARAM /*wparam*/, LPARAM /*lparam*/,
                           LRESULT& result) {
  switch (message) {
    case WM_PAINT:
      result = 0;
      return paint_minimised();
    case WM_QUERYDRAGICON:
      result = reinterpret_cast<LRESULT>(icon_);
      return true;
    default:
      return false;
  }
}

bool MainDialog::paint_minimised() {
  if (!IsIconic(hwnd())) return false;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd(), &paint);
  SendMessageA(hwnd(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(hwnd(), &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, icon_);
  EndPaint(hwnd(), &paint);
  return true;
}

void run_main_dialog() {
  MainDialog dialog;
  dialog.DoModal();
}

}  // namespace krelvon::ui
