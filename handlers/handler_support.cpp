#include "handlers/handler_support.h"

#include <cerrno>
#include <cstring>

#include "engine/scan_context.h"
#include "engine/walker.h"
#include "handlers/signatures.h"
#include "system/terminate.h"

namespace krelvon {

namespace {

// The path of the lasting SharedOpening, the descriptor given back for it,
// and what went wrong with it: an open failure (reported at once) or a read
// failure (reported when the opening ends and nothing was recognised).
struct Shared {
  const char* path = nullptr;
  int fd = -1;
  bool open_reported = false;
  bool read_failed = false;
  std::int32_t infected_before = 0;
} g_shared;

bool shared_for(const char* path) { return g_shared.path && std::strcmp(g_shared.path, path) == 0; }

}  // namespace

SharedOpening::SharedOpening(const char* path) { g_shared = Shared{path, -1, false, false, g_scan.files_infected}; }

SharedOpening::~SharedOpening() {
  if (g_shared.fd >= 0) _close(g_shared.fd);
  if (g_shared.read_failed && !g_shared.open_reported && g_scan.files_infected == g_shared.infected_before)
    report_skipped(g_shared.path, kSkipReadError);
  g_shared = Shared{};
}

int open_for_examination(const char* path) {
  if (shared_for(path) && g_shared.fd >= 0) {
    const int fd = g_shared.fd;
    g_shared.fd = -1;
    return fd;
  }
  const int fd = krelvon_open_for_reading(path);
  if (fd < 0 && shared_for(path) && !g_shared.open_reported) {
    g_shared.open_reported = true;
    report_skipped(path, skip_reason_of_errno(errno));
  }
  return fd;
}

void hand_back(const char* path, Descriptor& fd) {
  if (fd.valid() && shared_for(path) && g_shared.fd < 0) {
    g_shared.fd = fd.release();
    return;
  }
  fd.close();
}

int read_noting_failure(int fd, void* buffer, unsigned count) {
  const int got = _read(fd, buffer, count);
  if (got < 0 && g_shared.path) g_shared.read_failed = true;
  return got;
}

bool read_at(int fd, std::int32_t position, void* buffer, unsigned count) {
  if (position < 0 || _lseek(fd, position, SEEK_SET) != position) return false;
  return read_noting_failure(fd, buffer, count) == static_cast<int>(count);
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

bool ExaminedFile::at(const char* path) const {
  KrelvonFileIdentity now;
  return known_ && krelvon_path_identity(path, &now) && now == identity_;
}

bool ExaminedFile::open_on(int fd) const {
  KrelvonFileIdentity now;
  return known_ && krelvon_file_identity(fd, &now) && now == identity_;
}

bool delete_with_retry(bool (*remove)(const char* path), const char* detection_name, const char* path,
                       const ExaminedFile& examined) {
  if (!examined.at(path)) {
    // Ending the processes that run what is there now could end a program
    // that has nothing to do with the finding.
    append_line("%s     %s Delete failed", path, detection_name);
    return false;
  }
  if (remove(path)) {
    ++g_scan.files_deleted;
    append_line("%s     %s deleted", path, detection_name);
    return true;
  }
  if (terminate_processes_by_file(path) == 1) {
    if (examined.at(path) && remove(path)) {
      ++g_scan.files_deleted;
      append_line("%s     %s deleted", path, detection_name);
      return true;
    }
    append_line("%s     %s Delete failed", path, detection_name);
  } else if (g_scan.memory_phase) {
    append_line("%s     %s Delete failed", path, detection_name);
  }
  return false;
}

void rename_recognised_file(const char* detection_name, const char* path, const ExaminedFile& examined) {
  char target[kPathCapacity];
  if (rename_target(path, target) && examined.at(path) && MoveFileA(path, target)) {
    ++g_scan.files_renamed;
    append_line("%s     %s renamed", path, detection_name);
  } else {
    append_line("%s     %s Rename failed", path, detection_name);
  }
}

MemoryStep memory_phase_step() {
  if (g_scan.memory_action != kActionNone && g_scan.progress_window) {
    g_scan.chosen_action = g_scan.memory_action;
    append_line("%s", kSystemMemoryLine);
    Sleep(100);
    return MemoryStep::kCarryOut;
  }
  if (g_scan.memory_phase) {
    g_scan.found_in_memory = true;
    return MemoryStep::kMarkOnly;
  }
  return MemoryStep::kAsk;
}

}  // namespace krelvon
