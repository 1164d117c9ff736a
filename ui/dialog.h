// A small dialog layer over the Win32 dialog manager: a modal dialog built
// from a template of the program's resources, whose window procedure routes
// initialisation, OK, Cancel, commands, notifications and any other message
// to virtual members. Only what the program's dialogs use.
#pragma once

#include <windows.h>

namespace krelvon::ui {

// A dialog reflects two kinds of message to the control that sent them, as
// this base plus the original message number (the base that control hosts
// have long used for reflection): WM_CTLCOLOR* (the control answers with its
// brush, or 0 to leave the colours to the dialog) and WM_COMMAND
// notifications (the control answers nonzero when it has handled one).
// Controls that know nothing of reflection answer 0.
inline constexpr UINT kReflectBase = WM_USER + 0x1c00;

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
  // The control's answer to a reflected message, 0 when it has none.
  LRESULT reflect(UINT message, WPARAM wparam, LPARAM lparam) const;

  int template_id_;
  HWND owner_;
  HWND hwnd_ = nullptr;
};

// The dialogs of the run end themselves before they open the next one,
// which hides them and enables the dialog behind them. Owned by such a
// window, the next dialog would leave the main dialog usable, and its OK
// could start a second run of options and scan; the next dialog takes the
// nearest visible window up the owner chain instead.
HWND visible_owner(HWND owner);

}  // namespace krelvon::ui
