// How the POSIX layer reaches a path: relative to the descriptor of a held
// folder or beneath the root of the walk (platform/held_folder.h), or, for a
// path outside every held root, as the path itself.
#pragma once

#include <cstdint>
#include <string>
#include <dirent.h>
#include <sys/types.h>

namespace krelvon::posix {

// A path split into the descriptor of its folder and its last name, for the
// *at calls. Outside a held root: AT_FDCWD and the whole path. Below one: an
// entry of a held folder gets that folder's descriptor; any other path its
// folder resolved beneath the root without following a link. ok() is false
// (errno set) when the folder cannot be reached that way, or when the last
// name is "..".
class AtPath {
 public:
  explicit AtPath(const char* path);
  ~AtPath();
  AtPath(const AtPath&) = delete;
  AtPath& operator=(const AtPath&) = delete;
  bool ok() const { return ok_; }
  int dir() const { return dir_; }
  const char* name() const { return name_; }

 private:
  int dir_;
  bool owned_ = false;
  bool ok_ = true;
  const char* name_;
};

// A descriptor of `folder` for reading its entries, reached as AtPath reaches
// a path's folder; -1 with errno set.
int open_folder_for_listing(const std::string& folder);

// The folder `relative` ('/' between names; empty: the folder itself)
// beneath the folder open on base_fd, opened with `access` (O_PATH or
// O_RDONLY) as a walk rooted there reaches it: never through a link, never
// onto another file system or mount. -1 with errno set.
int open_folder_beneath(int base_fd, const std::string& relative, int access);

// The device the folder open on fd lies on, and whether it is the root of a
// mount (statx, where the kernel tells it); false when fstat fails.
bool folder_device(int fd, dev_t* device, bool* mount_root);

// The kind (DT_*) of an entry of the folder open on folder_fd, as its
// listing tells it; asked of the entry itself, never through a link, only
// where the file system does not tell (DT_UNKNOWN stays when the entry is
// gone or the folder may be read but not searched).
unsigned char listed_kind(int folder_fd, const dirent* entry);

// A descriptor for reading the entry `name` of the folder open on
// folder_fd, only when it is a regular file; -1 otherwise. Nothing else is
// ever opened: the entry is first named with O_PATH (which opens no FIFO,
// device or socket and so wakes no writer of a FIFO, nor runs a device's
// open), never through a link, and a regular file is then opened through
// that name (/proc/self/fd), so what is opened is what was looked at. -1
// as well where /proc is not mounted. *length, when given, is set to the
// file's length as it was looked at.
int open_regular_file(int folder_fd, const char* name, std::int64_t* length = nullptr);

}  // namespace krelvon::posix

// Tests: false makes the layer resolve as on a kernel without openat2 (one
// folder at a time); true goes back to openat2 where the kernel has it.
void krelvon_posix_use_openat2(bool use);
