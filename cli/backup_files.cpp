#include "cli/backup_files.h"

#include <cerrno>
#include <cstring>

#include "cli/sha256.h"
#include "platform/faults.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/held_folder.h"
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#endif

// A failure point of the fault tests; in the programs, nothing.
#ifdef KRELVON_FAULT_INJECTION
#define KRELVON_FAIL_NOW(call) krelvon::faults::fail_now(krelvon::faults::Call::call)
#else
#define KRELVON_FAIL_NOW(call) false
#endif

namespace krelvon::cli::files {

bool same_mode_and_times(const Meta& a, const Meta& b) {
  // The access time is left out: any reader may move it.
  return a.mode == b.mode && a.modified == b.modified && a.created == b.created;
}

std::string join(const std::string& folder, const std::string& name) {
  if (!folder.empty() && (folder.back() == separator() || folder.back() == '/')) return folder + name;
  return folder + separator() + name;
}

bool copy(File& from, File* to, std::string* sha256, std::uint64_t* size) {
  Sha256 sha;
  std::uint64_t count = 0;
  char buffer[65536];
  for (;;) {
    const long got = from.read(buffer, sizeof buffer);
    if (got < 0) return false;
    if (got == 0) break;
    sha.update(buffer, static_cast<std::size_t>(got));
    count += static_cast<std::uint64_t>(got);
    if (to && !to->write(buffer, static_cast<std::size_t>(got))) return false;
  }
  *sha256 = sha.hex();
  if (size) *size = count;
  return true;
}

std::string sha256_of(const std::string& path) {
  File f;
  std::string sha;
  if (!f.open_read(path) || !copy(f, nullptr, &sha, nullptr)) return "";
  return sha;
}

bool read_all(const std::string& path, std::string* text) {
  File f;
  if (!f.open_read(path)) return false;
  char buffer[65536];
  long got = 0;
  while ((got = f.read(buffer, sizeof buffer)) > 0) text->append(buffer, static_cast<std::size_t>(got));
  return got == 0;
}

#ifdef _WIN32

namespace {

HANDLE as_handle(void* h) { return static_cast<HANDLE>(h); }

std::int64_t filetime(const FILETIME& t) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

FILETIME to_filetime(std::int64_t v) {
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(v));
  t.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(v) >> 32);
  return t;
}

bool meta_of_handle(HANDLE h, Meta* out) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return false;
  out->size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  out->mode = info.dwFileAttributes;
  out->created = filetime(info.ftCreationTime);
  out->accessed = filetime(info.ftLastAccessTime);
  out->modified = filetime(info.ftLastWriteTime);
  out->identity.volume = info.dwVolumeSerialNumber;
  out->identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  out->regular = (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  return true;
}

// Every sharing mode; the 95 line knows no FILE_SHARE_DELETE (and refuses
// it), nor the NT line's flags for folders and reparse points.
DWORD share_all() { return FILE_SHARE_READ | FILE_SHARE_WRITE | (krelvon_nt_line() ? FILE_SHARE_DELETE : 0); }
DWORD nt_flags(DWORD flags) { return krelvon_nt_line() ? flags : 0; }

// The object a path names, links followed or not.
HANDLE open_object(const std::string& path, bool follow) {
  return CreateFileA(path.c_str(), 0, share_all(), nullptr, OPEN_EXISTING,
                     nt_flags(FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT)), nullptr);
}

bool identity_of(const std::string& path, KrelvonFileIdentity* out) {
  const HANDLE h = open_object(path, true);
  if (h == INVALID_HANDLE_VALUE) return false;
  Meta m;
  const bool known = meta_of_handle(h, &m);
  CloseHandle(h);
  *out = m.identity;
  return known;
}

}  // namespace

File::~File() { close(); }

bool File::is_open() const { return as_handle(handle_) != INVALID_HANDLE_VALUE; }

bool File::open_read(const std::string& path) {
  close();
  if (KRELVON_FAIL_NOW(kOpen)) return false;
  handle_ = CreateFileA(path.c_str(), GENERIC_READ, share_all(), nullptr, OPEN_EXISTING,
                        nt_flags(FILE_FLAG_OPEN_REPARSE_POINT) | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  Meta m;
  if (is_open() && (!meta_of_handle(as_handle(handle_), &m) || !m.regular)) close();
  return is_open();
}

bool File::create(const std::string& path) {
  close();
  if (KRELVON_FAIL_NOW(kOpen)) return false;
  handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
  return is_open();
}

bool File::open_append(const std::string& path) {
  close();
  if (KRELVON_FAIL_NOW(kOpen)) return false;
  handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (is_open() && SetFilePointer(as_handle(handle_), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
      GetLastError() != NO_ERROR)
    close();
  return is_open();
}

long File::read(void* buffer, std::size_t size) {
  if (KRELVON_FAIL_NOW(kRead)) return -1;
  DWORD got = 0;
  if (!ReadFile(as_handle(handle_), buffer, static_cast<DWORD>(size), &got, nullptr)) return -1;
  return static_cast<long>(got);
}

bool File::write(const void* data, std::size_t size) {
  if (KRELVON_FAIL_NOW(kWrite)) return false;
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD put = 0;
    if (!WriteFile(as_handle(handle_), p, static_cast<DWORD>(size), &put, nullptr) || put == 0) return false;
    p += put;
    size -= put;
  }
  return true;
}

bool File::sync() {
  if (KRELVON_FAIL_NOW(kSync)) return false;
  return FlushFileBuffers(as_handle(handle_)) != FALSE;
}

bool File::meta(Meta* out) {
  if (KRELVON_FAIL_NOW(kStat)) return false;
  return meta_of_handle(as_handle(handle_), out);
}

bool File::set_meta(const Meta& m) {
  if (KRELVON_FAIL_NOW(kSetTimes)) return false;
  const FILETIME created = to_filetime(m.created), accessed = to_filetime(m.accessed),
                 modified = to_filetime(m.modified);
  return SetFileTime(as_handle(handle_), &created, &accessed, &modified) != FALSE;
}

bool File::close() {
  if (!is_open()) return true;
  const bool failed = KRELVON_FAIL_NOW(kClose);
  const bool closed = CloseHandle(as_handle(handle_)) != FALSE;
  handle_ = INVALID_HANDLE_VALUE;
  return closed && !failed;
}

bool meta_of(const std::string& path, Meta* out) {
  if (KRELVON_FAIL_NOW(kStat)) return false;
  const HANDLE h = open_object(path, false);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool known = meta_of_handle(h, out);
  CloseHandle(h);
  return known;
}

bool exists(const std::string& path) {
  if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  const DWORD e = GetLastError();
  return e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND;
}

bool set_attributes(const std::string& path, const Meta& m) {
  if (KRELVON_FAIL_NOW(kSetTimes)) return false;
  return SetFileAttributesA(path.c_str(), m.mode) != FALSE;
}

bool replace(const std::string& from, const std::string& to) {
  if (KRELVON_FAIL_NOW(kMove)) return false;
  // A read-only file cannot be replaced.
  const DWORD old = GetFileAttributesA(to.c_str());
  if (old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_READONLY) != 0)
    SetFileAttributesA(to.c_str(), old & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return false;
  // The 95 line has no MoveFileEx: the old file goes first, then the new
  // one takes its name (a crash in between leaves the new file under its
  // temporary name, beside the target).
  return (DeleteFileA(to.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) && MoveFileA(from.c_str(), to.c_str());
}

bool remove(const std::string& path) {
  if (KRELVON_FAIL_NOW(kUnlink)) return false;
  const DWORD a = GetFileAttributesA(path.c_str());
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) != 0)
    SetFileAttributesA(path.c_str(), a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  return DeleteFileA(path.c_str()) != FALSE;
}

bool sync_folder(const std::string&) { return !KRELVON_FAIL_NOW(kSync); }

bool make_folder(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != FALSE; }

bool is_folder(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool list(const std::string& folder, std::vector<std::string>* names) {
  WIN32_FIND_DATAA data;
  const HANDLE h = FindFirstFileA(join(folder, "*").c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    if (std::strcmp(data.cFileName, ".") != 0 && std::strcmp(data.cFileName, "..") != 0)
      names->emplace_back(data.cFileName);
  } while (FindNextFileA(h, &data));
  FindClose(h);
  return true;
}

char separator() { return '\\'; }

std::string parent_of(const std::string& path) {
  const std::size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos) return ".";
  if (cut == 0 || (cut == 2 && path[1] == ':')) return path.substr(0, cut + 1);
  return path.substr(0, cut);
}

std::string full_path(const std::string& path) {
  char buffer[MAX_PATH * 4];
  const DWORD n = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
  if (n == 0 || n >= sizeof buffer) return "";
  std::string full(buffer, n);
  while (full.size() > 3 && (full.back() == '\\' || full.back() == '/')) full.pop_back();
  return full;
}

bool inside(const std::string& inner, const std::string& outer) {
  KrelvonFileIdentity target;
  if (!identity_of(outer, &target)) return false;
  std::string p = full_path(inner);
  while (!p.empty()) {
    KrelvonFileIdentity id;
    if (identity_of(p, &id) && id == target) return true;
    const std::string up = parent_of(p);
    if (up == p) break;
    p = up;
  }
  return false;
}

#else  // POSIX

namespace {

std::int64_t nanoseconds(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + static_cast<std::int64_t>(t.tv_nsec);
}

timespec to_timespec(std::int64_t ns) {
  timespec t{};
  t.tv_sec = static_cast<time_t>(ns / 1000000000);
  t.tv_nsec = static_cast<long>(ns % 1000000000);
  if (t.tv_nsec < 0) {
    t.tv_nsec += 1000000000;
    --t.tv_sec;
  }
  return t;
}

void fill(const struct stat& st, Meta* out) {
  out->size = static_cast<std::uint64_t>(st.st_size);
  out->mode = static_cast<std::uint32_t>(st.st_mode & 07777);
  out->accessed = nanoseconds(st.st_atim);
  out->modified = nanoseconds(st.st_mtim);
  out->created = 0;
  out->owner = st.st_uid;
  out->group = st.st_gid;
  out->identity.volume = static_cast<std::uint64_t>(st.st_dev);
  out->identity.index = static_cast<std::uint64_t>(st.st_ino);
  out->regular = S_ISREG(st.st_mode);
}

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

File::~File() { close(); }

bool File::is_open() const { return fd_ >= 0; }

bool File::open_read(const std::string& path) {
  close();
  if (KRELVON_FAIL_NOW(kOpen)) return false;
  // O_NONBLOCK: a FIFO put at the path must not hold the open. O_NOATIME,
  // where the owner or the superuser reads: the access time the backup
  // keeps and the restore puts back stays as it is.
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK;
  fd_ = open_retrying(path.c_str(), flags | O_NOATIME);
  if (fd_ < 0 && errno == EPERM) fd_ = open_retrying(path.c_str(), flags);
  struct stat st {};
  if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) close();
  return fd_ >= 0;
}

bool File::create(const std::string& path) {
  close();
  if (KRELVON_FAIL_NOW(kOpen)) return false;
  fd_ = open_retrying(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  return fd_ >= 0;
}

bool File::open_append(const std::string& path) {
  close();
  if (KRELVON_FAIL_NOW(kOpen)) return false;
  fd_ = open_retrying(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW, 0600);
  return fd_ >= 0;
}

long File::read(void* buffer, std::size_t size) {
  if (KRELVON_FAIL_NOW(kRead)) return -1;
  ssize_t got;
  do {
    got = ::read(fd_, buffer, size);
  } while (got < 0 && errno == EINTR);
  return static_cast<long>(got);
}

bool File::write(const void* data, std::size_t size) {
  if (KRELVON_FAIL_NOW(kWrite)) return false;
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t put = ::write(fd_, p, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

bool File::sync() {
  if (KRELVON_FAIL_NOW(kSync)) return false;
  return ::fsync(fd_) == 0;
}

bool File::meta(Meta* out) {
  if (KRELVON_FAIL_NOW(kStat)) return false;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return false;
  fill(st, out);
  return true;
}

bool File::set_meta(const Meta& m) {
  if (KRELVON_FAIL_NOW(kSetTimes)) return false;
  // The owner first: a change of owner clears the set-user-ID bits that the
  // mode then sets.
  if (::geteuid() == 0 && ::fchown(fd_, m.owner, m.group) != 0) return false;
  const timespec times[2] = {to_timespec(m.accessed), to_timespec(m.modified)};
  return ::fchmod(fd_, static_cast<mode_t>(m.mode)) == 0 && ::futimens(fd_, times) == 0;
}

bool File::close() {
  if (fd_ < 0) return true;
  const bool failed = KRELVON_FAIL_NOW(kClose);
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  return closed && !failed;
}

bool meta_of(const std::string& path, Meta* out) {
  if (KRELVON_FAIL_NOW(kStat)) return false;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return false;
  fill(st, out);
  return true;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

bool set_attributes(const std::string&, const Meta&) { return true; }

bool replace(const std::string& from, const std::string& to) {
  if (KRELVON_FAIL_NOW(kMove)) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool remove(const std::string& path) {
  if (KRELVON_FAIL_NOW(kUnlink)) return false;
  return ::unlink(path.c_str()) == 0;
}

bool sync_folder(const std::string& folder) {
  if (KRELVON_FAIL_NOW(kSync)) return false;
  const int fd = open_retrying(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

bool make_folder(const std::string& path) { return ::mkdir(path.c_str(), 0700) == 0; }

bool is_folder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool list(const std::string& folder, std::vector<std::string>* names) {
  DIR* d = ::opendir(folder.c_str());
  if (!d) return false;
  while (const dirent* e = ::readdir(d))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names->emplace_back(e->d_name);
  ::closedir(d);
  return true;
}

char separator() { return '/'; }

std::string parent_of(const std::string& path) {
  const std::size_t cut = path.rfind('/');
  if (cut == std::string::npos) return ".";
  if (cut == 0) return "/";
  return path.substr(0, cut);
}

std::string full_path(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const std::size_t cut = p.rfind('/');
  const std::string name = cut == std::string::npos ? p : p.substr(cut + 1);
  const std::string folder = cut == std::string::npos ? "." : cut == 0 ? "/" : p.substr(0, cut);
  const bool whole = name.empty() || name == "." || name == "..";
  char* real = ::realpath(whole ? p.c_str() : folder.c_str(), nullptr);
  if (!real) return "";
  std::string full = real;
  std::free(real);
  if (whole) return full;
  return full == "/" ? "/" + name : full + "/" + name;
}

bool inside(const std::string& inner, const std::string& outer) {
  struct stat target {};
  if (::stat(outer.c_str(), &target) != 0) return false;
  char* real = ::realpath(inner.c_str(), nullptr);
  if (!real) return false;
  std::string p = real;
  std::free(real);
  // Every name of a real path is no link, so its folders by name are its
  // folders on the disk.
  for (;;) {
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0 && st.st_dev == target.st_dev && st.st_ino == target.st_ino) return true;
    if (p == "/") return false;
    p = parent_of(p);
  }
}

#endif

}  // namespace krelvon::cli::files
