// The directory walker, the threat table, the message pump and the display
// shortening.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace krelvon {

// A file handler: detection name of its table entry and the full path of the
// file. Nonzero means the file has been dealt with and no later handler of
// the table runs for it.
// The examination is the file's one opening and what has been read of it
// (handlers/examination.h), shared by the handlers in turn.
class Examination;
using FileHandler = int (*)(const char* detection_name, const char* path, Examination& file);

struct ThreatEntry {
  const char* detection_name;  // null ends the table
  FileHandler handler;
};

// The table that Walk runs on every file; the worm-file handler first, the
// infected-file handler after it.
extern const ThreatEntry kThreatTable[];

// The table the walker uses; kThreatTable unless a test has put another one
// in place (an empty table, or a recording handler).
void set_threat_table(const ThreatEntry* table);

// Calls the handlers in table order, stopping at the first nonzero result.
// The handlers share one examination of the file (handlers/examination.h);
// a file that cannot be opened or read, and that no handler recognised, is
// reported as skipped once.
void run_threat_table(const char* path);

// Why an entry was not examined, as report_skipped() tells it.
inline constexpr char kSkipPermission[] = "permission denied";
inline constexpr char kSkipGone[] = "gone since it was listed";
inline constexpr char kSkipTooLong[] = "path too long";
inline constexpr char kSkipNotRegular[] = "not a regular file";
inline constexpr char kSkipReadError[] = "read error";
inline constexpr char kSkipLink[] = "a link, not followed";
inline constexpr char kSkipOtherFileSystem[] = "another file system, not entered";
inline constexpr char kSkipNotFolder[] = "no longer a folder";
inline constexpr char kSkipInUse[] = "in use by another program";
inline constexpr char kSkipCannotOpen[] = "cannot be opened";
inline constexpr char kSkipNotLocal[] = "its data is not on this disk (not downloaded)";

// How the walker takes a listed entry by its attributes and, for a reparse
// point, the tag the listing gives with it (WIN32_FIND_DATA's dwReserved0):
//   kLink      a name surrogate (symbolic link, junction, mount point), or a
//              reparse point whose tag is not told (0: Wine's and the POSIX
//              layer's links): shown, never entered nor examined;
//   kNotLocal  data the system would have to fetch first (offline, recalled
//              on open or on access: cloud placeholders, archived files):
//              reported as skipped, never opened, so nothing is downloaded;
//   kExamine   everything else, other reparse points included (deduplicated,
//              compressed, cloud files whose data is here): examined.
enum class EntryReach { kExamine, kLink, kNotLocal };
EntryReach entry_reach(DWORD attributes, DWORD reparse_tag);
// The reason for a folder that could not be held or listed (a system error
// code) and for a file that could not be opened (an errno value).
const char* skip_reason_of_error(DWORD error);
const char* skip_reason_of_errno(int error);

// Walks a folder mask ending in "<sep>*.*", or in the memory phase the full
// path of one file. Returns the files-scanned counter when the walk ran to
// its end, 0 when the cancel flag stopped it, -1 when a mask it had to cut
// held no '.'.
//
// A folder's listing is taken whole (names and attributes) before any of its
// entries is handed on, so that a file a handler renames is not met again.
// Each folder of a whole-folder mask is held while it is walked
// (platform/held_folder.h): the root of the walk as the user named it, every
// folder below it only as a real folder of the root's file system. Links,
// junctions and mount points (entry_reach) are shown and counted like any
// file entry but never followed, entered nor handed to the handlers; their
// targets are walked under their own paths when they lie in the scope.
// Entries whose data is not on the disk are reported, never opened.
//
// Every entry that cannot be examined is reported (report_skipped) and the
// walk goes on: a folder that cannot be held or listed (permission, gone,
// turned into a link, a mount of another file system), a file entry that is
// no regular file (FIFO, socket, device: never opened), a file that cannot be
// opened or read, and an entry whose combined path would not fit in MAX_PATH
// characters (a file: neither shown nor counted; a folder: not entered).
int walk(const char* mask);

// Entries a front end leaves out of the walk (--exclude, --exclude-dir):
// given the entry's full path, its name and whether it is a folder; true
// leaves it out: a file is neither shown, counted, nor examined, a folder
// not entered. Null (the default) leaves nothing out.
using EntryFilter = bool (*)(const char* path, const char* name, bool folder);
void set_entry_filter(EntryFilter filter);

// Examines one file named by the user as the walker examines a file entry
// of a listing: its folder held as the root of a walk, the file shown,
// counted as scanned and passed through the threat table. What cannot be
// examined is reported (report_skipped): a folder that cannot be held, a
// file gone, a link (never followed: an action would change the link, not
// the file it names), what is no regular file, data not on the disk.
void walk_file(const char* path);

// Removes one pending window message and dispatches it; an Escape key asks
// "Terminate the Scan now?", WM_QUIT and WM_DESTROY set the cancel flag.
void message_pump();

// Writes source into destination, shortened to at most n characters as the
// first n/2-1 characters, dots, and the last n/2-1 characters. destination
// must hold 100 characters; n must stay below 100.
void shorten_for_display(const char* source, char* destination, std::int16_t n);

// The display length of paths in the status line and the prompt.
inline constexpr std::int16_t kDisplayLength = 60;

}  // namespace krelvon
