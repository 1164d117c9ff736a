#include "platform/posix/win32.h"


#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/posix/beneath.h"

namespace {

thread_local DWORD g_last_error = ERROR_SUCCESS;

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
  g_last_error = error_from_errno(errno);
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

DWORD GetLastError() { return g_last_error; }
void SetLastError(DWORD code) { g_last_error = code; }

HANDLE FindFirstFileA(LPCSTR mask, LPWIN32_FIND_DATAA data) {
  if (!mask || !data || !*mask) {
    g_last_error = ERROR_INVALID_PARAMETER;
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
      g_last_error = search->pattern.empty() ? ERROR_FILE_NOT_FOUND : error_from_errno(errno);
      return INVALID_HANDLE_VALUE;
    }
    if (!fill_entry(search->pattern.c_str(), &st, data)) {
      g_last_error = ERROR_FILENAME_EXCED_RANGE;
      return INVALID_HANDLE_VALUE;
    }
    return search.release();
  }
  const int fd = krelvon::posix::open_folder_for_listing(folder);
  search->dir = fd < 0 ? nullptr : ::fdopendir(fd);
  if (!search->dir) {
    g_last_error = error_from_errno(errno);
    if (fd >= 0) ::close(fd);
    return INVALID_HANDLE_VALUE;
  }
  if (!next_from_dir(search.get(), data)) {
    g_last_error = search->failed ? ERROR_READ_FAULT : ERROR_FILE_NOT_FOUND;
    ::closedir(search->dir);
    return INVALID_HANDLE_VALUE;
  }
  return search.release();
}

BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data) {
  if (!search || search == INVALID_HANDLE_VALUE) {
    g_last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  auto* s = static_cast<Search*>(search);
  if (!s->dir || !next_from_dir(s, data)) {
    g_last_error = s->failed ? ERROR_READ_FAULT : ERROR_NO_MORE_FILES;
    return FALSE;
  }
  return TRUE;
}

BOOL FindClose(HANDLE search) {
  if (!search || search == INVALID_HANDLE_VALUE) {
    g_last_error = ERROR_INVALID_HANDLE;
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
    g_last_error = ERROR_ACCESS_DENIED;
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
    g_last_error = ERROR_ALREADY_EXISTS;
    return FALSE;
  }
  // A file system that cannot refuse the replacement itself.
  if (errno != EINVAL && errno != ENOSYS) return fail_errno();
  if (stat_path(target, &st)) {
    g_last_error = ERROR_ALREADY_EXISTS;
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
    g_last_error = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  if (::unlinkat(at.dir(), at.name(), 0) != 0) return fail_errno();
  return TRUE;
}

void Sleep(DWORD milliseconds) {
#ifdef KRELVON_NO_WAITS
  // Fuzz builds: the fixed waits only slow the search down.
  (void)milliseconds;
  return;
#endif
  timespec ts{static_cast<time_t>(milliseconds / 1000),
              static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
  if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    g_last_error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  info->dwMajorVersion = 0;
  info->dwMinorVersion = 0;
  info->dwBuildNumber = 0;
  info->dwPlatformId = VER_PLATFORM_POSIX_HOST;
  info->szCSDVersion[0] = '\0';
  return TRUE;
}

HANDLE OpenProcess(DWORD, BOOL, DWORD) {
  g_last_error = ERROR_CALL_NOT_IMPLEMENTED;
  return nullptr;
}
BOOL TerminateProcess(HANDLE, UINT) {
  g_last_error = ERROR_INVALID_HANDLE;
  return FALSE;
}
BOOL CloseHandle(HANDLE) {
  g_last_error = ERROR_INVALID_HANDLE;
  return FALSE;
}
HMODULE LoadLibraryA(LPCSTR) {
  g_last_error = ERROR_FILE_NOT_FOUND;
  return nullptr;
}
FARPROC GetProcAddress(HMODULE, LPCSTR) {
  g_last_error = ERROR_CALL_NOT_IMPLEMENTED;
  return nullptr;
}
BOOL FreeLibrary(HMODULE) { return FALSE; }

int WideCharToMultiByte(UINT, DWORD, const WCHAR* wide, int length, LPSTR out, int out_size,
                        LPCSTR, BOOL* used_default) {
  if (used_default) *used_default = FALSE;
  if (!wide || length == 0 || out_size < 0) {
    g_last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  std::string utf8;
  const bool to_terminator = length < 0;
  for (int i = 0; to_terminator || i < length; ++i) {
    std::uint32_t c = wide[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      const std::uint32_t lo = (to_terminator || i + 1 < length) ? wide[i + 1] : 0;
      if (lo < 0xDC00 || lo > 0xDFFF) {
        g_last_error = ERROR_NO_UNICODE_TRANSLATION;
        return 0;
      }
      c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      g_last_error = ERROR_NO_UNICODE_TRANSLATION;
      return 0;
    }
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else if (c < 0x800) {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      utf8 += static_cast<char>(0xE0 | (c >> 12));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      utf8 += static_cast<char>(0xF0 | (c >> 18));
      utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
    if (to_terminator && c == 0) break;
  }
  const int needed = static_cast<int>(utf8.size());
  if (out_size == 0) return needed;
  if (needed > out_size) {
    g_last_error = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(out, utf8.data(), utf8.size());
  return needed;
}

LONG RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY result) {
  if (result) *result = nullptr;
  return ERROR_FILE_NOT_FOUND;
}
LONG RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
  return ERROR_INVALID_HANDLE;
}
LONG RegQueryInfoKeyA(HKEY, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                      LPDWORD, LPDWORD, FILETIME*) {
  return ERROR_INVALID_HANDLE;
}
LONG RegEnumValueA(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
  return ERROR_INVALID_HANDLE;
}
LONG RegDeleteValueA(HKEY, LPCSTR) { return ERROR_INVALID_HANDLE; }
LONG RegDeleteKeyA(HKEY, LPCSTR) { return ERROR_FILE_NOT_FOUND; }
LONG RegCloseKey(HKEY) { return ERROR_INVALID_HANDLE; }

SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) {
  g_last_error = ERROR_CALL_NOT_IMPLEMENTED;
  return nullptr;
}
SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) {
  g_last_error = ERROR_INVALID_HANDLE;
  return nullptr;
}
BOOL ControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) {
  g_last_error = ERROR_INVALID_HANDLE;
  return FALSE;
}
BOOL QueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS) {
  g_last_error = ERROR_INVALID_HANDLE;
  return FALSE;
}
BOOL CloseServiceHandle(SC_HANDLE) {
  g_last_error = ERROR_INVALID_HANDLE;
  return FALSE;
}

// --- windows --------------------------------------------------------------

struct HWND__ {
  WNDPROC proc;
  bool alive;
};

namespace {

struct WindowClass {
  std::string name;
  WNDPROC proc;
};

std::vector<WindowClass>& classes() {
  static std::vector<WindowClass> list;
  return list;
}

// Windows are never freed, only marked dead, so a stale handle stays safe to
// test with IsWindow.
std::vector<std::unique_ptr<HWND__>>& windows() {
  static std::vector<std::unique_ptr<HWND__>> list;
  return list;
}

std::deque<MSG>& queue() {
  static std::deque<MSG> q;
  return q;
}

bool live(HWND w) {
  if (!w) return false;
  for (const auto& x : windows())
    if (x.get() == w) return x->alive;
  return false;
}

PosixMessageBoxHandler g_message_box = nullptr;

}  // namespace

ATOM RegisterClassA(const WNDCLASSA* window_class) {
  if (!window_class || !window_class->lpszClassName || !window_class->lpfnWndProc) {
    g_last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  for (const auto& c : classes())
    if (c.name == window_class->lpszClassName) {
      g_last_error = ERROR_ALREADY_EXISTS;
      return 0;
    }
  classes().push_back({window_class->lpszClassName, window_class->lpfnWndProc});
  return static_cast<ATOM>(classes().size());
}

BOOL UnregisterClassA(LPCSTR class_name, HINSTANCE) {
  auto& list = classes();
  for (auto it = list.begin(); it != list.end(); ++it)
    if (it->name == class_name) {
      list.erase(it);
      return TRUE;
    }
  return FALSE;
}

HWND CreateWindowExA(DWORD, LPCSTR class_name, LPCSTR, DWORD, int, int, int, int, HWND, HMENU,
                     HINSTANCE, LPVOID) {
  for (const auto& c : classes())
    if (class_name && c.name == class_name) {
      windows().push_back(std::make_unique<HWND__>(HWND__{c.proc, true}));
      return windows().back().get();
    }
  g_last_error = ERROR_FILE_NOT_FOUND;
  return nullptr;
}

BOOL DestroyWindow(HWND window) {
  if (!live(window)) {
    g_last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  window->proc(window, WM_DESTROY, 0, 0);
  window->alive = false;
  return TRUE;
}

BOOL IsWindow(HWND window) { return live(window) ? TRUE : FALSE; }

LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (!live(window)) {
    g_last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  return window->proc(window, message, wparam, lparam);
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (window && !live(window)) {
    g_last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  queue().push_back(MSG{window, message, wparam, lparam, 0, {0, 0}});
  return TRUE;
}

void PostQuitMessage(int exit_code) {
  queue().push_back(MSG{nullptr, WM_QUIT, static_cast<WPARAM>(exit_code), 0, 0, {0, 0}});
}

BOOL PeekMessageA(LPMSG msg, HWND, UINT, UINT, UINT remove) {
  if (queue().empty()) return FALSE;
  *msg = queue().front();
  if (remove & PM_REMOVE) queue().pop_front();
  return TRUE;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageA(const MSG* msg) {
  if (!msg || !live(msg->hwnd)) return 0;
  return msg->hwnd->proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  if (g_message_box) return g_message_box(owner, text, caption, type);
  return (type & 0xF) == MB_YESNO ? IDNO : IDOK;
}

void posix_set_message_box_handler(PosixMessageBoxHandler handler) { g_message_box = handler; }
