// Built without KRELVON_FAULT_INJECTION: the wrappers below reach the real
// functions under their own names.
#include "platform/faults.h"

#include <cerrno>

#include "platform/platform.h"

namespace krelvon::faults {

namespace {
int g_counts[static_cast<int>(Call::kCount)] = {};
Call g_armed = Call::kCount;
int g_nth = 0;
void (*g_hook)() = nullptr;
}  // namespace

const char* name(Call call) {
  static const char* const names[] = {"_open",  "_read",   "_write",             "_lseek",
                                      "_chsize", "_close", "_chmod",             "_unlink",
                                      "GetFileAttributesA", "SetFileAttributesA", "MoveFileA", "DeleteFileA",
                                      "file identity", "path identity", "sync", "stat", "set mode and times",
                                      "schedule at restart"};
  return call < Call::kCount ? names[static_cast<int>(call)] : "?";
}

void arm(Call call, int nth) {
  disarm();
  g_armed = call;
  g_nth = nth;
}

void hook(Call call, int nth, void (*action)()) {
  disarm();
  g_armed = call;
  g_nth = nth;
  g_hook = action;
}

void disarm() {
  for (int& c : g_counts) c = 0;
  g_armed = Call::kCount;
  g_nth = 0;
  g_hook = nullptr;
}

int calls(Call call) { return g_counts[static_cast<int>(call)]; }

bool fail_now(Call call) {
  const int n = ++g_counts[static_cast<int>(call)];
  if (call != g_armed || n != g_nth) return false;
  if (g_hook == nullptr) return true;
  g_hook();
  return false;
}

}  // namespace krelvon::faults

using krelvon::faults::Call;
using krelvon::faults::fail_now;

int krelvon_fault_open(const char* path, int flags, ...) {
  if (fail_now(Call::kOpen)) return errno = EACCES, -1;
  return _open(path, flags);
}
int krelvon_fault_read(int fd, void* buffer, unsigned count) {
  if (fail_now(Call::kRead)) return errno = EIO, -1;
  return _read(fd, buffer, count);
}
int krelvon_fault_write(int fd, const void* buffer, unsigned count) {
  if (fail_now(Call::kWrite)) return errno = EIO, -1;
  return _write(fd, buffer, count);
}
krelvon_offset_t krelvon_fault_lseek(int fd, krelvon_offset_t offset, int origin) {
  if (fail_now(Call::kLseek)) return errno = EINVAL, -1;
  return _lseek(fd, offset, origin);
}
int krelvon_fault_chsize(int fd, krelvon_offset_t size) {
  if (fail_now(Call::kChsize)) return errno = EIO, -1;
  return _chsize(fd, size);
}
int krelvon_fault_close(int fd) {
  if (fail_now(Call::kClose)) {
    _close(fd);  // the descriptor is gone either way, as after a real failure
    return errno = EIO, -1;
  }
  return _close(fd);
}
int krelvon_fault_chmod(const char* path, int mode) {
  if (fail_now(Call::kChmod)) return errno = EACCES, -1;
  return _chmod(path, mode);
}
int krelvon_fault_unlink(const char* path) {
  if (fail_now(Call::kUnlink)) return errno = EACCES, -1;
  return _unlink(path);
}
DWORD krelvon_fault_GetFileAttributesA(LPCSTR path) {
  if (fail_now(Call::kGetAttributes)) return SetLastError(ERROR_ACCESS_DENIED), INVALID_FILE_ATTRIBUTES;
  return GetFileAttributesA(path);
}
BOOL krelvon_fault_SetFileAttributesA(LPCSTR path, DWORD attributes) {
  if (fail_now(Call::kSetAttributes)) return SetLastError(ERROR_ACCESS_DENIED), FALSE;
  return SetFileAttributesA(path, attributes);
}
BOOL krelvon_fault_MoveFileA(LPCSTR from, LPCSTR to) {
  if (fail_now(Call::kMove)) return SetLastError(ERROR_ACCESS_DENIED), FALSE;
  return MoveFileA(from, to);
}
BOOL krelvon_fault_DeleteFileA(LPCSTR path) {
  if (fail_now(Call::kDelete)) return SetLastError(ERROR_ACCESS_DENIED), FALSE;
  return DeleteFileA(path);
}
bool krelvon_fault_file_identity(int fd, KrelvonFileIdentity* out) {
  if (fail_now(Call::kFileIdentity)) return false;
  return krelvon_file_identity(fd, out);
}
bool krelvon_fault_path_identity(const char* path, KrelvonFileIdentity* out) {
  if (fail_now(Call::kPathIdentity)) return false;
  return krelvon_path_identity(path, out);
}
int krelvon_fault_open_for_reading(const char* path) {
  if (fail_now(Call::kOpen)) return errno = EACCES, -1;
  return krelvon_open_for_reading(path);
}
