// Small pieces both file handlers share.
#pragma once

#include <cstdint>

#include "engine/scan_context.h"
#include "platform/platform.h"

namespace krelvon {

// A descriptor closed here is no longer the one under examination (see
// read_examined); its number may be given to another opening next.
void forget_examined(int fd);

// Closes a descriptor when it goes out of scope, unless released first.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { close(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void close() {
    if (fd_ >= 0) {
      forget_examined(fd_);
      _close(fd_);
    }
    fd_ = -1;
  }
  void reset(int fd) {
    close();
    fd_ = fd;
  }
  // The descriptor, no longer closed by this object.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// One opening of a file for all the handlers that look at it in turn. While
// a SharedOpening for a path lasts, the first handler's open_for_examination()
// opens the file for reading; a handler that found nothing to act on gives
// the descriptor back with hand_back(), and the next handler's
// open_for_examination() takes it instead of opening the file again. A
// handler that acts on the file closes its descriptor first (on Windows an
// open descriptor keeps the file from being renamed or deleted); the next
// one then opens the file anew. Every handler reads through its own seeks,
// so the position a descriptor comes back at does not matter.
//
// The opening is made with krelvon_open_for_reading: regular files only,
// never through a link. A file that cannot be opened is reported as skipped
// (report_skipped, with the reason the failure gives) the first time a
// handler tries; one whose reads failed, when the opening ends without any
// handler having recognised it.
class SharedOpening {
 public:
  explicit SharedOpening(const char* path);
  ~SharedOpening();
  SharedOpening(const SharedOpening&) = delete;
  SharedOpening& operator=(const SharedOpening&) = delete;
};
// The descriptor given back for this path, or a new binary read-only one
// (-1 when the file cannot be opened).
int open_for_examination(const char* path);
// Keeps a descriptor from open_for_examination() for the next handler, or
// closes it when no SharedOpening for the path lasts.
void hand_back(const char* path, Descriptor& fd);
// _read, noting a failure (not a short read: the end of the file is no
// error) for the skipped-entry report of the lasting SharedOpening.
int read_noting_failure(int fd, void* buffer, unsigned count);

// The file under examination: the descriptor open_for_examination() gave
// last, until it is closed. Its first page (the first kFirstPage bytes, or
// the whole file when shorter) is read with one call, the first time any
// handler asks for a range of it, and every later range inside what that
// read returned is taken from it: the handlers of one examination share it,
// as they share the descriptor. A range beyond it is read from the file as
// it is at that moment. Every action checks the file anew through its own
// descriptor (identity, length, headers), never through this copy. For any
// other descriptor read_examined() is read_at().
inline constexpr unsigned kFirstPage = 4096;
bool read_examined(int fd, std::int32_t position, void* buffer, unsigned count);
// The first page of the file: *bytes points at the examination's own copy
// for the file under examination (read once), at buffer (kFirstPage bytes,
// read now) for any other descriptor. The count read (short at the end of
// the file), or -1.
int read_first_page(int fd, std::uint8_t* buffer, const std::uint8_t** bytes);
// The length of the file under examination when first asked (one call per
// examination); for any other descriptor, _filelength.
std::int32_t examined_length(int fd);
// Whether the file under examination has a byte at offset: known without a
// call when its first page reached that far, from examined_length otherwise.
bool examined_reaches(int fd, std::uint32_t offset);
// Compares count bytes at position with what the first page of the file
// under examination holds, reading nothing: kNotHeld when the page read so
// far does not hold the whole range (or fd is not under examination); a
// negative position holds no bytes at all (kDifferent).
enum class FirstPage { kSame, kDifferent, kNotHeld };
FirstPage compare_first_page(int fd, std::int32_t position, const void* bytes, unsigned count);

// Seeks to a 32-bit position and reads exactly count bytes; a negative
// position, a failed seek or a short read is false.
bool read_at(int fd, std::int32_t position, void* buffer, unsigned count);
bool write_at(int fd, std::int32_t position, const void* buffer, unsigned count);

// The rename target of a recognised file, always in the file's own folder:
// the character after the last '.' of the file name (never of a folder)
// becomes 'V' (".exe" gives ".Vxe"); a name ending in '.' gets the 'V'
// appended, and a name without any '.' gets ".V" ("payload" gives
// "payload.V"). False when the result would not fit in MAX_PATH characters
// or would be the name itself (a name whose extension already starts with
// 'V'): such a rename would move nothing.
bool rename_target(const char* path, char (&target)[kPathCapacity]);
// The file name is in the form a rename gives it: the character after its
// last '.' is 'V' (so rename_target() would give the name itself).
bool in_renamed_form(const char* path);

// The file a handler examined. A handler reads a file through a descriptor
// and acts on it by path after closing it; in between, another file may have
// been put at that path (renamed onto it, or the examined one replaced).
// Every action by path is preceded by at(path), and a descriptor opened
// again for writing is checked with open_on(), so only the examined file is
// ever changed. A file whose identity could not be told is never acted on.
class ExaminedFile {
 public:
  // Notes the file open on fd, or the file the path names now.
  void note_descriptor(int fd) { known_ = krelvon_file_identity(fd, &identity_); }
  void note_path(const char* path) { known_ = krelvon_path_identity(path, &identity_); }
  bool known() const { return known_; }
  // The path still names the examined file.
  bool at(const char* path) const;
  // fd is open on the examined file.
  bool open_on(int fd) const;

 private:
  KrelvonFileIdentity identity_;
  bool known_ = false;
};

// Deletes a recognised file with remove(); when that fails, ends the
// processes running it and tries once more. Writes "deleted" (counted) or
// "Delete failed" with path and detection name, always one of the two,
// unless the file is in use and its deletion is scheduled for the next
// start of Windows ("will be deleted at restart", handlers/at_restart.h).
// When the path no longer names the examined file, nothing is removed and
// no process is ended. True when the file was deleted or its deletion
// scheduled (its attributes then stay archive-only: the deletion at the
// start refuses a read-only file).
bool delete_with_retry(bool (*remove)(const char* path), FindingKind kind, const char* detection_name,
                       const char* path, const ExaminedFile& examined);

// Moves a recognised file to its rename target, never over an existing
// name, and writes the finding line ("renamed", counted, or "Rename
// failed") with path and detection name; a path that no longer names the
// examined file is not moved ("Rename failed"). A file already in renamed
// form (in_renamed_form) is not moved either: its line is "renamed" with the
// outcome kRenamedEarlier, and nothing is counted.
// A file in use that cannot be moved now is moved at the next start of
// Windows ("will be renamed at restart").
void rename_recognised_file(FindingKind kind, const char* detection_name, const char* path,
                            const ExaminedFile& examined);

// The line of a recognised file that is left as it is: Ignore was chosen,
// or no action (a prompt ended without an answer). The line shows the object
// and name buffers; the record holds path and detection name.
void report_left_alone(FindingKind kind, const char* detection_name, const char* path);

// The memory phase's part in a recognition, the same in both handlers.
enum class MemoryStep {
  // The memory phase's second pass (a memory action and a progress window):
  // the memory action has become the chosen action, the "System Memory" line
  // is written and the wait is over; the handler carries the action out.
  kCarryOut,
  // The first pass (the memory phase flag): the file is marked as found in
  // memory; the handler returns without acting.
  kMarkOnly,
  // Outside the memory phase: the handler asks for action.
  kAsk,
};
// path: the file recognised, named in the record of the "System Memory"
// line.
MemoryStep memory_phase_step(const char* path);

}  // namespace krelvon
