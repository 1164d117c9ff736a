#include "rescue/hive_commit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "rescue/hive_guard.h"

namespace krelvon::rescue {

namespace {

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool sync_path(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

// A copy of the file's bytes, flushed; for file systems without links.
bool copy_file(const std::string& from, const std::string& to) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool ok = out >= 0;
  char buffer[1 << 16];
  while (ok) {
    const ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      const ssize_t w = write(out, buffer + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      ok = w > 0;
      done += w > 0 ? w : 0;
    }
  }
  if (ok) ok = fsync(out) == 0;
  const int saved = errno;
  if (out >= 0 && close(out) != 0) ok = false;
  close(in);
  if (!ok && out >= 0) unlink(to.c_str());
  errno = saved;
  return ok;
}

// The original kept beside the hive, unless an earlier run kept one.
bool keep_original(const std::string& path, std::string* error) {
  const std::string kept = path + kOriginalHiveSuffix;
  if (link(path.c_str(), kept.c_str()) == 0 || errno == EEXIST) return true;
  if (copy_file(path, kept) || errno == EEXIST) return true;
  *error = failure("cannot keep the original hive as " + kept);
  return false;
}

bool write_and_check(Hive& hive, const std::string& path, const std::string& written,
                     const std::vector<HiveEntry>& expected, std::string* error) {
  if (!hive.commit(written)) {
    *error = hive.error();
    return false;
  }
  // The new file gets the original's permissions (and owner, where allowed).
  struct stat original {};
  const int fd = open(written.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *error = failure("cannot open the written hive");
    return false;
  }
  // A file system that keeps neither (ntfs-3g without a user mapping)
  // gives every file the same: a failure here is no reason to stop.
  if (stat(path.c_str(), &original) == 0 &&
      (fchmod(fd, original.st_mode & 07777) != 0 || fchown(fd, original.st_uid, original.st_gid) != 0)) {
  }
  const bool synced = fsync(fd) == 0;
  close(fd);
  if (!synced) {
    *error = failure("cannot flush the written hive to the disk");
    return false;
  }

  BaseBlock base;
  const std::string why = base_block_refusal(written, &base);
  if (!why.empty()) {
    *error = "the written hive " + why;
    return false;
  }
  Hive check;
  std::vector<HiveEntry> found;
  if (!check.open(written, false) || !check.inventory(&found)) {
    *error = "the written hive cannot be read back in full";
    return false;
  }
  if (found != expected) {
    *error = "the written hive is not what was meant (" + std::to_string(found.size()) + " keys and values, " +
             std::to_string(expected.size()) + " expected)";
    return false;
  }
  return true;
}

}  // namespace

bool commit_hive(Hive& hive, const std::string& path, const std::vector<HiveEntry>& expected,
                 BeforeHiveChange before_change, std::string* error) {
  const std::string written = path + kNewHiveSuffix;
  if (unlink(written.c_str()) != 0 && errno != ENOENT) {
    *error = failure("cannot remove the earlier " + written);
    return false;
  }
  bool ok = write_and_check(hive, path, written, expected, error);
  if (ok && before_change && !before_change(path.c_str())) {
    *error = "the hive could not be saved before the change";
    ok = false;
  }
  if (ok && !before_change) ok = keep_original(path, error);
  if (ok && rename(written.c_str(), path.c_str()) != 0) {
    *error = failure("cannot put the written hive in place");
    ok = false;
  }
  if (!ok) {
    unlink(written.c_str());
    return false;
  }
  if (!sync_path(folder_of(path), O_RDONLY | O_DIRECTORY)) {
    *error = failure("the hive is replaced, but its folder could not be flushed to the disk");
    return false;
  }
  return true;
}

}  // namespace krelvon::rescue
