// The POSIX layer's stand-in window system: window classes, windows that
// are a procedure and nothing else, one queue of posted messages, and the
// message box.
#pragma once

#include "platform/posix/win32_base.h"

// --- window messages ----------------------------------------------------
// A window here is a window procedure and nothing else: the front ends
// register a class, create a window of it and receive the engine's
// notifications through SendMessageA. Posted messages wait in one queue of
// the process and are taken out by PeekMessageA.
#define WM_NULL 0x0000
#define WM_DESTROY 0x0002
#define WM_ENABLE 0x000A
#define WM_SETREDRAW 0x000B
#define WM_QUIT 0x0012
#define WM_KEYDOWN 0x0100
#define WM_CHAR 0x0102
#define WM_TIMER 0x0113
#define WM_USER 0x0400
#define VK_ESCAPE 0x1B
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

struct POINT {
  LONG x;
  LONG y;
};
struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
using LPMSG = MSG*;

struct WNDCLASSA {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  void* hIcon;
  void* hCursor;
  void* hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
};
#define HWND_MESSAGE (reinterpret_cast<HWND>(static_cast<std::intptr_t>(-3)))

ATOM RegisterClassA(const WNDCLASSA* window_class);
BOOL UnregisterClassA(LPCSTR class_name, HINSTANCE instance);
HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);
// Calls the window's procedure at once; 0 for no window.
LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
void PostQuitMessage(int exit_code);
// Takes the oldest posted message (no filtering by window or range is
// supported: pass 0, 0, 0). Never waits.
BOOL PeekMessageA(LPMSG msg, HWND window, UINT first, UINT last, UINT remove);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

#define MB_OK 0x00000000
#define MB_YESNO 0x00000004
#define MB_ICONINFORMATION 0x00000040
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7
// There is no one to show a message box to: the front end answers through
// the handler it installs (posix_set_message_box_handler); without one the
// answer is IDNO, which leaves a running scan going.
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
