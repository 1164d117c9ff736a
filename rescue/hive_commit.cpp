#include "rescue/hive_commit.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files/folders.h"
#include "rescue/hive_files.h"

namespace krelvon::rescue {

namespace {

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

bool write_all(int fd, const char* data, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// A new file of the folder, never through a link; flushed with its bytes.
bool write_new(int folder, const std::string& name, const char* data, std::size_t size, const struct stat* like) {
  Fd out(::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out.ok()) return false;
  bool ok = write_all(out.get(), data, size);
  // A file system that keeps neither mode nor owner (ntfs-3g without a user
  // mapping) gives every file the same: a failure here is no reason to stop
  // (the owner is set once the mode is).
  if (ok && like && fchmod(out.get(), like->st_mode & 07777) == 0) {
    const int owned = fchown(out.get(), like->st_uid, like->st_gid);
    (void)owned;
  }
  ok = ok && fsync(out.get()) == 0;
  const int saved = errno;
  const int closed = ::close(out.release());
  if (!ok || closed != 0) {
    ::unlinkat(folder, name.c_str(), 0);
    errno = saved;
    return false;
  }
  return true;
}

// The original kept beside the hive, unless an earlier run kept one: a
// link to the file read, or a copy of the bytes read.
bool keep_original(const Folder& config, const std::string& name, int hive_fd, const struct stat& read_as,
                   bool* made, std::string* error) {
  const std::string kept = name + kOriginalHiveSuffix;
  *made = ::linkat(config.fd, name.c_str(), config.fd, kept.c_str(), 0) == 0;
  if (*made || errno == EEXIST) return true;
  std::string bytes;
  *made = read_at(hive_fd, 0, static_cast<std::size_t>(read_as.st_size), &bytes) &&
          write_new(config.fd, kept, bytes.data(), bytes.size(), &read_as);
  if (*made || errno == EEXIST) return true;
  *error = failure("cannot keep the original hive as " + config.shown + "/" + kept);
  return false;
}

// The file at name is still the one read (its status now, through the
// held descriptor, equal to `expected`).
bool still_the_file_read(const Folder& config, const std::string& name, int hive_fd, const struct stat& expected) {
  struct stat at_name {}, held {};
  return ::fstatat(config.fd, name.c_str(), &at_name, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(hive_fd, &held) == 0 &&
         same_file(at_name, expected) && same_file(held, expected);
}

}  // namespace

bool commit_hive(const Folder& config, const std::string& name, int hive_fd, const struct stat& read_as,
                 const std::string& bytes, BeforeHiveChange before_change, std::string* error) {
  const std::string written = name + kNewHiveSuffix, path = config.shown + "/" + name;
  const char* const kChanged = "the hive changed since it was read (another file at its name, or new contents): "
                               "it was left as it is now, and nothing was written";
  if (::unlinkat(config.fd, written.c_str(), 0) != 0 && errno != ENOENT) {
    *error = failure("cannot remove the earlier " + config.shown + "/" + written);
    return false;
  }
  if (!write_new(config.fd, written, bytes.data(), bytes.size(), &read_as)) {
    *error = failure("cannot write " + config.shown + "/" + written);
    return false;
  }
  bool ok = true;
  {
    BaseBlock base;
    Fd check(::openat(config.fd, written.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    const std::string why = check.ok() ? base_block_refusal(check.get(), &base) : failure("cannot read it back");
    if (!why.empty()) {
      *error = "the written hive " + why;
      ok = false;
    }
  }
  if (ok && !still_the_file_read(config, name, hive_fd, read_as)) {
    *error = kChanged;
    ok = false;
  }
  if (ok && before_change && !before_change(path.c_str())) {
    *error = "the hive could not be saved before the change";
    ok = false;
  }
  // Keeping the original links it: that changes its change time, which is
  // what the last check expects then.
  struct stat expected = read_as;
  bool made_original = false;
  if (ok && !before_change)
    ok = keep_original(config, name, hive_fd, read_as, &made_original, error) && ::fstat(hive_fd, &expected) == 0;
  if (ok) {
    struct stat held {};
    if (::fstat(hive_fd, &held) != 0 || held.st_ino != read_as.st_ino || held.st_size != read_as.st_size ||
        held.st_mtim.tv_sec != read_as.st_mtim.tv_sec || held.st_mtim.tv_nsec != read_as.st_mtim.tv_nsec ||
        !still_the_file_read(config, name, hive_fd, expected)) {
      *error = kChanged;
      ok = false;
    }
  }
  if (ok && !krelvon::files::replace_at(config.fd, written.c_str(), name.c_str())) {
    *error = failure("cannot put the written hive in place");
    ok = false;
  }
  if (!ok) {
    ::unlinkat(config.fd, written.c_str(), 0);
    if (made_original) ::unlinkat(config.fd, (name + kOriginalHiveSuffix).c_str(), 0);
    return false;
  }
  if (!krelvon::files::sync_folder_at(config.fd, ".")) {
    *error = failure("the hive is replaced, but its folder could not be flushed to the disk");
    return false;
  }
  return true;
}

}  // namespace krelvon::rescue
