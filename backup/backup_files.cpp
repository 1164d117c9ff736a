#include "backup/backup_files.h"

#include <cerrno>
#include <cstring>

#include "backup/sha256.h"
#include "platform/faults.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/held_folder.h"
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/posix/beneath.h"
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

std::string Folder::sha256_of(const std::string& name) const {
  File f;
  std::string sha;
  if (!f.open_read(*this, name) || !copy(f, nullptr, &sha, nullptr)) return "";
  return sha;
}

Folder::~Folder() { close(); }

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
  if (!is_open()) note_failure();
  return is_open();
}

bool File::open_read(const Folder& folder, const std::string& name) { return open_read(join(folder.path_, name)); }
bool File::create(const Folder& folder, const std::string& name) { return create(join(folder.path_, name)); }

void File::note_failure() {
  const DWORD e = GetLastError();
  if (e == ERROR_DISK_FULL || e == ERROR_HANDLE_DISK_FULL) full_ = true;
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
    if (!WriteFile(as_handle(handle_), p, static_cast<DWORD>(size), &put, nullptr) || put == 0) {
      note_failure();
      return false;
    }
    p += put;
    size -= put;
  }
  return true;
}

bool File::sync() {
  if (KRELVON_FAIL_NOW(kSync)) return false;
  if (FlushFileBuffers(as_handle(handle_))) return true;
  note_failure();
  return false;
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
  if (!closed) note_failure();
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
  return krelvon::files::replace(from, to);
}

bool remove(const std::string& path) {
  if (KRELVON_FAIL_NOW(kUnlink)) return false;
  const DWORD a = GetFileAttributesA(path.c_str());
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) != 0)
    SetFileAttributesA(path.c_str(), a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  return DeleteFileA(path.c_str()) != FALSE;
}

bool sync_folder(const std::string& folder) { return !KRELVON_FAIL_NOW(kSync) && krelvon::files::sync_folder(folder); }

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

void Folder::close() { path_.clear(); }

bool Folder::open(const std::string& path) {
  close();
  if (!is_folder(path)) return false;
  path_ = path;
  return true;
}

bool Folder::open_beneath(const Folder& base, const std::vector<std::string>& names) {
  close();
  std::string p = base.path_;
  for (const std::string& name : names) {
    p = join(p, name);
    const DWORD a = GetFileAttributesA(p.c_str());
    if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY) == 0 || (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
      return false;
  }
  path_ = p;
  return true;
}

bool Folder::identity(KrelvonFileIdentity* out) const { return krelvon::files::identity_of(path_, out); }
bool Folder::meta_of(const std::string& name, Meta* out) const { return files::meta_of(join(path_, name), out); }
bool Folder::exists(const std::string& name) const { return files::exists(join(path_, name)); }
bool Folder::replace(const std::string& from, const std::string& to) const {
  return files::replace(join(path_, from), join(path_, to));
}
bool Folder::remove(const std::string& name) const { return files::remove(join(path_, name)); }
bool Folder::sync() const { return sync_folder(path_); }

std::string untrusted_folder(const std::string&, bool) { return ""; }

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

int open_retrying(int folder, const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(folder, path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

File::~File() { close(); }

bool File::is_open() const { return fd_ >= 0; }

void File::note_failure() {
  if (errno == ENOSPC || errno == EDQUOT) full_ = true;
}

bool File::open_read(const std::string& path) { return open_read_at(AT_FDCWD, path.c_str()); }
bool File::open_read(const Folder& folder, const std::string& name) { return open_read_at(folder.fd_, name.c_str()); }
bool File::create(const std::string& path) { return create_at(AT_FDCWD, path.c_str()); }
bool File::create(const Folder& folder, const std::string& name) { return create_at(folder.fd_, name.c_str()); }

bool File::open_read_at(int folder, const char* name) {
  close();
  if (KRELVON_FAIL_NOW(kOpen)) return false;
  // O_NONBLOCK: a FIFO put at the path must not hold the open. O_NOATIME,
  // where the owner or the superuser reads: the access time the backup
  // keeps and the restore puts back stays as it is.
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK;
  fd_ = open_retrying(folder, name, flags | O_NOATIME);
  if (fd_ < 0 && errno == EPERM) fd_ = open_retrying(folder, name, flags);
  struct stat st {};
  if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) close();
  return fd_ >= 0;
}

bool File::create_at(int folder, const char* name) {
  close();
  if (KRELVON_FAIL_NOW(kOpen)) return false;
  fd_ = open_retrying(folder, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  if (fd_ < 0) note_failure();
  return fd_ >= 0;
}

bool File::open_append(const std::string& path) {
  close();
  if (KRELVON_FAIL_NOW(kOpen)) return false;
  fd_ = open_retrying(AT_FDCWD, path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW, 0600);
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
    if (put <= 0) {
      if (put == 0) errno = ENOSPC;
      note_failure();
      return false;
    }
    p += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

bool File::sync() {
  if (KRELVON_FAIL_NOW(kSync)) return false;
  if (::fsync(fd_) == 0) return true;
  note_failure();
  return false;
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
  if (!closed) note_failure();
  fd_ = -1;
  return closed && !failed;
}

namespace {

// The calls of a path and of an entry of a held folder, one each.
bool meta_at(int folder, const char* name, Meta* out) {
  if (KRELVON_FAIL_NOW(kStat)) return false;
  struct stat st {};
  if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  fill(st, out);
  return true;
}

bool exists_at(int folder, const char* name) {
  struct stat st {};
  return ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

bool replace_at(int folder, const char* from, const char* to) {
  if (KRELVON_FAIL_NOW(kMove)) return false;
  return krelvon::files::replace_at(folder, from, to);
}

bool remove_at(int folder, const char* name) {
  if (KRELVON_FAIL_NOW(kUnlink)) return false;
  return ::unlinkat(folder, name, 0) == 0;
}

bool sync_at(int folder, const char* name) {
  if (KRELVON_FAIL_NOW(kSync)) return false;
  return krelvon::files::sync_folder_at(folder, name);
}

}  // namespace

bool meta_of(const std::string& path, Meta* out) { return meta_at(AT_FDCWD, path.c_str(), out); }
bool exists(const std::string& path) { return exists_at(AT_FDCWD, path.c_str()); }
bool set_attributes(const std::string&, const Meta&) { return true; }
bool replace(const std::string& from, const std::string& to) { return replace_at(AT_FDCWD, from.c_str(), to.c_str()); }
bool remove(const std::string& path) { return remove_at(AT_FDCWD, path.c_str()); }
bool sync_folder(const std::string& folder) { return sync_at(AT_FDCWD, folder.c_str()); }

void Folder::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_.clear();
}

bool Folder::open(const std::string& path) {
  close();
  if (path.empty() || path[0] != '/') return false;
  // One name at a time from the root, none of them a link.
  int at = open_retrying(AT_FDCWD, "/", O_PATH | O_DIRECTORY);
  for (std::size_t from = 1; at >= 0 && from < path.size();) {
    std::size_t end = path.find('/', from);
    if (end == std::string::npos) end = path.size();
    const std::string name = path.substr(from, end - from);
    from = end + 1;
    if (name.empty() || name == "." || name == "..") {
      ::close(at);
      return false;
    }
    const int next = open_retrying(at, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW);
    ::close(at);
    at = next;
  }
  if (at < 0) return false;
  fd_ = at;
  path_ = path;
  return true;
}

bool Folder::open_beneath(const Folder& base, const std::vector<std::string>& names) {
  close();
  std::string relative;
  for (const std::string& name : names) relative += (relative.empty() ? "" : "/") + name;
  fd_ = krelvon::posix::open_folder_beneath(base.fd_, relative, O_RDONLY);
  if (fd_ < 0) return false;
  path_ = relative.empty() ? base.path_ : join(base.path_, relative);
  return true;
}

bool Folder::identity(KrelvonFileIdentity* out) const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return false;
  out->volume = static_cast<std::uint64_t>(st.st_dev);
  out->index = static_cast<std::uint64_t>(st.st_ino);
  return true;
}

bool Folder::meta_of(const std::string& name, Meta* out) const { return meta_at(fd_, name.c_str(), out); }
bool Folder::exists(const std::string& name) const { return exists_at(fd_, name.c_str()); }
bool Folder::replace(const std::string& from, const std::string& to) const {
  return replace_at(fd_, from.c_str(), to.c_str());
}
bool Folder::remove(const std::string& name) const { return remove_at(fd_, name.c_str()); }
bool Folder::sync() const { return sync_at(fd_, "."); }

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

std::string untrusted_folder(const std::string& folder, bool itself) {
  std::string p = krelvon::files::real_path(folder);
  if (p.empty()) return folder + " cannot be found";
  const uid_t me = ::geteuid();
  for (;; p = parent_of(p), itself = false) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return p + " cannot be examined";
    if (st.st_uid != me && st.st_uid != 0) return p + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    const bool others_write = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool sticky_of_root = !itself && st.st_uid == 0 && (st.st_mode & S_ISVTX) != 0;
    if (others_write && !sticky_of_root) return p + " can be written by others than its owner";
    if (p == "/") return "";
  }
}

#endif

}  // namespace krelvon::cli::files
