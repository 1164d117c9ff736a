// The file operations of the backup and the restore, on POSIX and on
// Windows. Built for the fault tests (KRELVON_FAULT_INJECTION), every call
// that can fail is a failure point of platform/faults.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_identity.h"
#include "platform/files/folders.h"

namespace krelvon::cli::files {

// What the backup keeps of a file besides its bytes.
struct Meta {
  std::uint64_t size = 0;
  // POSIX: the permission bits (07777); Windows: the file attributes.
  std::uint32_t mode = 0;
  // POSIX: nanoseconds since 1970; Windows: FILETIME values (100 ns since
  // 1601). created is kept on Windows only, owner and group on POSIX only.
  std::int64_t accessed = 0;
  std::int64_t modified = 0;
  std::int64_t created = 0;
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  KrelvonFileIdentity identity;
  bool regular = false;
};

// The mode and the modification (and on Windows creation) times of two
// Metas agree.
bool same_mode_and_times(const Meta& a, const Meta& b);

class Folder;

class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // A regular file for reading; a symbolic link is not followed.
  bool open_read(const std::string& path);
  bool open_read(const Folder& folder, const std::string& name);
  // A new file that must not exist yet, readable and writable by its owner
  // alone.
  bool create(const std::string& path);
  bool create(const Folder& folder, const std::string& name);
  // For appending, created when missing.
  bool open_append(const std::string& path);
  bool is_open() const;

  // Bytes read (0 at the end), or -1.
  long read(void* buffer, std::size_t size);
  // All of data, or false.
  bool write(const void* data, std::size_t size);
  // Contents and metadata on the disk.
  bool sync();
  bool meta(Meta* out);
  // Sets the kept mode and time stamps (and, for the superuser on POSIX,
  // the owner). Windows: the times here; the attributes by path once the
  // file is closed (set_attributes).
  bool set_meta(const Meta& m);
  bool close();
  // A create, write, flush or close of this file failed for want of space
  // (POSIX: ENOSPC, EDQUOT; Windows: ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL).
  bool full() const { return full_; }

 private:
  void note_failure();
#ifdef _WIN32
  void* handle_ = reinterpret_cast<void*>(-1);
#else
  bool open_read_at(int folder, const char* name);
  bool create_at(int folder, const char* name);
  int fd_ = -1;
#endif
  bool full_ = false;
};

// A folder the restore acts in, reached once, so that every name it then
// acts on is an entry of that folder and not whatever a path names by then.
// POSIX: a descriptor; no folder on the way is a link, and below a base
// folder none lies on another file system or mount (the walk's own rule,
// platform/posix/beneath.h). Windows: the path, with no folder below a base
// a reparse point (a junction or a link) at the time it is reached.
class Folder {
 public:
  Folder() = default;
  ~Folder();
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  // The folder at an absolute path, its own name and every one above it
  // no link (POSIX; on Windows the path as it is).
  bool open(const std::string& path);
  // The folder reached from base through names, one folder each.
  bool open_beneath(const Folder& base, const std::vector<std::string>& names);
  const std::string& path() const { return path_; }
  bool identity(KrelvonFileIdentity* out) const;

  // The entry name of the folder, as meta_of(), exists(), replace(),
  // remove() and sha256_of() do it for a path.
  bool meta_of(const std::string& name, Meta* out) const;
  bool exists(const std::string& name) const;
  bool replace(const std::string& from, const std::string& to) const;
  bool remove(const std::string& name) const;
  std::string sha256_of(const std::string& name) const;
  // The folder's entries on the disk, as sync_folder().
  bool sync() const;

 private:
  friend class File;
  void close();
  std::string path_;
#ifndef _WIN32
  int fd_ = -1;
#endif
};

// The path itself (a link is not followed); false when nothing is there or
// it cannot be told.
bool meta_of(const std::string& path, Meta* out);
// Something (of any kind) is at path.
bool exists(const std::string& path);
// Windows: sets the kept attributes on a closed file. POSIX: nothing (the
// mode is set through the descriptor).
bool set_attributes(const std::string& path, const Meta& m);
// Moves from over to, in one step: to names either its old file or the
// new one, never neither.
bool replace(const std::string& from, const std::string& to);
bool remove(const std::string& path);
// The folder's entries on the disk (POSIX: fsync of the folder; Windows,
// where a folder cannot be flushed, the file system's own journal does).
bool sync_folder(const std::string& folder);
bool make_folder(const std::string& path);
bool is_folder(const std::string& path);
// The names in a folder other than "." and ".."; false when it cannot be read.
bool list(const std::string& folder, std::vector<std::string>* names);

// Where a path lies, and one folder inside another: the platform's
// (platform/files/folders.h).
using krelvon::files::full_path;
using krelvon::files::inside;
using krelvon::files::parent_of;
using krelvon::files::separator;
std::string join(const std::string& folder, const std::string& name);

// Why a folder that a backup is kept in cannot be trusted, or an empty
// text: it, or any folder above it, belongs to a user other than the one
// running and root, or can be written by others than its owner; above it,
// a folder of root's with the sticky bit (/tmp) may be written by all,
// since no one may then rename or remove what another user put there.
// `itself` false: the folder is the one the backup folder is still to be
// created in (by us, for our user alone), the first of those above it.
// Windows: always empty (its access lists are not read).
std::string untrusted_folder(const std::string& folder, bool itself);

// Reads from to its end, writing every byte to `to` unless it is null;
// the SHA-256 of the bytes (lower-case hexadecimal) and their count. False
// when a read or a write failed.
bool copy(File& from, File* to, std::string* sha256, std::uint64_t* size);
// The SHA-256 of a file's bytes; empty when it cannot be read.
std::string sha256_of(const std::string& path);
// A whole file as text.
bool read_all(const std::string& path, std::string* text);

}  // namespace krelvon::cli::files
