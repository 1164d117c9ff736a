#include "handlers/handler_support.h"

#include <cstring>

#include "engine/scan_context.h"
#include "system/terminate.h"

namespace krelvon {

bool read_at(int fd, std::int32_t position, void* buffer, unsigned count) {
  if (position < 0 || _lseek(fd, position, SEEK_SET) != position) return false;
  return _read(fd, buffer, count) == static_cast<int>(count);
}

bool write_at(int fd, std::int32_t position, const void* buffer, unsigned count) {
  if (position < 0 || _lseek(fd, position, SEEK_SET) != position) return false;
  return _write(fd, buffer, count) == static_cast<int>(count);
}

bool rename_target(const char* path, char (&target)[kPathCapacity]) {
  if (std::strlen(path) >= sizeof target) return false;
  copy_text(target, path);
  char* dot = std::strrchr(target, '.');
  if (!dot) return true;
  if (dot[1] == '\0') {
    if (std::strlen(target) + 1 >= sizeof target) return false;
    dot[1] = 'V';
    dot[2] = '\0';
    return true;
  }
  dot[1] = 'V';
  return true;
}

void delete_with_retry(bool (*remove)(const char* path), const char* detection_name, const char* path) {
  if (remove(path)) {
    ++g_scan.files_deleted;
    append_line("%s     %s deleted", path, detection_name);
    return;
  }
  if (terminate_processes_by_file(path) == 1) {
    if (remove(path)) {
      ++g_scan.files_deleted;
      append_line("%s     %s deleted", path, detection_name);
    } else {
      append_line("%s     %s Delete failed", path, detection_name);
    }
  } else if (g_scan.memory_phase) {
    append_line("%s     %s Delete failed", path, detection_name);
  }
}

}  // namespace krelvon
