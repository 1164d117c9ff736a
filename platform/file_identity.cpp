#include "platform/file_identity.h"

#ifdef _WIN32
#include <windows.h>
#include <io.h>

#include "platform/held_folder.h"

namespace {

bool identity_of_handle(HANDLE handle, KrelvonFileIdentity* out) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  out->volume = info.dwVolumeSerialNumber;
  out->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace

bool krelvon_file_identity(int fd, KrelvonFileIdentity* out) {
  const intptr_t handle = _get_osfhandle(fd);
  if (handle == -1) return false;
  return identity_of_handle(reinterpret_cast<HANDLE>(handle), out);
}

bool krelvon_path_identity(const char* path, KrelvonFileIdentity* out) {
  // No access asked for and every sharing mode allowed: looking must neither
  // fail because another program holds the file nor keep it from anyone.
  // The 95 line knows neither FILE_SHARE_DELETE nor the two flags (and
  // refuses the call with them); it has no links to keep from following.
  const bool nt = krelvon_nt_line();
  const HANDLE handle =
      CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | (nt ? FILE_SHARE_DELETE : 0), nullptr, OPEN_EXISTING,
                  nt ? FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT : 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool known = identity_of_handle(handle, out);
  CloseHandle(handle);
  return known;
}

#else
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/posix/beneath.h"
#include "platform/posix/crt.h"

bool krelvon_file_identity(int fd, KrelvonFileIdentity* out) {
  // Asked once of the runtime, which opened every descriptor the handlers
  // hold: a descriptor that is no regular file has no identity.
  return krelvon_opened_file(fd, &out->volume, &out->index);
}

bool krelvon_path_identity(const char* path, KrelvonFileIdentity* out) {
  const krelvon::posix::AtPath at(path);
  struct stat st {};
  if (!at.ok() || ::fstatat(at.dir(), at.name(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  out->volume = static_cast<std::uint64_t>(st.st_dev);
  out->index = static_cast<std::uint64_t>(st.st_ino);
  return true;
}

#endif
