#include "platform/posix/crt.h"

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <cctype>
#include <vector>

#include "platform/posix/beneath.h"

namespace {

// What the runtime keeps for a descriptor it opened: the file position and,
// once asked, which file it is and its length at that moment. Reads and
// writes go through pread and pwrite at the position, so a seek costs no
// system call; every read still goes to the file, so a file that another
// program changes between two reads is seen as it is now.
struct Descriptor {
  bool open = false;
  bool stated = false;
  std::int64_t position = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t length = 0;
};

// Indexed by descriptor: a process has few open at once and the kernel hands
// out the lowest free number, so the table stays short.
std::vector<Descriptor>& descriptors() {
  static std::vector<Descriptor> table;
  return table;
}

Descriptor* tracked(int fd) {
  auto& table = descriptors();
  if (fd < 0 || static_cast<std::size_t>(fd) >= table.size() || !table[fd].open) return nullptr;
  return &table[fd];
}

void track(int fd, const Descriptor& d) {
  auto& table = descriptors();
  if (static_cast<std::size_t>(fd) >= table.size()) table.resize(static_cast<std::size_t>(fd) + 1);
  table[fd] = d;
  table[fd].open = true;
}

void take_stat(const struct stat& st, Descriptor* d) {
  d->stated = true;
  d->device = static_cast<std::uint64_t>(st.st_dev);
  d->inode = static_cast<std::uint64_t>(st.st_ino);
  d->length = static_cast<std::int64_t>(st.st_size);
}

// The descriptor's file as it is now (a descriptor's file never changes;
// its length may); false when it cannot be told or is no regular file.
bool note_stat(int fd, Descriptor* d) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  take_stat(st, d);
  return true;
}

}  // namespace

int _open(const char* path, int flags, ...) {
  // O_NONBLOCK keeps the open itself from waiting on a FIFO; on the regular
  // files that alone are kept it has no effect, so it stays set.
  int posix_flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  switch (flags & 3) {
    case _O_WRONLY: posix_flags |= O_WRONLY; break;
    case _O_RDWR: posix_flags |= O_RDWR; break;
    default: posix_flags |= O_RDONLY; break;
  }
  const krelvon::posix::AtPath at(path);
  if (!at.ok()) return -1;
  const int fd = ::openat(at.dir(), at.name(), posix_flags);
  if (fd < 0) return -1;
  if ((flags & 3) == _O_RDONLY) {
    // Reading needs no stat: the first read refuses what is no file.
    track(fd, Descriptor{});
    return fd;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const bool folder = S_ISDIR(st.st_mode);
    ::close(fd);
    errno = folder ? EISDIR : ENXIO;
    return -1;
  }
  // The read-only attribute holds for everyone, the superuser included, as
  // it does on Windows.
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    ::close(fd);
    errno = EACCES;
    return -1;
  }
  Descriptor d;
  take_stat(st, &d);
  track(fd, d);
  return fd;
}

bool krelvon_opened_file(int fd, std::uint64_t* device, std::uint64_t* inode) {
  Descriptor* d = tracked(fd);
  if (!d || (!d->stated && !note_stat(fd, d))) return false;
  *device = d->device;
  *inode = d->inode;
  return true;
}

bool krelvon_opened_length(int fd, std::int64_t* length) {
  Descriptor* d = tracked(fd);
  if (!d || (!d->stated && !note_stat(fd, d))) return false;
  *length = d->length;
  return true;
}

int _close(int fd) {
  if (Descriptor* d = tracked(fd)) d->open = false;
  return ::close(fd);
}

int krelvon_read_cached(int fd, void* buffer, unsigned int count, std::int64_t position) {
  if (count > INT_MAX) count = INT_MAX;
#ifdef RWF_NOWAIT
  iovec span{buffer, count};
  const ssize_t got = ::preadv2(fd, &span, 1, static_cast<off_t>(position), RWF_NOWAIT);
#else
  (void)fd;
  (void)buffer;
  (void)position;
  errno = EOPNOTSUPP;
  const ssize_t got = -1;
#endif
  // A FIFO, socket or terminal put in place of a listed file cannot be read
  // at an offset, as for _read.
  if (got < 0 && errno == ESPIPE) errno = ENXIO;
  return static_cast<int>(got);
}

int _read(int fd, void* buffer, unsigned int count) {
  if (count > INT_MAX) count = INT_MAX;
  Descriptor* d = tracked(fd);
  ssize_t got;
  do {
    got = d ? ::pread(fd, buffer, count, static_cast<off_t>(d->position)) : ::read(fd, buffer, count);
  } while (got < 0 && errno == EINTR);
  // A FIFO, socket or terminal put in place of a listed file cannot be read
  // at an offset: nothing of it is taken.
  if (d && got < 0 && errno == ESPIPE) errno = ENXIO;
  if (d && got > 0) d->position += got;
  return static_cast<int>(got);
}

int _write(int fd, const void* buffer, unsigned int count) {
  if (count > INT_MAX) count = INT_MAX;
  Descriptor* d = tracked(fd);
  ssize_t put;
  do {
    put = d ? ::pwrite(fd, buffer, count, static_cast<off_t>(d->position)) : ::write(fd, buffer, count);
  } while (put < 0 && errno == EINTR);
  if (d && put > 0) d->position += put;
  return static_cast<int>(put);
}

std::int32_t _lseek(int fd, std::int32_t offset, int origin) {
  Descriptor* d = tracked(fd);
  if (!d) {
    const off_t at = ::lseek(fd, offset, origin);
    if (at < 0) return -1;
    if (at > INT32_MAX) {
      errno = EINVAL;
      return -1;
    }
    return static_cast<std::int32_t>(at);
  }
  std::int64_t base = 0;
  if (origin == SEEK_CUR) {
    base = d->position;
  } else if (origin == SEEK_END) {
    const std::int32_t length = _filelength(fd);
    if (length < 0) return -1;
    base = length;
  } else if (origin != SEEK_SET) {
    errno = EINVAL;
    return -1;
  }
  const std::int64_t at = base + offset;
  if (at < 0 || at > INT32_MAX) {
    errno = EINVAL;
    return -1;
  }
  d->position = at;
  return static_cast<std::int32_t>(at);
}

std::int32_t _filelength(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -1;
  const std::int64_t length = st.st_size;
  if (length > INT32_MAX) {
    errno = EFBIG;
    return -1;
  }
  return static_cast<std::int32_t>(length);
}

int _chsize(int fd, std::int32_t size) {
  if (size < 0) {
    errno = EINVAL;
    return -1;
  }
  return ::ftruncate(fd, size);
}

int _chmod(const char* path, int mode) {
  const krelvon::posix::AtPath at(path);
  struct stat st {};
  if (!at.ok() || ::fstatat(at.dir(), at.name(), &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  if (S_ISLNK(st.st_mode)) {
    errno = EPERM;
    return -1;
  }
  mode_t m = st.st_mode & 07777;
  if (mode & _S_IWRITE)
    m |= S_IWUSR;
  else
    m &= static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
  // AT_SYMLINK_NOFOLLOW: a link put at the path since the stat is refused.
  return ::fchmodat(at.dir(), at.name(), m, AT_SYMLINK_NOFOLLOW);
}

int _unlink(const char* path) {
  const krelvon::posix::AtPath at(path);
  return at.ok() ? ::unlinkat(at.dir(), at.name(), 0) : -1;
}

int _access(const char* path, int mode) {
  int m = F_OK;
  if (mode & 2) m |= W_OK;
  if (mode & 4) m |= R_OK;
  const krelvon::posix::AtPath at(path);
  return at.ok() ? ::faccessat(at.dir(), at.name(), m, 0) : -1;
}

char* _strlwr(char* text) {
  for (char* p = text; *p; ++p) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  return text;
}

char* _strupr(char* text) {
  for (char* p = text; *p; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  return text;
}

int _stricmp(const char* a, const char* b) { return ::strcasecmp(a, b); }
int _strnicmp(const char* a, const char* b, std::size_t count) { return ::strncasecmp(a, b, count); }
