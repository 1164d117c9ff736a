#include "rescue/hive_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix/beneath.h"

namespace krelvon::rescue {

namespace {

constexpr std::size_t kPiece = 1 << 16;

std::string error_text() { return std::strerror(errno); }

// Why the opened entry cannot be used: on another file system, or the root
// of a mount; empty when it can.
std::string mount_refusal(int fd, dev_t device, const std::string& shown) {
  dev_t here = 0;
  bool mount_root = false;
  if (!posix::folder_device(fd, &here, &mount_root)) return shown + " cannot be examined: " + error_text();
  if (here != device || mount_root)
    return shown + " is on another file system than the installation (a mount there): not entered";
  return "";
}

}  // namespace

Fd& Fd::operator=(Fd&& o) noexcept {
  if (this != &o) {
    reset(o.fd_);
    o.fd_ = -1;
  }
  return *this;
}

int Fd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void Fd::reset(int fd) {
  if (fd_ >= 0) {
    const int saved = errno;
    ::close(fd_);
    errno = saved;
  }
  fd_ = fd;
}

std::vector<std::string> entries_named(int folder_fd, const std::string& name) {
  std::vector<std::string> found;
  const int fd = ::openat(folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return found;
  DIR* d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    return found;
  }
  while (const dirent* e = ::readdir(d))
    if (strcasecmp(e->d_name, name.c_str()) == 0) found.emplace_back(e->d_name);
  ::closedir(d);
  return found;
}

int open_subfolder(int parent_fd, const std::string& name, dev_t device, const std::string& shown,
                   std::string* why) {
  Fd fd(::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.ok()) {
    struct stat st {};
    if ((errno == ENOTDIR || errno == ELOOP) && ::fstatat(parent_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
      *why = shown + " is a link: not followed";
    else
      *why = shown + " cannot be opened: " + error_text();
    return -1;
  }
  *why = mount_refusal(fd.get(), device, shown);
  if (!why->empty()) return -1;
  return fd.release();
}

int open_regular(int folder_fd, const std::string& name, dev_t device, const std::string& shown, struct stat* st,
                 std::string* why) {
  // The entry is looked at first without being opened (O_PATH opens no
  // FIFO, device or socket: no writer of a FIFO is woken, no device's open
  // runs), and only a regular file is then opened for reading.
  Fd named(::openat(folder_fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!named.ok()) {
    *why = shown + " cannot be opened: " + error_text();
    return -1;
  }
  if (::fstat(named.get(), st) != 0) {
    *why = shown + " cannot be examined: " + error_text();
    return -1;
  }
  if (S_ISLNK(st->st_mode)) {
    *why = shown + " is a link: not followed";
    return -1;
  }
  if (!S_ISREG(st->st_mode)) {
    const char* kind = S_ISFIFO(st->st_mode) ? "a FIFO" : S_ISDIR(st->st_mode) ? "a folder" : "a device or socket";
    *why = shown + " is not a regular file (" + kind + "): not read";
    return -1;
  }
  // Opened through the look itself where /proc is mounted, so what is read
  // is what was looked at; a rescue system without /proc opens the name
  // again, without blocking, and takes it only when it is still that file.
  char through[40];
  std::snprintf(through, sizeof through, "/proc/self/fd/%d", named.get());
  Fd fd(::open(through, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.ok() && errno == ENOENT)
    fd.reset(::openat(folder_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.ok()) {
    *why = errno == ELOOP ? shown + " is a link: not followed" : shown + " cannot be opened: " + error_text();
    return -1;
  }
  struct stat opened {};
  if (::fstat(fd.get(), &opened) != 0) {
    *why = shown + " cannot be examined: " + error_text();
    return -1;
  }
  if (!same_file(opened, *st)) {
    *why = shown + " was replaced while it was being opened: not read";
    return -1;
  }
  *why = mount_refusal(fd.get(), device, shown);
  if (!why->empty()) return -1;
  // Reads of a regular file do not block: the flag may go.
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  return fd.release();
}

bool read_at(int fd, std::uint64_t at, std::size_t n, std::string* out) {
  out->assign(n, '\0');
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, &(*out)[got], n - got, static_cast<off_t>(at + got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  out->resize(got);
  return true;
}

int holds_data_after(int fd, std::uint64_t from) {
  std::string piece;
  auto at = static_cast<off_t>(from);
  for (;;) {
    const off_t data = ::lseek(fd, at, SEEK_DATA);
    if (data < 0) return errno == ENXIO ? 0 : -1;  // ENXIO: nothing but a hole up to the end
    if (!read_at(fd, static_cast<std::uint64_t>(data), kPiece, &piece)) return -1;
    if (piece.empty()) return 0;
    if (piece.find_first_not_of('\0') != std::string::npos) return 1;
    at = data + static_cast<off_t>(piece.size());
  }
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace krelvon::rescue
