#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/files/folders.h"

namespace krelvon::files {

std::string real_path(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return "";
  std::string p = real;
  std::free(real);
  return p;
}

namespace {

// The names of a path between its separators.
std::vector<std::string> names_of(const std::string& path) {
  std::vector<std::string> names;
  for (std::size_t from = 0; from < path.size();) {
    std::size_t end = path.find('/', from);
    if (end == std::string::npos) end = path.size();
    if (end > from) names.push_back(path.substr(from, end - from));
    from = end + 1;
  }
  return names;
}

// A field of /proc/self/mountinfo, its \ooo escapes undone.
std::string mount_field(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3') {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// Where a folder (by its real path) lies in its file system, whatever
// mount shows it: the file system's device as the mount table names it,
// and the names from the file system's root. The mount is the one statx
// names (STATX_MNT_ID), else the one with the longest mount point at or
// above the folder (the last such line: a mount over another comes later).
struct Placed {
  std::string device;
  std::vector<std::string> names;
};

bool placed(const std::string& real, Placed* out) {
#ifdef __linux__
  std::string wanted_id;
#ifdef STATX_MNT_ID
  struct statx sx {};
  if (::statx(AT_FDCWD, real.c_str(), 0, STATX_MNT_ID, &sx) == 0 && (sx.stx_mask & STATX_MNT_ID) != 0)
    wanted_id = std::to_string(sx.stx_mnt_id);
#endif
  std::FILE* table = std::fopen("/proc/self/mountinfo", "re");
  if (!table) return false;
  const std::vector<std::string> names = names_of(real);
  std::size_t best = 0;
  bool found = false;
  char* line = nullptr;
  std::size_t capacity = 0;
  while (::getline(&line, &capacity, table) > 0) {
    // id parent major:minor root mount-point ...
    std::vector<std::string> field;
    for (const char* f = line; *f && field.size() < 5;) {
      const char* end = std::strpbrk(f, " \n");
      if (!end) end = f + std::strlen(f);
      field.emplace_back(f, end);
      f = *end ? end + 1 : end;
    }
    if (field.size() < 5) continue;
    const std::vector<std::string> point = names_of(mount_field(field[4]));
    if (point.size() > names.size() || !std::equal(point.begin(), point.end(), names.begin())) continue;
    if (!wanted_id.empty() ? field[0] != wanted_id : found && point.size() < best) continue;
    best = point.size();
    found = true;
    out->device = field[2];
    out->names = names_of(mount_field(field[3]));
    out->names.insert(out->names.end(), names.begin() + static_cast<std::ptrdiff_t>(point.size()), names.end());
    if (!wanted_id.empty()) break;
  }
  std::free(line);
  std::fclose(table);
  return found;
#else
  (void)real;
  (void)out;
  return false;
#endif
}

}  // namespace

char separator() { return '/'; }

std::string full_path(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const std::size_t cut = p.rfind('/');
  const std::string name = cut == std::string::npos ? p : p.substr(cut + 1);
  const std::string folder = cut == std::string::npos ? "." : cut == 0 ? "/" : p.substr(0, cut);
  const bool whole = name.empty() || name == "." || name == "..";
  const std::string real = real_path(whole ? p : folder);
  if (real.empty()) return "";
  if (whole) return real;
  return real == "/" ? "/" + name : real + "/" + name;
}

bool identity_of(const std::string& path, KrelvonFileIdentity* out) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  out->volume = static_cast<std::uint64_t>(st.st_dev);
  out->index = static_cast<std::uint64_t>(st.st_ino);
  return true;
}

bool inside(const std::string& inner, const std::string& outer) {
  KrelvonFileIdentity target;
  if (!identity_of(outer, &target)) return false;
  const std::string real = real_path(inner);
  if (real.empty()) return false;
  // Every name of a real path is no link, so its folders by name are its
  // folders on the disk.
  for (std::string p = real;; p = parent_of(p)) {
    KrelvonFileIdentity id;
    if (identity_of(p, &id) && id == target) return true;
    if (p == "/") break;
  }
  // Climbing from a mount's root leaves its file system for the folder it
  // is mounted on: a folder that a bind mount shows elsewhere is compared
  // by its place in its own file system.
  Placed a, b;
  const std::string real_outer = real_path(outer);
  return !real_outer.empty() && placed(real, &a) && placed(real_outer, &b) && a.device == b.device &&
         b.names.size() <= a.names.size() && std::equal(b.names.begin(), b.names.end(), a.names.begin());
}

bool replace_at(int folder, const char* from, const char* to) { return ::renameat(folder, from, folder, to) == 0; }

bool sync_folder_at(int folder, const char* name) {
  int fd;
  do {
    fd = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

bool replace(const std::string& from, const std::string& to) { return replace_at(AT_FDCWD, from.c_str(), to.c_str()); }
bool sync_folder(const std::string& folder) { return sync_folder_at(AT_FDCWD, folder.c_str()); }

}  // namespace krelvon::files
