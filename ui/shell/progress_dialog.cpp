#include "ui/shell/progress_dialog.h"

#include <cstdio>

#include "engine/driver.h"
#include "engine/scan_context.h"
#include "resources/resource.h"
#include "ui/shell/dialogs.h"

namespace krelvon::ui {

ProgressDialog::ProgressDialog(HWND owner) : Dialog(IDD_PROGRESS, owner) {}

BOOL ProgressDialog::OnInitDialog() {
  char heading[kPathCapacity];
  std::snprintf(heading, sizeof heading, "Searching for %s files...", kFamilyText);
  SetDlgItemTextA(hwnd(), IDC_PROGRESS_HEADING, heading);
  SetWindowTextA(hwnd(), kProgramTitle);
  SendDlgItemMessageA(hwnd(), IDC_PROGRESS_LIST, LB_SETHORIZONTALEXTENT, kResultListExtent, 0);
  g_scan.progress_window = hwnd();
  SetTimer(hwnd(), kScanStartTimer, kScanStartPeriod, nullptr);
  ShowWindow(item(IDC_PROGRESS_OK), SW_HIDE);
  return TRUE;
}

void ProgressDialog::OnTimer() {
  // Killed first: the scan runs exactly once, however long it takes.
  KillTimer(hwnd(), kScanStartTimer);
  if (scan_started_) return;
  scan_started_ = true;
  // A stale flag is cleared; a termination the user has already confirmed
  // stands, so the scan ends with its statistics and "Scanning terminated".
  set_cancel(cancel_confirmed_);
  scan_driver();
  ShowOk();
}

void ProgressDialog::ShowOk() {
  // Hiding the focused Cancel would hand the focus on to whatever control
  // comes next; it goes to OK instead.
  const bool cancel_focused = hwnd() != nullptr && GetFocus() == item(IDCANCEL);
  ShowWindow(item(IDCANCEL), SW_HIDE);
  ShowWindow(item(IDC_PROGRESS_OK), SW_SHOW);
  if (cancel_focused)
    SendMessageA(hwnd(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item(IDC_PROGRESS_OK)), TRUE);
}

void ProgressDialog::OnLineAdded() {
  HWND list = item(IDC_PROGRESS_LIST);
  if (SendMessageA(list, LB_GETCOUNT, 0, 0) >= kResultListLimit && !g_scan.summary)
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
  SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(g_scan.line));
  // From three lines on the last line is selected (and so scrolled into
  // view); with one or two the index is past the end and selects nothing.
  const LRESULT n = SendMessageA(list, LB_GETCOUNT, 0, 0);
  SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(n > 2 ? n - 1 : n), 0);
}

void ProgressDialog::OnObject() { SetDlgItemTextA(hwnd(), IDC_PROGRESS_STATUS, g_scan.object); }

void ProgressDialog::OnCancel() {
  // Before the first tick the question's own message loop would dispatch the
  // tick and run the whole scan inside it, with the answer left waiting until
  // the scan is over; the timer waits for the answer instead.
  const bool waiting = !scan_started_;
  if (waiting) KillTimer(hwnd(), kScanStartTimer);
  if (MessageBoxA(hwnd(), "Terminate the Scan now?", "Warning", MB_YESNO | MB_ICONINFORMATION) != IDNO) {
    ShowOk();
    set_cancel(true);
    cancel_confirmed_ = true;
  }
  if (waiting) SetTimer(hwnd(), kScanStartTimer, kScanStartPeriod, nullptr);
}

bool ProgressDialog::OnCommand(WORD id, WORD code, HWND /*control*/) {
  if (id != IDC_PROGRESS_OK || code != BN_CLICKED) return false;
  HWND self = hwnd();
  // OK can be there before the first tick (a confirmed Cancel): no scan may
  // start inside the closing dialog's message loop.
  KillTimer(self, kScanStartTimer);
  scan_started_ = true;
  EndDialog(0);
  run_closing_dialog(self);
  return true;
}

bool ProgressDialog::OnMessage(UINT message, WPARAM /*wparam*/, LPARAM /*lparam*/, LRESULT& result) {
  switch (message) {
    case WM_SETREDRAW:
      OnLineAdded();
      result = 0;
      return true;
    case WM_ENABLE:
      OnObject();
      result = 0;
      return true;
    case WM_TIMER:
      OnTimer();
      result = 0;
      return true;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(hwnd(), &paint);
      EndPaint(hwnd(), &paint);
      result = 0;
      return true;
    }
    case WM_NCDESTROY:
      // No notification may reach a window that is gone.
      if (g_scan.progress_window == hwnd()) g_scan.progress_window = nullptr;
      return false;
    default:
      return false;
  }
}

void run_progress_dialog(HWND owner) {
  ProgressDialog dialog(visible_owner(owner));
  dialog.DoModal();
}

}  // namespace krelvon::ui
