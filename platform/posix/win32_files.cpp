#include "platform/posix/win32_files.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/beneath.h"

namespace {

DWORD error_from_errno(int e) {
  switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EIO: return ERROR_READ_FAULT;
    default: return ERROR_ACCESS_DENIED;  // EACCES, EPERM, EROFS and the rest
  }
}

BOOL fail_errno() {
  SetLastError(error_from_errno(errno));
  return FALSE;
}

// One open listing of FindFirstFileA.
struct Search {
  DIR* dir = nullptr;  // null for a search that names one file
  std::string pattern;
  bool failed = false;  // the folder could not be read to its end
};

bool has_wildcards(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

// Win32 masks: "*" and "*.*" match every name; "X.*" also matches "X".
bool mask_matches(const std::string& pattern, const char* name) {
  if (pattern == "*" || pattern == "*.*") return true;
  if (fnmatch(pattern.c_str(), name, FNM_CASEFOLD) == 0) return true;
  if (pattern.size() > 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0) {
    const std::string stem = pattern.substr(0, pattern.size() - 2);
    if (fnmatch(stem.c_str(), name, FNM_CASEFOLD) == 0) return true;
  }
  return false;
}

DWORD hidden_if_dot_name(const char* name) {
  return name[0] == '.' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 ? FILE_ATTRIBUTE_HIDDEN : 0;
}

DWORD attributes_of(const struct stat& st, const char* name) {
  DWORD a = 0;
  if (S_ISLNK(st.st_mode)) {
    a = FILE_ATTRIBUTE_REPARSE_POINT;
  } else if (S_ISDIR(st.st_mode)) {
    a = FILE_ATTRIBUTE_DIRECTORY;
  } else if (S_ISREG(st.st_mode)) {
    a = FILE_ATTRIBUTE_ARCHIVE;
  } else {
    a = FILE_ATTRIBUTE_DEVICE;  // FIFO, socket, character or block device
  }
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) a |= FILE_ATTRIBUTE_READONLY;
  return a | hidden_if_dot_name(name);
}

const char* base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// The attributes a listing's entry type alone gives.
DWORD attributes_of_type(unsigned char type) {
  switch (type) {
    case DT_DIR: return FILE_ATTRIBUTE_DIRECTORY;
    case DT_LNK: return FILE_ATTRIBUTE_REPARSE_POINT;
    case DT_FIFO:
    case DT_SOCK:
    case DT_CHR:
    case DT_BLK: return FILE_ATTRIBUTE_DEVICE;
    default: return FILE_ATTRIBUTE_ARCHIVE;
  }
}

// An entry with the attributes of st, or, when st is null (an entry of a
// folder's listing), with those of its type and name. False for a name too
// long for the record.
bool fill_entry(const char* name, const struct stat* st, WIN32_FIND_DATAA* data, unsigned char type = DT_UNKNOWN) {
  const std::size_t len = std::strlen(name);
  if (len >= MAX_PATH) return false;
  std::memset(data, 0, sizeof *data);
  std::memcpy(data->cFileName, name, len + 1);
  if (!st) {
    data->dwFileAttributes = attributes_of_type(type) | hidden_if_dot_name(name);
    return true;
  }
  data->dwFileAttributes = attributes_of(*st, name);
  const auto size = static_cast<std::uint64_t>(st->st_size);
  data->nFileSizeLow = static_cast<DWORD>(size);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  return true;
}

bool next_from_dir(Search* s, WIN32_FIND_DATAA* data) {
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(s->dir);
    if (!e) {
      s->failed = errno != 0;
      return false;
    }
    if (!mask_matches(s->pattern, e->d_name)) continue;
    // An entry whose kind cannot be told stays an ordinary file entry.
    if (fill_entry(e->d_name, nullptr, data, krelvon::posix::listed_kind(::dirfd(s->dir), e))) return true;
  }
}

// The object a path names, never what a link leads to.
bool stat_path(const krelvon::posix::AtPath& at, struct stat* st) {
  return at.ok() && ::fstatat(at.dir(), at.name(), st, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace

HANDLE FindFirstFileA(LPCSTR mask, LPWIN32_FIND_DATAA data) {
  if (!mask || !data || !*mask) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string m(mask);
  const std::size_t cut = m.rfind('/');
  std::string folder = cut == std::string::npos ? std::string() : m.substr(0, cut == 0 ? 1 : cut);
  auto search = std::make_unique<Search>();
  search->pattern = cut == std::string::npos ? m : m.substr(cut + 1);
  if (!has_wildcards(search->pattern)) {
    const krelvon::posix::AtPath at(mask);
    struct stat st {};
    if (search->pattern.empty() || !stat_path(at, &st)) {
      SetLastError(search->pattern.empty() ? ERROR_FILE_NOT_FOUND : error_from_errno(errno));
      return INVALID_HANDLE_VALUE;
    }
    if (!fill_entry(search->pattern.c_str(), &st, data)) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return INVALID_HANDLE_VALUE;
    }
    return search.release();
  }
  const int fd = krelvon::posix::open_folder_for_listing(folder);
  search->dir = fd < 0 ? nullptr : ::fdopendir(fd);
  if (!search->dir) {
    SetLastError(error_from_errno(errno));
    if (fd >= 0) ::close(fd);
    return INVALID_HANDLE_VALUE;
  }
  if (!next_from_dir(search.get(), data)) {
    SetLastError(search->failed ? ERROR_READ_FAULT : ERROR_FILE_NOT_FOUND);
    ::closedir(search->dir);
    return INVALID_HANDLE_VALUE;
  }
  return search.release();
}

BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data) {
  if (!search || search == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* s = static_cast<Search*>(search);
  if (!s->dir || !next_from_dir(s, data)) {
    SetLastError(s->failed ? ERROR_READ_FAULT : ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return TRUE;
}

BOOL FindClose(HANDLE search) {
  if (!search || search == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* s = static_cast<Search*>(search);
  if (s->dir) ::closedir(s->dir);
  delete s;
  return TRUE;
}

UINT GetDriveTypeA(LPCSTR) { return DRIVE_NO_ROOT_DIR; }

DWORD GetFileAttributesA(LPCSTR path) {
  const krelvon::posix::AtPath at(path);
  struct stat st {};
  if (!stat_path(at, &st)) {
    fail_errno();
    return INVALID_FILE_ATTRIBUTES;
  }
  return attributes_of(st, base_name(path));
}

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
  const krelvon::posix::AtPath at(path);
  struct stat st {};
  if (!stat_path(at, &st)) return fail_errno();
  if (S_ISLNK(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  mode_t m = st.st_mode & 07777;
  if (attributes & FILE_ATTRIBUTE_READONLY)
    m &= static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
  else
    m |= S_IWUSR;
  // AT_SYMLINK_NOFOLLOW: a link put at the path since the stat is refused.
  if (m != (st.st_mode & 07777) && ::fchmodat(at.dir(), at.name(), m, AT_SYMLINK_NOFOLLOW) != 0) return fail_errno();
  return TRUE;
}

BOOL MoveFileA(LPCSTR from, LPCSTR to) {
  const krelvon::posix::AtPath source(from);
  const krelvon::posix::AtPath target(to);
  struct stat st {};
  if (!stat_path(source, &st) || !target.ok()) return fail_errno();
  if (std::strcmp(from, to) == 0) return TRUE;
  if (::renameat2(source.dir(), source.name(), target.dir(), target.name(), RENAME_NOREPLACE) == 0) return TRUE;
  if (errno == EEXIST) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  // A file system that cannot refuse the replacement itself.
  if (errno != EINVAL && errno != ENOSYS) return fail_errno();
  if (stat_path(target, &st)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (::renameat(source.dir(), source.name(), target.dir(), target.name()) != 0) return fail_errno();
  return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
  const krelvon::posix::AtPath at(path);
  struct stat st {};
  if (!stat_path(at, &st)) return fail_errno();
  if (S_ISDIR(st.st_mode) ||
      (!S_ISLNK(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (::unlinkat(at.dir(), at.name(), 0) != 0) return fail_errno();
  return TRUE;
}

