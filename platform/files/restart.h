// Deleting or renaming a file at the next start of Windows, for a file that
// is in use now (a loaded library, a program file another process holds
// open). The two Windows lines keep such operations in different places:
//
// - NT line: MoveFileExA with MOVEFILE_DELAY_UNTIL_REBOOT, which the system
//   keeps in the value PendingFileRenameOperations of
//   HKLM\SYSTEM\CurrentControlSet\Control\Session Manager (writing it needs
//   an administrator's rights).
// - 95 line: MoveFileExA is there but does nothing. The operations go into
//   the [rename] section of WININIT.INI in the Windows folder, which runs
//   before long names exist: "NUL=C:\SHORT\PATH.DLL" deletes,
//   "NEW=OLD" renames, both in 8.3 names (GetShortPathNameA). The file is
//   read whole, every line already there is kept (other programs' pending
//   operations among them), the new line goes into the first [rename]
//   section (never a second one), and the result is written beside it and
//   then put in its place, so a failure leaves the old file as it was. A
//   file without an 8.3 name (a name GetShortPathNameA cannot shorten) is
//   not scheduled: WININIT would not find it.
//
// An operation already pending (scheduled by an earlier run, or twice in
// one) is not added again. Off Windows nothing runs at a start and nothing
// is in use: nothing is scheduled.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace krelvon::files {

// The error of a failed delete or move says the file is in use: a sharing
// violation, a lock, or access denied (a mapped image refuses deletion with
// it). Always false off Windows.
bool in_use_error(DWORD error);

// Schedules the deletion of path (new_path null) or its move to new_path
// for the next start of Windows. True when the operation is pending, now or
// already; false with *why saying what stood in the way.
bool schedule_at_restart(const char* path, const char* new_path, std::string* why);

// One pending operation: source deleted when target is empty.
struct PendingOperation {
  std::string source;
  std::string target;
};

// The operations of a PendingFileRenameOperations value (REG_MULTI_SZ
// pairs of source and target, each with the "\??\" prefix, a target of
// "!" marking replace-existing), the prefixes taken off.
std::vector<PendingOperation> pending_operations_of(const char* data, std::size_t size);

// WININIT.INI's text: the operations of its [rename] sections ("NUL=x":
// target empty; "NEW=OLD": source OLD, target NEW). Comments (';') and
// lines without '=' are left out.
std::vector<PendingOperation> wininit_operations_of(const std::string& text);

// The text with the line key=value added at the end of its first [rename]
// section, or a [rename] section holding it appended when there is none.
// Every other byte stays as it was; lines added end with CR LF. *already
// is set, and the text returned unchanged, when the section holds that
// operation already (compared without regard to case).
std::string wininit_with(const std::string& text, const std::string& key, const std::string& value, bool* already);

// A name (one path component) in 8.3 form: at most 8 characters, optionally
// a dot and at most 3 more, none of them a space or any of "+,;=[]\"*?<>|/:".
bool is_short_name(const std::string& name);

}  // namespace krelvon::files
