// Small pieces both file handlers share.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace krelvon {

// Closes a descriptor when it goes out of scope, unless released first.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { close(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void close() {
    if (fd_ >= 0) _close(fd_);
    fd_ = -1;
  }
  void reset(int fd) {
    close();
    fd_ = fd;
  }

 private:
  int fd_;
};

// Seeks to a 32-bit position and reads exactly count bytes; a negative
// position, a failed seek or a short read is false.
bool read_at(int fd, std::int32_t position, void* buffer, unsigned count);
bool write_at(int fd, std::int32_t position, const void* buffer, unsigned count);

// The rename target of a recognised file: the character after the path's
// last '.' becomes 'V' (".exe" gives ".Vxe"); a path ending in '.' gets the
// 'V' appended; a path without '.' keeps its name. False when the result
// would not fit in MAX_PATH characters.
bool rename_target(const char* path, char (&target)[kPathCapacity]);

// Deletes a recognised file with remove(); when that fails, ends the
// processes running it and tries once more. Writes "deleted" (counted) or
// "Delete failed"; a failure without any process ended writes nothing
// outside the memory phase.
void delete_with_retry(bool (*remove)(const char* path), const char* detection_name, const char* path);

}  // namespace krelvon
