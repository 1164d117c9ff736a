#include "platform/held_folder.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>

bool krelvon_nt_line() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  return GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

namespace {

bool nt_line() { return krelvon_nt_line(); }

// The reparse tag of what an open handle names, when the system tells it
// (GetFileInformationByHandleEx, looked up by name: Vista and later; Wine
// answers 0). 0 when it does not.
DWORD reparse_tag_of(HANDLE handle) {
  using TagInfo = BOOL(WINAPI*)(HANDLE, int, void*, DWORD);
  const auto info = reinterpret_cast<TagInfo>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFileInformationByHandleEx")));
  struct {
    DWORD attributes;
    DWORD tag;
  } tag_info{0, 0};
  constexpr int kFileAttributeTagInfo = 9;
  if (info == nullptr || !info(handle, kFileAttributeTagInfo, &tag_info, sizeof tag_info)) return 0;
  return tag_info.tag;
}

// A reparse point that names another object (a name surrogate: symbolic
// link, junction, mount point) or whose tag is not told: never followed.
// Any other (deduplicated, compressed, a cloud file whose data is here) is
// only a way of storing the file.
bool is_link_reparse(HANDLE handle) {
  const DWORD tag = reparse_tag_of(handle);
  return tag == 0 || (tag & 0x20000000) != 0;
}

// Data that would be fetched before it can be read: never opened for it.
constexpr DWORD kNotLocal = 0x00001000 | 0x00040000 | 0x00400000;  // offline, recall on open, on data access


int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_CANT_RESOLVE_FILENAME: return ELOOP;
    default: return EACCES;
  }
}

}  // namespace

DWORD krelvon_hold_folder(const char* folder, const KrelvonHeldFolder* parent, KrelvonHeldFolder* held) {
  *held = KrelvonHeldFolder{};
  if (!nt_line()) return ERROR_SUCCESS;
  // Listing access without FILE_SHARE_DELETE: a handle that may read the
  // folder takes part in the sharing checks, so the folder cannot be opened
  // for renaming or deleting while it is held. The root of a walk is the
  // user's choice and is followed when it is a link; below it the reparse
  // point itself is opened, to be refused.
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (parent ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  const HANDLE handle = CreateFileA(folder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  BY_HANDLE_FILE_INFORMATION info;
  DWORD error = ERROR_SUCCESS;
  if (!GetFileInformationByHandle(handle, &info)) {
    error = GetLastError();
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error = ERROR_DIRECTORY;
  } else if (parent) {
    // The path is asked as well: a file system whose links a handle does not
    // show (Wine's view of POSIX symbolic links) still marks them there.
    const DWORD by_path = GetFileAttributesA(folder);
    const bool reparse = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
                         (by_path != INVALID_FILE_ATTRIBUTES && (by_path & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
    if (reparse && is_link_reparse(handle))
      error = ERROR_CANT_RESOLVE_FILENAME;
    else if (info.dwVolumeSerialNumber != parent->volume)
      error = ERROR_NOT_SAME_DEVICE;
  }
  if (error != ERROR_SUCCESS) {
    CloseHandle(handle);
    return error;
  }
  held->handle = handle;
  held->volume = info.dwVolumeSerialNumber;
  return ERROR_SUCCESS;
}

void krelvon_release_folder(KrelvonHeldFolder* held) {
  if (held->handle) CloseHandle(static_cast<HANDLE>(held->handle));
  *held = KrelvonHeldFolder{};
}

int krelvon_open_for_reading(const char* path) {
  // The sharing of the runtime's _open; the reparse point itself is opened,
  // to be refused, so a link is never followed.
  HANDLE handle =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL | (nt_line() ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = errno_of(GetLastError());
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION info;
  int refused = 0;
  if (GetFileType(handle) != FILE_TYPE_DISK)
    refused = ENXIO;
  else if (!GetFileInformationByHandle(handle, &info))
    refused = errno_of(GetLastError());
  else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
    refused = EISDIR;
  else if (info.dwFileAttributes & kNotLocal)
    refused = ENODATA;
  else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && is_link_reparse(handle))
    refused = ELOOP;
  else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // A file stored through a reparse point: its data comes through the
    // system's own handling of it, so it is opened again the usual way, and
    // must still be the same file.
    const HANDLE plain = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    BY_HANDLE_FILE_INFORMATION again;
    if (plain == INVALID_HANDLE_VALUE) {
      refused = errno_of(GetLastError());
    } else if (!GetFileInformationByHandle(plain, &again) || again.dwVolumeSerialNumber != info.dwVolumeSerialNumber ||
               again.nFileIndexHigh != info.nFileIndexHigh || again.nFileIndexLow != info.nFileIndexLow) {
      CloseHandle(plain);
      refused = ELOOP;
    } else {
      CloseHandle(handle);
      handle = plain;
    }
  }
  const int fd = refused ? -1 : _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    errno = refused ? refused : EMFILE;
  }
  return fd;
}
