// A small dialog layer over the Win32 dialog manager: a modal dialog built
// from a template of the program's resources, whose window procedure routes
// initialisation, OK, Cancel, commands, notifications and any other message
// to virtual members. Only what the program's dialogs use.
#pragma once

#include <windows.h>

namespace krelvon::ui {

class Dialog {
 public:
  // template_id: the dialog template; owner: the window disabled while the
  // dialog runs (nullptr for none).
  Dialog(int template_id, HWND owner);
  virtual ~Dialog() = default;
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Runs the dialog modally; returns the result given to EndDialog, or -1
  // when the dialog could not be created.
  INT_PTR DoModal();
  void EndDialog(INT_PTR result);

  HWND hwnd() const { return hwnd_; }
  HWND item(int id) const { return GetDlgItem(hwnd_, id); }

 protected:
  // WM_INITDIALOG: true lets the dialog manager give the focus to the default
  // button.
  virtual BOOL OnInitDialog() { return TRUE; }
  // IDOK (button 1, Enter) and IDCANCEL (button 2, Esc, the close box).
  virtual void OnOK() { EndDialog(IDOK); }
  virtual void OnCancel() { EndDialog(IDCANCEL); }
  // Any other WM_COMMAND; true when handled.
  virtual bool OnCommand(WORD /*id*/, WORD /*code*/, HWND /*control*/) { return false; }
  // WM_NOTIFY; true when handled, with `result` as the notification's result.
  virtual bool OnNotify(const NMHDR& /*header*/, LRESULT& /*result*/) { return false; }
  // Every message after WM_INITDIALOG, before the routing above; true when
  // handled, with `result` as the message's result.
  virtual bool OnMessage(UINT /*message*/, WPARAM /*wparam*/, LPARAM /*lparam*/,
                         LRESULT& /*result*/) {
    return false;
  }

 private:
  static INT_PTR CALLBACK proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR route(UINT message, WPARAM wparam, LPARAM lparam);

  int template_id_;
  HWND owner_;
  HWND hwnd_ = nullptr;
};

}  // namespace krelvon::ui
