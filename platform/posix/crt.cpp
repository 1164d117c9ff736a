#include "platform/posix/crt.h"

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cctype>

int _open(const char* path, int flags, ...) {
  int posix_flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  switch (flags & 3) {
    case _O_WRONLY: posix_flags |= O_WRONLY; break;
    case _O_RDWR: posix_flags |= O_RDWR; break;
    default: posix_flags |= O_RDONLY; break;
  }
  const int fd = ::open(path, posix_flags);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EACCES;
    return -1;
  }
  // The read-only attribute holds for everyone, the superuser included, as
  // it does on Windows.
  if ((flags & 3) != _O_RDONLY && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    ::close(fd);
    errno = EACCES;
    return -1;
  }
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}

int _close(int fd) { return ::close(fd); }

int _read(int fd, void* buffer, unsigned int count) {
  if (count > INT_MAX) count = INT_MAX;
  ssize_t got;
  do {
    got = ::read(fd, buffer, count);
  } while (got < 0 && errno == EINTR);
  return static_cast<int>(got);
}

int _write(int fd, const void* buffer, unsigned int count) {
  if (count > INT_MAX) count = INT_MAX;
  ssize_t put;
  do {
    put = ::write(fd, buffer, count);
  } while (put < 0 && errno == EINTR);
  return static_cast<int>(put);
}

std::int32_t _lseek(int fd, std::int32_t offset, int origin) {
  const off_t at = ::lseek(fd, offset, origin);
  if (at < 0) return -1;
  if (at > INT32_MAX) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<std::int32_t>(at);
}

std::int32_t _filelength(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -1;
  if (st.st_size > INT32_MAX) {
    errno = EFBIG;
    return -1;
  }
  return static_cast<std::int32_t>(st.st_size);
}

int _chsize(int fd, std::int32_t size) {
  if (size < 0) {
    errno = EINVAL;
    return -1;
  }
  return ::ftruncate(fd, size);
}

int _chmod(const char* path, int mode) {
  struct stat st {};
  if (::lstat(path, &st) != 0) return -1;
  if (S_ISLNK(st.st_mode)) {
    errno = EPERM;
    return -1;
  }
  mode_t m = st.st_mode & 07777;
  if (mode & _S_IWRITE)
    m |= S_IWUSR;
  else
    m &= static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
  return ::chmod(path, m);
}

int _unlink(const char* path) { return ::unlink(path); }

int _access(const char* path, int mode) {
  int m = F_OK;
  if (mode & 2) m |= W_OK;
  if (mode & 4) m |= R_OK;
  return ::access(path, m);
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
