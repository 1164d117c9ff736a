#include "rescue/hive_guard.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/beneath.h"
#include "rescue/hive_files.h"

namespace krelvon::rescue {

namespace {

constexpr std::size_t kBaseBlockChecked = 512;  // the checksum covers the first 508 bytes
constexpr std::size_t kChecksumAt = 508;
constexpr std::size_t kFileTypeAt = 28;
constexpr std::size_t kLogEntryHeader = 40;
constexpr std::size_t kLogSector = 512;

std::uint32_t get32(const std::string& b, std::size_t at) {
  const auto* p = reinterpret_cast<const unsigned char*>(b.data()) + at;
  return p[0] | (static_cast<std::uint32_t>(p[1]) << 8) | (static_cast<std::uint32_t>(p[2]) << 16) |
         (static_cast<std::uint32_t>(p[3]) << 24);
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A base block (of a hive or a log) whose signature and checksum hold.
bool valid_base_block(const std::string& b) {
  if (b.size() < kBaseBlockChecked || b.compare(0, 4, "regf") != 0) return false;
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < kChecksumAt; at += 4) sum ^= get32(b, at);
  if (sum == 0xFFFFFFFF) sum = 0xFFFFFFFE;
  if (sum == 0) sum = 1;
  return sum == get32(b, kChecksumAt);
}

bool all_zero(const std::string& b) { return b.find_first_not_of('\0') == std::string::npos; }

std::string number(std::uint32_t n) { return std::to_string(n); }

const char kCleanShutdown[] = "; start Windows once and shut it down fully, then scan again";

// Why this log may hold changes the hive lacks; empty when it cannot. Only
// the base block and the entries' headers are read, whatever its size.
std::string log_holds_changes(int fd, const struct stat& st, const BaseBlock& hive) {
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size == 0) return "";
  std::string b;
  if (!read_at(fd, 0, kLogSector, &b)) return "cannot be read: " + std::string(std::strerror(errno));
  if (all_zero(b)) {
    const int data = holds_data_after(fd, b.size());
    if (data < 0) return "cannot be read: " + std::string(std::strerror(errno));
    if (data == 0) return "";
  }
  if (!valid_base_block(b)) return "holds data but no valid base block: whether it holds changes cannot be told";
  const std::uint32_t type = get32(b, kFileTypeAt);
  const std::uint32_t log_sequence = get32(b, 4);
  if (type == 6) {
    std::string entry;
    for (std::uint64_t at = kLogSector; at + kLogEntryHeader <= size;) {
      if (!read_at(fd, at, kLogEntryHeader, &entry)) return "cannot be read: " + std::string(std::strerror(errno));
      if (entry.size() < kLogEntryHeader || entry.compare(0, 4, "HvLE") != 0) break;
      const std::uint32_t entry_size = get32(entry, 4);
      const std::uint32_t sequence = get32(entry, 12);
      if (sequence >= hive.secondary_sequence)
        return "holds log entry " + number(sequence) + ", newer than the hive (at " + number(hive.secondary_sequence) +
               ")";
      if (entry_size < kLogSector || entry_size % kLogSector != 0 || entry_size > size - at) break;
      at += entry_size;
    }
    return "";
  }
  if (log_sequence > hive.secondary_sequence)
    return "was written after the hive (sequence " + number(log_sequence) + ", hive at " +
           number(hive.secondary_sequence) + ")";
  return "";
}

}  // namespace

std::string base_block_refusal(const std::string& b, BaseBlock* out) {
  if (b.size() < kBaseBlockChecked || b.compare(0, 4, "regf") != 0) return "the file is not a registry hive";
  if (!valid_base_block(b))
    return std::string("the checksum of the hive's base block does not match: the system stopped while writing it") +
           kCleanShutdown;
  out->primary_sequence = get32(b, 4);
  out->secondary_sequence = get32(b, 8);
  if (out->primary_sequence != out->secondary_sequence)
    return "the hive's two sequence numbers differ (" + number(out->primary_sequence) + " and " +
           number(out->secondary_sequence) + "): the system did not finish writing it and its log holds the rest" +
           kCleanShutdown;
  return "";
}

std::string base_block_refusal(int hive_fd, BaseBlock* out) {
  std::string b;
  if (!read_at(hive_fd, 0, kBaseBlockChecked, &b))
    return "the hive cannot be read: " + std::string(std::strerror(errno));
  return base_block_refusal(b, out);
}

std::string log_refusal(const Folder& config, const std::string& hive_name, const BaseBlock& hive) {
  for (const char* suffix : {".LOG", ".LOG1", ".LOG2"}) {
    for (const std::string& log : entries_named(config.fd, hive_name + suffix)) {
      std::string why;
      struct stat st {};
      Fd fd(open_regular(config.fd, log, config.device, "the transaction log " + log, &st, &why));
      if (!fd.ok()) return why + ": whether it holds changes cannot be told";
      why = log_holds_changes(fd.get(), st, hive);
      if (!why.empty())
        return "the transaction log " + log + " " + why +
               ": the system did not shut down cleanly and writing the hive would lose the log" + kCleanShutdown;
    }
  }
  return "";
}

std::string hibernation_refusal(int root_fd, const std::string& root) {
  char resolved[PATH_MAX];
  std::string shown = realpath(root.c_str(), resolved) ? std::string(resolved) : root;
  Fd folder(::fcntl(root_fd, F_DUPFD_CLOEXEC, 0));
  while (folder.ok()) {
    dev_t device = 0;
    bool mount_root = false;
    if (!posix::folder_device(folder.get(), &device, &mount_root)) return "";
    for (const std::string& name : entries_named(folder.get(), "hiberfil.sys")) {
      const std::string file = (shown == "/" ? "" : shown) + "/" + name;
      std::string why;
      struct stat st {};
      Fd fd(open_regular(folder.get(), name, device, "the hibernation file " + file, &st, &why));
      if (!fd.ok()) return why + ": whether Windows is hibernated cannot be told";
      if (st.st_size == 0) continue;
      std::string b;
      if (!read_at(fd.get(), 0, 4, &b)) return "the hibernation file " + file + " cannot be read: " + std::strerror(errno);
      if (b.size() < 4) return "the hibernation file " + file + " is too short to tell whether Windows is hibernated";
      for (const char* hibernated : {"hibr", "rstr", "horm"}) {
        if (strncasecmp(b.c_str(), hibernated, 4) != 0) continue;
        return "Windows is hibernated (" + file + " begins with \"" + b +
               "\"): the registry held in its memory image would overwrite any change when it resumes; "
               "start Windows and shut it down fully (with Fast Startup off), then scan again";
      }
    }
    // Up to the root of the volume: the folders above on the same device.
    struct stat here {}, up {};
    Fd parent(::openat(folder.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (mount_root || !parent.ok() || ::fstat(folder.get(), &here) != 0 || ::fstat(parent.get(), &up) != 0 ||
        up.st_dev != device || (up.st_ino == here.st_ino && up.st_dev == here.st_dev))
      return "";
    folder = std::move(parent);
    shown = folder_of(shown);
  }
  return "";
}

std::string write_refusal(const Folder& config, const std::string& hive_name) {
  struct statvfs vfs {};
  if (fstatvfs(config.fd, &vfs) == 0 && (vfs.f_flag & ST_RDONLY))
    return "the file system is mounted read-only: mount it read-write (for example mount -o remount,rw), "
           "then scan again";
  if (faccessat(config.fd, ".", W_OK, 0) != 0)
    return "no new file can be made in " + config.shown + ": " + std::strerror(errno);
  if (faccessat(config.fd, hive_name.c_str(), W_OK, 0) != 0)
    return std::string("the hive cannot be written: ") + std::strerror(errno);
  return "";
}

}  // namespace krelvon::rescue
