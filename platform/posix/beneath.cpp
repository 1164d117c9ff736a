#include "platform/posix/beneath.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

#include "platform/held_folder.h"
#include "platform/posix/crt.h"
#include "platform/posix/win32.h"

#if defined(__linux__) && __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#include <sys/syscall.h>
#define KRELVON_HAVE_OPENAT2 1
#endif

namespace krelvon::posix {

namespace {

// A folder held by a walk; the first of a walk (no parent) is its root.
struct Held {
  std::string path;
  int fd;
  dev_t device;
  bool root;
};

std::vector<Held>& held_folders() {
  static std::vector<Held> list;
  return list;
}

bool g_use_openat2 = true;

// The innermost held root.
const Held* current_root() {
  const auto& list = held_folders();
  for (auto it = list.rbegin(); it != list.rend(); ++it)
    if (it->root) return &*it;
  return nullptr;
}

// The length of the root's path with the separator after it ("/" stays
// "/"), when `path` names something below the root; 0 otherwise.
std::size_t below_root(const Held& root, const char* path) {
  const std::string& r = root.path;
  const bool slash_ends_root = !r.empty() && r.back() == '/';
  if (std::strncmp(path, r.c_str(), r.size()) != 0) return 0;
  const char* rest = path + r.size();
  if (!slash_ends_root) {
    if (*rest != '/') return 0;
    ++rest;
  }
  return *rest == '\0' ? 0 : static_cast<std::size_t>(rest - path);
}

// Closes fd when it is not the root's, keeping errno.
void close_keeping_errno(int fd, const Held& root) {
  if (fd < 0 || fd == root.fd) return;
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

// The folder `relative` (below the root, '/' between names) opened with
// `access` (O_PATH or O_RDONLY), never through a link, never on another file
// system.
int open_beneath(const Held& root, const std::string& relative, int access) {
#ifdef KRELVON_HAVE_OPENAT2
  if (g_use_openat2) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(access | O_DIRECTORY | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
    const long fd = ::syscall(SYS_openat2, root.fd, relative.empty() ? "." : relative.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    // A kernel (or a sandbox) without the call: one folder at a time.
    if (errno != ENOSYS && errno != EPERM) return -1;
    g_use_openat2 = false;
  }
#endif
  int at = root.fd;
  for (std::size_t from = 0; from <= relative.size();) {
    std::size_t end = relative.find('/', from);
    if (end == std::string::npos) end = relative.size();
    const std::string name = relative.substr(from, end - from);
    from = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      close_keeping_errno(at, root);
      errno = EXDEV;
      return -1;
    }
    const int next = ::openat(at, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      // With O_PATH a link is refused as "not a folder": tell it apart.
      struct stat st {};
      if (errno == ENOTDIR && ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        errno = ELOOP;
      close_keeping_errno(at, root);
      return -1;
    }
    close_keeping_errno(at, root);
    at = next;
    struct stat st {};
    if (::fstat(at, &st) != 0 || st.st_dev != root.device) {
      close_keeping_errno(at, root);
      errno = EXDEV;
      return -1;
    }
  }
  const int fd = ::openat(at, ".", access | O_DIRECTORY | O_CLOEXEC);
  close_keeping_errno(at, root);
  return fd;
}

}  // namespace

int open_folder_beneath(int base_fd, const std::string& relative, int access) {
  struct stat st {};
  if (::fstat(base_fd, &st) != 0) return -1;
  return open_beneath(Held{std::string(), base_fd, st.st_dev, true}, relative, access);
}

// The device a folder lies on and whether it is the root of a mount.
bool folder_device(int fd, dev_t* device, bool* mount_root) {
  *mount_root = false;
#ifdef STATX_ATTR_MOUNT_ROOT
  struct statx sx {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_INO, &sx) == 0) {
    *device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    *mount_root = (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 && (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    return true;
  }
#endif
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  *device = st.st_dev;
  return true;
}

unsigned char listed_kind(int folder_fd, const dirent* entry) {
  if (entry->d_type != DT_UNKNOWN) return entry->d_type;
  struct stat st {};
  if (::fstatat(folder_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
  return static_cast<unsigned char>(IFTODT(st.st_mode));
}

namespace {

// The folder of this process's descriptors, opened once: each reopening is
// then one name looked up in it, not a path of three.
int descriptor_folder() {
  static const int fd = ::open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
  return fd;
}

}  // namespace

int open_regular_file(int folder_fd, const char* name, std::int64_t* length) {
  const int named = ::openat(folder_fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (named < 0) return -1;
  struct stat st {};
  int fd = -1;
  const int through = descriptor_folder();
  if (through >= 0 && ::fstat(named, &st) == 0 && S_ISREG(st.st_mode)) {
    char number[16];
    std::snprintf(number, sizeof number, "%d", named);
    fd = ::openat(through, number, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && length) *length = static_cast<std::int64_t>(st.st_size);
  }
  ::close(named);
  return fd;
}

AtPath::AtPath(const char* path) : dir_(AT_FDCWD), name_(path) {
  const Held* root = current_root();
  if (!root) return;
  const std::size_t prefix = below_root(*root, path);
  if (prefix == 0) return;
  const char* slash = std::strrchr(path, '/');
  name_ = slash + 1;
  if (*name_ == '\0' || std::strcmp(name_, "..") == 0) {
    ok_ = false;
    errno = EACCES;
    return;
  }
  const auto folder_length = static_cast<std::size_t>(slash - path);
  if (folder_length + 1 == prefix) {
    dir_ = root->fd;
    return;
  }
  const auto& list = held_folders();
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if (it->path.size() == folder_length && std::memcmp(it->path.data(), path, folder_length) == 0) {
      dir_ = it->fd;
      return;
    }
  }
  dir_ = open_beneath(*root, std::string(path + prefix, folder_length - prefix), O_PATH);
  owned_ = dir_ >= 0;
  ok_ = owned_;
}

AtPath::~AtPath() {
  if (owned_) {
    const int saved = errno;
    ::close(dir_);
    errno = saved;
  }
}

int open_folder_for_listing(const std::string& folder) {
  const Held* root = current_root();
  const std::size_t prefix = root ? below_root(*root, folder.c_str()) : 0;
  if (root && (prefix > 0 || folder == root->path)) {
    // A held folder is listed through its own descriptor (a copy, rewound):
    // opening "." in it would ask for the right to search it as well.
    for (auto it = held_folders().rbegin(); it != held_folders().rend(); ++it) {
      if (it->path != folder) continue;
      const int fd = ::fcntl(it->fd, F_DUPFD_CLOEXEC, 0);
      if (fd >= 0 && ::lseek(fd, 0, SEEK_SET) != 0) {
        ::close(fd);
        return -1;
      }
      return fd;
    }
    return open_beneath(*root, folder.substr(prefix), O_RDONLY);
  }
  return ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace krelvon::posix

void krelvon_posix_use_openat2(bool use) { krelvon::posix::g_use_openat2 = use; }

DWORD krelvon_hold_folder(const char* folder, const KrelvonHeldFolder* parent, KrelvonHeldFolder* held) {
  using krelvon::posix::Held;
  *held = KrelvonHeldFolder{};
  int fd;
  if (parent) {
    const char* slash = std::strrchr(folder, '/');
    fd = ::openat(parent->fd, slash ? slash + 1 : folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } else {
    fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  if (fd < 0 && errno == ENOTDIR && parent) {
    // O_DIRECTORY refuses a link before O_NOFOLLOW does: tell it apart.
    struct stat st {};
    const char* slash = std::strrchr(folder, '/');
    if (::fstatat(parent->fd, slash ? slash + 1 : folder, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
      errno = ELOOP;
  }
  if (fd < 0) {
    switch (errno) {
      case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
      case ENOTDIR: return ERROR_DIRECTORY;
      case ENOENT: return ERROR_FILE_NOT_FOUND;
      case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
      case EMFILE:
      case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
      default: return ERROR_ACCESS_DENIED;
    }
  }
  dev_t device = 0;
  bool mount_root = false;
  if (!krelvon::posix::folder_device(fd, &device, &mount_root)) {
    ::close(fd);
    return ERROR_ACCESS_DENIED;
  }
  if (parent && (mount_root || static_cast<std::uint64_t>(device) != parent->volume)) {
    ::close(fd);
    return ERROR_NOT_SAME_DEVICE;
  }
  held->fd = fd;
  held->volume = static_cast<std::uint64_t>(device);
  krelvon::posix::held_folders().push_back(Held{folder, fd, device, parent == nullptr});
  return ERROR_SUCCESS;
}

void krelvon_release_folder(KrelvonHeldFolder* held) {
  if (held->fd < 0) return;
  auto& list = krelvon::posix::held_folders();
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->fd == held->fd) {
      list.erase(it);
      break;
    }
  }
  ::close(held->fd);
  *held = KrelvonHeldFolder{};
}

int krelvon_open_for_reading(const char* path) { return _open(path, _O_BINARY | _O_RDONLY); }
