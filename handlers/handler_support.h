// Small pieces both file handlers share.
#pragma once

#include <cstdint>

#include "engine/scan_context.h"
#include "handlers/examination.h"
#include "platform/platform.h"

namespace krelvon {

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
    if (fd_ >= 0) _close(fd_);
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
  // Notes the file open on fd.
  void note_descriptor(int fd) { known_ = krelvon_file_identity(fd, &identity_); }
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
