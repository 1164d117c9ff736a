// A static text control that behaves as a web link: link colours, underline
// while the pointer is over it, its address as a tooltip, and a click that
// has the system open the address.
#pragma once

#include <windows.h>

#include "platform/platform.h"

namespace krelvon::ui {

class Hyperlink {
 public:
  // Text colours (0x00BBGGRR): not yet opened, opened, pointer over it.
  static constexpr COLORREF kLinkColour = RGB(0, 0, 238);
  static constexpr COLORREF kVisitedColour = RGB(85, 26, 139);
  static constexpr COLORREF kHoverColour = RGB(0, 0, 238);
  static constexpr UINT_PTR kHoverTimer = 100;
  static constexpr UINT kHoverPeriod = 100;  // ms
  static constexpr UINT_PTR kToolId = 1;

  Hyperlink() = default;
  ~Hyperlink();
  Hyperlink(const Hyperlink&) = delete;
  Hyperlink& operator=(const Hyperlink&) = delete;

  // Binds the control: notify style, the address (from the control's text
  // unless one was set), plain and underlined fonts, the tooltip. Called
  // from the dialog's initialisation.
  void Attach(HWND control);

  HWND hwnd() const { return hwnd_; }
  bool visited() const { return visited_ != FALSE; }

 private:
  // The control's window procedure while it is attached; finds its
  // Hyperlink in a window property.
  static LRESULT CALLBACK proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  // Gives the control its own procedure back and removes the property.
  void detach();
  // The message's result; `handled` false leaves the message to the
  // control's own procedure.
  LRESULT handle(UINT message, WPARAM wparam, LPARAM lparam, bool& handled);
  void create_fonts();
  void create_tooltip();
  void relay_to_tooltip(UINT message, WPARAM wparam, LPARAM lparam);
  void on_mouse_move();
  void on_hover_timer();
  void on_click();

  // Fields as the control holds them after construction.
  COLORREF link_colour_ = kLinkColour;
  COLORREF visited_colour_ = kVisitedColour;
  COLORREF hover_colour_ = kHoverColour;
  BOOL over_ = FALSE;
  BOOL visited_ = FALSE;
  char address_[kPathCapacity] = {};
  HFONT underlined_font_ = nullptr;
  HFONT plain_font_ = nullptr;
  HWND tooltip_ = nullptr;
  UINT_PTR timer_id_ = kHoverTimer;
  WNDPROC previous_proc_ = nullptr;

  HWND hwnd_ = nullptr;
};

// Has the system open a web address with the verb "open"; true when the
// shell reports success (a result greater than 32).
bool open_address(const char* address);

}  // namespace krelvon::ui
