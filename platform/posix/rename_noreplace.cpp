#include "platform/posix/rename_noreplace.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The ordinary rename after a check of the new name.
int checked_rename(const char* from, const char* to) {
  struct stat st {};
  if (::lstat(to, &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::rename(from, to);
}

// A second name for the file, then the old one removed.
int link_then_unlink(const char* from, const char* to) {
  struct stat st {};
  if (::lstat(from, &st) != 0) return -1;
  if (S_ISDIR(st.st_mode)) return checked_rename(from, to);
  if (::link(from, to) != 0) {
    // EEXIST: the name is taken. Without hard links (vfat, some network
    // file systems) only the checked rename is left.
    if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS || errno == EXDEV) return checked_rename(from, to);
    return -1;
  }
  if (::unlink(from) != 0) {
    const int e = errno;
    ::unlink(to);
    errno = e;
    return -1;
  }
  return 0;
}

}  // namespace

int krelvon_rename_noreplace(const char* from, const char* to) {
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  // EINVAL: the file system does not take the flag; ENOSYS: the kernel
  // has no renameat2.
  if (errno != EINVAL && errno != ENOSYS) return -1;
#endif
  return link_then_unlink(from, to);
}
