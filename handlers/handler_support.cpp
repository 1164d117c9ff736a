#include "handlers/handler_support.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "engine/change_guard.h"
#include "engine/scan_context.h"
#include "engine/walker.h"
#include "handlers/at_restart.h"
#include "handlers/signatures.h"
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

namespace {

bool is_separator(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/' || c == ':';
#else
  return c == kSep;
#endif
}

}  // namespace

bool rename_target(const char* path, char (&target)[kPathCapacity]) {
  const std::size_t length = std::strlen(path);
  std::size_t name = length;
  while (name > 0 && !is_separator(path[name - 1])) --name;
  const char* dot = std::strrchr(path + name, '.');
  const char* tail = dot == nullptr ? ".V" : dot[1] == '\0' ? "V" : "";
  if (length + std::strlen(tail) >= sizeof target) return false;
  std::memcpy(target, path, length);
  std::memcpy(target + length, tail, std::strlen(tail) + 1);
  if (dot != nullptr && dot[1] != '\0') target[dot - path + 1] = 'V';
  return std::strcmp(target, path) != 0;
}

bool in_renamed_form(const char* path) {
  std::size_t name = std::strlen(path);
  while (name > 0 && !is_separator(path[name - 1])) --name;
  const char* dot = std::strrchr(path + name, '.');
  return dot != nullptr && dot[1] == 'V';
}

bool ExaminedFile::at(const char* path) const {
  KrelvonFileIdentity now;
  return known_ && krelvon_path_identity(path, &now) && now == identity_;
}

bool ExaminedFile::open_on(int fd) const {
  KrelvonFileIdentity now;
  return known_ && krelvon_file_identity(fd, &now) && now == identity_;
}

bool delete_with_retry(bool (*remove)(const char* path), FindingKind kind, const char* detection_name,
                       const char* path, const ExaminedFile& examined) {
  // A path that names another file now is not touched: ending the processes
  // that run what is there could end a program that has nothing to do with
  // the finding.
  bool deleted = false;
  DWORD error = ERROR_SUCCESS;  // what the last failed removal left
  const auto removed = [&] {
    if (remove(path)) return true;
    error = GetLastError();
    return false;
  };
  if (examined.at(path) && before_change(path, ChangeKind::kDelete))
    deleted = removed() || (terminate_processes_by_file(path) == 1 && examined.at(path) && removed());
  if (!deleted && schedule_for_restart(kind, detection_name, path, nullptr, error, examined)) {
    after_change(path, ChangeOutcome::kInPlace);
    return true;
  }
  after_change(path, deleted ? ChangeOutcome::kDeleted : ChangeOutcome::kInPlace);
  if (deleted) ++g_scan.files_deleted;
  append_finding({kind, deleted ? FindingOutcome::kDeleted : FindingOutcome::kDeleteFailed, path, detection_name});
  return deleted;
}

void rename_recognised_file(FindingKind kind, const char* detection_name, const char* path,
                            const ExaminedFile& examined) {
  // Already where a rename puts it: an earlier run renamed it, and a run
  // after it has nothing left to do for it.
  if (in_renamed_form(path) && examined.at(path)) {
    append_finding({kind, FindingOutcome::kRenamedEarlier, path, detection_name});
    return;
  }
  char target[kPathCapacity];
  // MoveFileA never replaces an existing name; the check before it also
  // catches the name itself in other letter case on a file system that
  // ignores case, where a move would only change the case.
  bool moving = false;  // MoveFileA was called
  const bool renamed =
      rename_target(path, target) && examined.at(path) && _access(target, 0) != 0 &&
                       before_change(path, ChangeKind::kRename, target) && (moving = true) && MoveFileA(path, target);
  if (!renamed && moving && schedule_for_restart(kind, detection_name, path, target, GetLastError(), examined)) {
    after_change(path, ChangeOutcome::kInPlace);
    return;
  }
  after_change(path, renamed ? ChangeOutcome::kRenamed : ChangeOutcome::kInPlace, renamed ? target : nullptr);
  if (renamed) ++g_scan.files_renamed;
  append_finding({kind, renamed ? FindingOutcome::kRenamed : FindingOutcome::kRenameFailed, path, detection_name,
                  renamed ? target : nullptr});
}

void report_left_alone(FindingKind kind, const char* detection_name, const char* path) {
  const FindingOutcome outcome =
      g_scan.chosen_action == kActionIgnore ? FindingOutcome::kIgnored : FindingOutcome::kNotActedOn;
  append_finding({kind, outcome, path, detection_name}, g_scan.object, g_scan.name);
}

MemoryStep memory_phase_step(const char* path) {
  if (g_scan.memory_action != kActionNone && g_scan.progress_window) {
    g_scan.chosen_action = g_scan.memory_action;
    append_finding({FindingKind::kSystemMemory, FindingOutcome::kRemoved, path, kSystemDetection},
                   kSystemMemoryObject, kSystemDetection);
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
