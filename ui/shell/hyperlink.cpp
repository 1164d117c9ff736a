#include "ui/shell/hyperlink.h"

#include <commctrl.h>
#include <shellapi.h>

#include "engine/scan_context.h"
#include "ui/dialog.h"

namespace krelvon::ui {

namespace {

constexpr UINT_PTR kSubclassId = 1;

HFONT control_font(HWND control) {
  auto font = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
  if (font == nullptr) font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  if (font == nullptr) font = static_cast<HFONT>(GetStockObject(ANSI_VAR_FONT));
  return font;
}

}  // namespace

bool open_address(const char* address) {
  char buffer[kPathCapacity];
  copy_text(buffer, address);
  const auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteA(nullptr, "open", buffer, nullptr, nullptr, SW_SHOWNORMAL));
  return result > 32;
}

Hyperlink::~Hyperlink() {
  if (underlined_font_ != nullptr) DeleteObject(underlined_font_);
  if (plain_font_ != nullptr) DeleteObject(plain_font_);
  if (tooltip_ != nullptr && IsWindow(tooltip_)) DestroyWindow(tooltip_);
}

void Hyperlink::Attach(HWND control) {
  hwnd_ = control;
  // Clicks reach a static control only with the notify style.
  SetWindowLongA(hwnd_, GWL_STYLE, GetWindowLongA(hwnd_, GWL_STYLE) | SS_NOTIFY);
  if (address_[0] == '\0') GetWindowTextA(hwnd_, address_, sizeof address_);
  char text[kPathCapacity];
  GetWindowTextA(hwnd_, text, sizeof text);
  if (text[0] == '\0') SetWindowTextA(hwnd_, address_);
  create_fonts();
  create_tooltip();
  SetWindowSubclass(hwnd_, &Hyperlink::proc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
}

void Hyperlink::create_fonts() {
  LOGFONTA description{};
  GetObjectA(control_font(hwnd_), sizeof description, &description);
  plain_font_ = CreateFontIndirectA(&description);
  description.lfUnderline = 1;
  underlined_font_ = CreateFontIndirectA(&description);
}

void Hyperlink::create_tooltip() {
  tooltip_ = CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr,
                             GetModuleHandleA(nullptr), nullptr);
  if (tooltip_ == nullptr) return;
  TOOLINFOA tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = hwnd_;
  tool.uId = kToolId;
  tool.lpszText = address_;
  GetClientRect(hwnd_, &tool.rect);
  SendMessageA(tooltip_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
}

void Hyperlink::relay_to_tooltip(UINT message, WPARAM wparam, LPARAM lparam) {
  if (tooltip_ == nullptr) return;
  MSG msg{};
  msg.hwnd = hwnd_;
  msg.message = message;
  msg.wParam = wparam;
  msg.lParam = lparam;
  msg.time = static_cast<DWORD>(GetMessageTime());
  const DWORD pos = GetMessagePos();
  msg.pt = {static_cast<short>(LOWORD(pos)), static_cast<short>(HIWORD(pos))};
  SendMessageA(tooltip_, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
}

LRESULT CALLBACK Hyperlink::proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                                 UINT_PTR /*subclass*/, DWORD_PTR self) {
  bool handled = false;
  const LRESULT result =
      reinterpret_cast<Hyperlink*>(self)->handle(message, wparam, lparam, handled);
  if (handled) return result;
  if (message == WM_NCDESTROY) RemoveWindowSubclass(hwnd, &Hyperlink::proc, kSubclassId);
  return DefSubclassProc(hwnd, message, wparam, lparam);
}

LRESULT Hyperlink::handle(UINT message, WPARAM wparam, LPARAM lparam, bool& handled) {
  // The tooltip sees the control's mouse messages first (the only ones it
  // acts on), so it can show and hide itself.
  if (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) {
    relay_to_tooltip(message, wparam, lparam);
  }
  handled = true;
  switch (message) {
    case kReflectBase + WM_CTLCOLORSTATIC: {
      const auto dc = reinterpret_cast<HDC>(wparam);
      SetTextColor(dc, over_ ? hover_colour_ : (visited_ ? visited_colour_ : link_colour_));
      SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
    }
    case kReflectBase + WM_COMMAND:
      if (HIWORD(wparam) != STN_CLICKED) return 0;
      on_click();
      return 1;
    case WM_ERASEBKGND: {
      RECT client;
      GetClientRect(hwnd_, &client);
      FillRect(reinterpret_cast<HDC>(wparam), &client, GetSysColorBrush(COLOR_BTNFACE));
      return TRUE;
    }
    case WM_SETCURSOR:
      // The pointer keeps its ordinary shape over the link.
      return FALSE;
    case WM_MOUSEMOVE:
      on_mouse_move();
      break;
    case WM_TIMER:
      if (wparam == timer_id_) on_hover_timer();
      break;
    case WM_DESTROY:
      KillTimer(hwnd_, timer_id_);
      break;
    default:
      break;
  }
  handled = false;
  return 0;
}

void Hyperlink::on_mouse_move() {
  if (over_) return;
  over_ = TRUE;
  SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(underlined_font_), TRUE);
  InvalidateRect(hwnd_, nullptr, TRUE);
  SetTimer(hwnd_, timer_id_, kHoverPeriod, nullptr);
}

void Hyperlink::on_hover_timer() {
  const DWORD pos = GetMessagePos();
  POINT point{static_cast<short>(LOWORD(pos)), static_cast<short>(HIWORD(pos))};
  ScreenToClient(hwnd_, &point);
  RECT client;
  GetClientRect(hwnd_, &client);
  if (PtInRect(&client, point)) return;
  over_ = FALSE;
  KillTimer(hwnd_, timer_id_);
  SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(plain_font_), TRUE);
  client.bottom += 10;
  InvalidateRect(hwnd_, &client, TRUE);
}

void Hyperlink::on_click() {
  over_ = FALSE;
  if (open_address(address_)) {
    visited_ = TRUE;
    if (IsWindow(hwnd_)) InvalidateRect(hwnd_, nullptr, TRUE);
    return;
  }
  visited_ = FALSE;
  MessageBoxA(hwnd_, "Unable to launch Internet Browser", "GUI", MB_OK);
}

}  // namespace krelvon::ui
