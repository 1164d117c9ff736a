#include "engine/scan_context.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace krelvon {

ScanContext g_scan;

void reset_scan_context() {
  // A new object in place: the volatile cancel flag rules out assignment.
  g_scan.~ScanContext();
  new (&g_scan) ScanContext();
}

void append_line(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_scan.line, sizeof g_scan.line, format, args);
  va_end(args);
  SendMessageA(g_scan.progress_window, WM_SETREDRAW, 0, 0);
}

void notify_object() { SendMessageA(g_scan.progress_window, WM_ENABLE, 0, 0); }

namespace {
SkipListener g_skip_listener = nullptr;
}  // namespace

void report_skipped(const char* path, const char* reason) {
  ++g_scan.entries_skipped;
  if (g_skip_listener) g_skip_listener(path, reason);
}

void set_skip_listener(SkipListener listener) { g_skip_listener = listener; }

void copy_text(char* destination, int capacity, const char* source) {
  if (capacity <= 0) return;
  const std::size_t len = std::strlen(source);
  const std::size_t n = len < static_cast<std::size_t>(capacity - 1) ? len : static_cast<std::size_t>(capacity - 1);
  std::memmove(destination, source, n);
  destination[n] = '\0';
}

}  // namespace krelvon
