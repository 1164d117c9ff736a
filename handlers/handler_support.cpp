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
  const char* read_failure = nullptr;  // the reason reported for it
} g_shared;

// The file under examination and what of it has been read once.
struct Examined {
  int fd = -1;
  int page_got = -1;  // -1: the first page not read yet
  std::int32_t length = -1;
  bool length_known = false;
  std::uint8_t page[kFirstPage];
} g_examined;

bool shared_for(const char* path) { return g_shared.path && std::strcmp(g_shared.path, path) == 0; }

}  // namespace

SharedOpening::SharedOpening(const char* path) { g_shared = Shared{path, -1, false, false, g_scan.files_infected}; }

SharedOpening::~SharedOpening() {
  if (g_shared.fd >= 0) {
    forget_examined(g_shared.fd);
    _close(g_shared.fd);
  }
  if (g_shared.read_failed && !g_shared.open_reported && g_scan.files_infected == g_shared.infected_before)
    report_skipped(g_shared.path, g_shared.read_failure);
  g_shared = Shared{};
}

int open_for_examination(const char* path) {
  if (shared_for(path) && g_shared.fd >= 0) {
    const int fd = g_shared.fd;
    g_shared.fd = -1;
    return fd;
  }
  const int fd = krelvon_open_for_reading(path);
  if (fd >= 0) {
    g_examined.fd = fd;
    g_examined.page_got = -1;
    g_examined.length_known = false;
  }
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
  if (got < 0 && g_shared.path && !g_shared.read_failed) {
    g_shared.read_failed = true;
    g_shared.read_failure = errno == ENXIO || errno == EISDIR ? kSkipNotRegular : kSkipReadError;
  }
  return got;
}

void forget_examined(int fd) {
  if (fd == g_examined.fd) g_examined.fd = -1;
}

int read_first_page(int fd, std::uint8_t* buffer, const std::uint8_t** bytes) {
  const bool examined = fd == g_examined.fd;
  *bytes = examined ? g_examined.page : buffer;
  if (examined && g_examined.page_got >= 0) return g_examined.page_got;
  if (_lseek(fd, 0, SEEK_SET) != 0) return -1;
  const int got = read_noting_failure(fd, examined ? g_examined.page : buffer, kFirstPage);
  if (examined && got >= 0) g_examined.page_got = got;
  return got;
}

bool read_examined(int fd, std::int32_t position, void* buffer, unsigned count) {
  if (fd == g_examined.fd && position >= 0) {
    const auto end = static_cast<std::int64_t>(position) + count;
    if (g_examined.page_got < 0 && end <= kFirstPage) {
      const std::uint8_t* page = nullptr;
      read_first_page(fd, nullptr, &page);
    }
    if (g_examined.page_got >= 0 && end <= g_examined.page_got) {
      std::memcpy(buffer, g_examined.page + position, count);
      return true;
    }
  }
  return read_at(fd, position, buffer, count);
}

std::int32_t examined_length(int fd) {
  if (fd != g_examined.fd) return _filelength(fd);
  if (!g_examined.length_known) {
#ifdef _WIN32
    g_examined.length = _filelength(fd);
#else
    // Asked once of the runtime, which also tells a regular file from
    // anything else put in its place (no length: nothing to examine).
    std::int64_t length = -1;
    g_examined.length =
        krelvon_opened_length(fd, &length) && length <= INT32_MAX ? static_cast<std::int32_t>(length) : -1;
#endif
    g_examined.length_known = true;
  }
  return g_examined.length;
}

bool examined_reaches(int fd, std::uint32_t offset) {
  if (fd == g_examined.fd && g_examined.page_got >= 0 && offset < static_cast<std::uint32_t>(g_examined.page_got))
    return true;
  const std::int32_t length = examined_length(fd);
  return length >= 0 && offset < static_cast<std::uint32_t>(length);
}

FirstPage compare_first_page(int fd, std::int32_t position, const void* bytes, unsigned count) {
  if (position < 0) return FirstPage::kDifferent;  // no byte of a file lies there
  if (fd != g_examined.fd || g_examined.page_got < 0 ||
      static_cast<std::int64_t>(position) + count > g_examined.page_got)
    return FirstPage::kNotHeld;
  return std::memcmp(g_examined.page + position, bytes, count) == 0 ? FirstPage::kSame : FirstPage::kDifferent;
}

bool read_at(int fd, std::int32_t position, void* buffer, unsigned count) {
  if (position < 0 || _lseek(fd, position, SEEK_SET) != position) return false;
  return read_noting_failure(fd, buffer, count) == static_cast<int>(count);
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
