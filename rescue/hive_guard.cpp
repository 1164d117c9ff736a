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

// Up to limit bytes from the start of the file; false when it cannot be
// opened or a read fails (errno tells why).
bool read_start(const std::string& path, std::size_t limit, std::string* out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->assign(limit, '\0');
  std::size_t got = 0;
  bool ok = true;
  while (got < limit) {
    const ssize_t n = read(fd, &(*out)[got], limit - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  const int saved = errno;
  close(fd);
  errno = saved;
  out->resize(got);
  return ok;
}

std::string file_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }
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

// Why this log may hold changes the hive lacks; empty when it cannot.
std::string log_holds_changes(const std::string& log, const BaseBlock& hive) {
  struct stat st {};
  if (stat(log.c_str(), &st) != 0) return "cannot be examined: " + std::string(std::strerror(errno));
  if (st.st_size == 0) return "";
  std::string b;
  if (!read_start(log, static_cast<std::size_t>(st.st_size), &b))
    return "cannot be read: " + std::string(std::strerror(errno));
  if (all_zero(b)) return "";
  if (!valid_base_block(b)) return "holds data but no valid base block: whether it holds changes cannot be told";
  const std::uint32_t type = get32(b, kFileTypeAt);
  const std::uint32_t log_sequence = get32(b, 4);
  if (type == 6) {
    for (std::size_t at = kLogSector; at + kLogEntryHeader <= b.size();) {
      if (b.compare(at, 4, "HvLE") != 0) break;
      const std::uint32_t size = get32(b, at + 4);
      const std::uint32_t sequence = get32(b, at + 12);
      if (sequence >= hive.secondary_sequence)
        return "holds log entry " + number(sequence) + ", newer than the hive (at " + number(hive.secondary_sequence) +
               ")";
      if (size < kLogSector || size % kLogSector != 0 || size > b.size() - at) break;
      at += size;
    }
    return "";
  }
  if (log_sequence > hive.secondary_sequence)
    return "was written after the hive (sequence " + number(log_sequence) + ", hive at " +
           number(hive.secondary_sequence) + ")";
  return "";
}

}  // namespace

std::string find_entry(const std::string& folder, const std::string& name) {
  DIR* d = opendir(folder.c_str());
  if (!d) return "";
  std::string found;
  while (const dirent* e = readdir(d)) {
    if (strcasecmp(e->d_name, name.c_str()) == 0) {
      found = folder + "/" + e->d_name;
      break;
    }
  }
  closedir(d);
  return found;
}

std::string base_block_refusal(const std::string& hive_path, BaseBlock* out) {
  std::string b;
  if (!read_start(hive_path, kBaseBlockChecked, &b))
    return "the hive cannot be read: " + std::string(std::strerror(errno));
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

std::string log_refusal(const std::string& hive_path, const BaseBlock& hive) {
  const std::string folder = folder_of(hive_path), name = file_name(hive_path);
  for (const char* suffix : {".LOG", ".LOG1", ".LOG2"}) {
    const std::string log = find_entry(folder, name + suffix);
    if (log.empty()) continue;
    const std::string why = log_holds_changes(log, hive);
    if (!why.empty())
      return "the transaction log " + file_name(log) + " " + why +
             ": the system did not shut down cleanly and writing the hive would lose the log" + kCleanShutdown;
  }
  return "";
}

std::string hibernation_refusal(const std::string& root) {
  struct stat top {};
  if (stat(root.c_str(), &top) != 0) return "";
  std::string folder = root;
  for (;;) {
    const std::string file = find_entry(folder, "hiberfil.sys");
    if (!file.empty()) {
      std::string b;
      if (!read_start(file, 4, &b)) return "the hibernation file " + file + " cannot be read: " + std::strerror(errno);
      struct stat st {};
      if (stat(file.c_str(), &st) == 0 && st.st_size == 0) return "";
      if (b.size() < 4) return "the hibernation file " + file + " is too short to tell whether Windows is hibernated";
      const std::string signature = b.substr(0, 4);
      for (const char* hibernated : {"hibr", "rstr", "horm"}) {
        if (strncasecmp(signature.c_str(), hibernated, 4) != 0) continue;
        return "Windows is hibernated (" + file + " begins with \"" + signature +
               "\"): the registry held in its memory image would overwrite any change when it resumes; "
               "start Windows and shut it down fully (with Fast Startup off), then scan again";
      }
      return "";
    }
    // Up to the root of the volume: the folders above on the same device.
    const std::string parent = folder + "/..";
    struct stat up {};
    char resolved[PATH_MAX];
    if (stat(parent.c_str(), &up) != 0 || up.st_dev != top.st_dev || !realpath(folder.c_str(), resolved)) return "";
    if (std::strcmp(resolved, "/") == 0) return "";
    folder = folder_of(resolved);
  }
}

std::string write_refusal(const std::string& hive_path) {
  const std::string folder = folder_of(hive_path);
  struct statvfs vfs {};
  if (statvfs(folder.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY))
    return "the file system is mounted read-only: mount it read-write (for example mount -o remount,rw), "
           "then scan again";
  if (access(folder.c_str(), W_OK) != 0) return "no new file can be made in " + folder + ": " + std::strerror(errno);
  if (access(hive_path.c_str(), W_OK) != 0) return std::string("the hive cannot be written: ") + std::strerror(errno);
  return "";
}

}  // namespace krelvon::rescue
