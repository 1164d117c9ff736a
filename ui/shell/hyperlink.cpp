#include "ui/shell/hyperlink.h"

#include <commctrl.h>
#include <shellapi.h>

#include "engine/scan_context.h"
#include "ui/dialog.h"

namespace krelvon::ui {

namespace {

// The window property that holds the control's Hyperlink while it is
// subclassed.
constexpr char kSelfProperty[] = "Krelvon.Hyperlink";

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
  // A control that outlives its Hyperlink gets its own procedure back.
  if (hwnd_ != nullptr && IsWindow(hwnd_)) detach();
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
  // Classic subclassing: the control's procedure is replaced by ours, which
  // passes on what it does not handle. (The subclass calls of COMCTL32 6
  // are not exported by name before it.)
  SetPropA(hwnd_, kSelfProperty, this);
  previous_proc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Hyperlink::proc)));
}

void Hyperlink::detach() {
  if (previous_proc_ == nullptr) return;
  // Only while ours is the control's procedure: a later subclass would
  // otherwise be cut out of the chain.
  if (reinterpret_cast<WNDPROC>(GetWindowLongPtrA(hwnd_, GWLP_WNDPROC)) == &Hyperlink::proc) {
    SetWindowLongPtrA(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_proc_));
  }
  RemovePropA(hwnd_, kSelfProperty);
  previous_proc_ = nullptr;
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
  // The size every COMCTL32 knows: versions before 6.0 refuse the larger
  // structure of 6.0, and this tool uses none of the later fields.
  tool.cbSize = TTTOOLINFOA_V1_SIZE;
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

LRESULT CALLBACK Hyperlink::proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = static_cast<Hyperlink*>(GetPropA(hwnd, kSelfProperty));
  if (self == nullptr) return DefWindowProcA(hwnd, message, wparam, lparam);
  bool handled = false;
  const LRESULT result = self->handle(message, wparam, lparam, handled);
  if (handled) return result;
  const WNDPROC previous = self->previous_proc_;
  // The last message the control gets: it leaves with its own procedure.
  if (message == WM_NCDESTROY) self->detach();
  return CallWindowProcA(previous, hwnd, message, wparam, lparam);
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
