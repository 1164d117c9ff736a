#include "engine/front_end.h"

#include "engine/scan_context.h"
#include "engine/walker.h"

namespace krelvon {

namespace {
// Constant-initialized: in place before any other object is constructed.
FrontEnd g_front_end{send_line_message, send_object_message, nullptr, nullptr, nullptr, message_pump};
}  // namespace

FrontEnd window_front_end() {
  return FrontEnd{send_line_message, send_object_message, nullptr, nullptr, nullptr, message_pump};
}

void set_front_end(const FrontEnd& front_end) { g_front_end = front_end; }

const FrontEnd& front_end() { return g_front_end; }

void send_line_message() { SendMessageA(g_scan.progress_window, WM_SETREDRAW, 0, 0); }

void send_object_message() { SendMessageA(g_scan.progress_window, WM_ENABLE, 0, 0); }

void set_cancel(bool cancel) { g_scan.cancel = cancel ? 1 : 0; }

}  // namespace krelvon
