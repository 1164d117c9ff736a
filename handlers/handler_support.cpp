#include "handlers/handler_support.h"

#include <cstring>

#include "engine/scan_context.h"

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

}  // namespace krelvon
