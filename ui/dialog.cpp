#include "ui/dialog.h"

namespace krelvon::ui {

namespace {

// Messages whose result a dialog procedure returns itself instead of through
// DWLP_MSGRESULT.
bool returns_result_directly(UINT message) {
  switch (message) {
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
    case WM_INITDIALOG:
      return true;
    default:
      return false;
  }
}

}  // namespace

Dialog::Dialog(int template_id, HWND owner) : template_id_(template_id), owner_(owner) {}

INT_PTR Dialog::DoModal() {
  return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(template_id_), owner_,
                         &Dialog::proc, reinterpret_cast<LPARAM>(this));
}

HWND visible_owner(HWND owner) {
  while (owner != nullptr && !IsWindowVisible(owner)) owner = GetWindow(owner, GW_OWNER);
  return owner;
}

void Dialog::EndDialog(INT_PTR result) { ::EndDialog(hwnd_, result); }

INT_PTR CALLBACK Dialog::proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<Dialog*>(lparam);
    SetWindowLongPtrA(hwnd, DWLP_USER, lparam);
    self->hwnd_ = hwnd;
    return self->OnInitDialog();
  }
  auto* self = reinterpret_cast<Dialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  if (self == nullptr) return FALSE;
  const INT_PTR handled = self->route(message, wparam, lparam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(hwnd, DWLP_USER, 0);
    self->hwnd_ = nullptr;
  }
  return handled;
}

LRESULT Dialog::reflect(UINT message, WPARAM wparam, LPARAM lparam) const {
  const auto control = reinterpret_cast<HWND>(lparam);
  if (control == nullptr || GetParent(control) != hwnd_) return 0;
  return SendMessageA(control, kReflectBase + message, wparam, lparam);
}

INT_PTR Dialog::route(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
      if (const LRESULT brush = reflect(message, wparam, lparam)) return static_cast<INT_PTR>(brush);
      break;
    case WM_COMMAND:
      if (reflect(message, wparam, lparam) != 0) return TRUE;
      break;
    default:
      break;
  }
  LRESULT result = 0;
  if (OnMessage(message, wparam, lparam, result)) {
    if (returns_result_directly(message)) return static_cast<INT_PTR>(result);
    SetWindowLongPtrA(hwnd_, DWLP_MSGRESULT, result);
    return TRUE;
  }
  if (message == WM_COMMAND) {
    const WORD id = LOWORD(wparam);
    if (id == IDOK) {
      OnOK();
      return TRUE;
    }
    if (id == IDCANCEL) {
      OnCancel();
      return TRUE;
    }
    return OnCommand(id, HIWORD(wparam), reinterpret_cast<HWND>(lparam)) ? TRUE : FALSE;
  }
  if (message == WM_NOTIFY) {
    if (!OnNotify(*reinterpret_cast<const NMHDR*>(lparam), result)) return FALSE;
    SetWindowLongPtrA(hwnd_, DWLP_MSGRESULT, result);
    return TRUE;
  }
  return FALSE;
}

}  // namespace krelvon::ui
