#include "platform/posix/win32_windows.h"

#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/extensions.h"

struct HWND__ {
  WNDPROC proc;
  bool alive;
};

namespace {

struct WindowClass {
  std::string name;
  WNDPROC proc;
};

std::vector<WindowClass>& classes() {
  static std::vector<WindowClass> list;
  return list;
}

// Windows are never freed, only marked dead, so a stale handle stays safe to
// test with IsWindow.
std::vector<std::unique_ptr<HWND__>>& windows() {
  static std::vector<std::unique_ptr<HWND__>> list;
  return list;
}

std::deque<MSG>& queue() {
  static std::deque<MSG> q;
  return q;
}

bool live(HWND w) {
  if (!w) return false;
  for (const auto& x : windows())
    if (x.get() == w) return x->alive;
  return false;
}

PosixMessageBoxHandler g_message_box = nullptr;

}  // namespace

ATOM RegisterClassA(const WNDCLASSA* window_class) {
  if (!window_class || !window_class->lpszClassName || !window_class->lpfnWndProc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  for (const auto& c : classes())
    if (c.name == window_class->lpszClassName) {
      SetLastError(ERROR_ALREADY_EXISTS);
      return 0;
    }
  classes().push_back({window_class->lpszClassName, window_class->lpfnWndProc});
  return static_cast<ATOM>(classes().size());
}

BOOL UnregisterClassA(LPCSTR class_name, HINSTANCE) {
  auto& list = classes();
  for (auto it = list.begin(); it != list.end(); ++it)
    if (it->name == class_name) {
      list.erase(it);
      return TRUE;
    }
  return FALSE;
}

HWND CreateWindowExA(DWORD, LPCSTR class_name, LPCSTR, DWORD, int, int, int, int, HWND, HMENU,
                     HINSTANCE, LPVOID) {
  for (const auto& c : classes())
    if (class_name && c.name == class_name) {
      windows().push_back(std::make_unique<HWND__>(HWND__{c.proc, true}));
      return windows().back().get();
    }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return nullptr;
}

BOOL DestroyWindow(HWND window) {
  if (!live(window)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  window->proc(window, WM_DESTROY, 0, 0);
  window->alive = false;
  return TRUE;
}

BOOL IsWindow(HWND window) { return live(window) ? TRUE : FALSE; }

LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (!live(window)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return window->proc(window, message, wparam, lparam);
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (window && !live(window)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  queue().push_back(MSG{window, message, wparam, lparam, 0, {0, 0}});
  return TRUE;
}

void PostQuitMessage(int exit_code) {
  queue().push_back(MSG{nullptr, WM_QUIT, static_cast<WPARAM>(exit_code), 0, 0, {0, 0}});
}

BOOL PeekMessageA(LPMSG msg, HWND, UINT, UINT, UINT remove) {
  if (queue().empty()) return FALSE;
  *msg = queue().front();
  if (remove & PM_REMOVE) queue().pop_front();
  return TRUE;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageA(const MSG* msg) {
  if (!msg || !live(msg->hwnd)) return 0;
  return msg->hwnd->proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  if (g_message_box) return g_message_box(owner, text, caption, type);
  return (type & 0xF) == MB_YESNO ? IDNO : IDOK;
}

void posix_set_message_box_handler(PosixMessageBoxHandler handler) { g_message_box = handler; }
