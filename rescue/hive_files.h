// The offline cleaning's reach into the installation's folders: every
// folder and file opened beneath the descriptor of the one above it, never
// through a link, never on another file system than the installation's
// root, and every file opened without blocking and read only when it is a
// regular file. Reads are bounded before anything is allocated.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace krelvon::rescue {

// A hive larger than this is not read: the largest hives of real systems
// are a few hundred MB, and a hive is held in memory twice (by the reader
// and as the written copy).
inline constexpr std::uint64_t kLargestHive = 512ULL << 20;

// An owned descriptor, closed when it goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset(int fd = -1);
  int release();

 private:
  int fd_;
};

// The names of the entries of the folder open on folder_fd that equal name
// without regard to case, as the folder spells them.
std::vector<std::string> entries_named(int folder_fd, const std::string& name);

// The folder `name` of the folder open on parent_fd, for listing and as the
// base of *at calls. Refused (-1, why says it as a sentence's end about
// `shown`, the path the user knows) when it is a link, no folder, or on
// another file system than `device` (or the root of a mount).
int open_subfolder(int parent_fd, const std::string& name, dev_t device, const std::string& shown,
                   std::string* why);

// The file `name` of the folder open on folder_fd, opened for reading
// without following a link and without blocking; refused (-1, why set as
// for open_subfolder) when it is not a regular file of `device`. st gets
// its status.
int open_regular(int folder_fd, const std::string& name, dev_t device, const std::string& shown, struct stat* st,
                 std::string* why);

// Up to n bytes of the file from offset at; false when a read fails.
bool read_at(int fd, std::uint64_t at, std::size_t n, std::string* out);

// Whether the file holds a byte other than zero from offset `from` on; its
// holes are skipped and it is read a bounded piece at a time. -1 when a
// read fails.
int holds_data_after(int fd, std::uint64_t from);

// What identifies the file as read: device, inode, size, change and
// modification times.
bool same_file(const struct stat& a, const struct stat& b);

}  // namespace krelvon::rescue
