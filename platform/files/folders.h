// The file services every part above the platform shares, one POSIX and one
// Windows implementation each: where a path lies (its parent folder, its
// full path, the file it leads to), whether a folder lies inside another,
// and replacing a file by another in one step. The 95 line's rules live
// here and nowhere else: no FILE_SHARE_DELETE and no folder handles (so
// folders are told apart by long full path, in one case), no MoveFileEx.
#pragma once

#include <string>

#include "platform/file_identity.h"

namespace krelvon::files {

// '\\' on Windows, '/' elsewhere.
char separator();
// The folder that holds path: "." for a bare name, the root for a name in
// the root ("/" or "C:\"); separators at the end and repeated ones do not
// count.
std::string parent_of(const std::string& path);
// The absolute path: the real location of the folder that holds path
// (links resolved) and the last name as given. Empty when that folder
// cannot be found.
std::string full_path(const std::string& path);
// The object a path leads to, links followed; false when there is none or
// it cannot be told (on the 95 line, which opens no folder, for a folder:
// always).
bool identity_of(const std::string& path, KrelvonFileIdentity* out);
// Folder inner is folder outer or lies inside it, by real location
// (volume and file number, not names), and on Linux also by the place of
// each in its file system, whatever mount shows it: a folder that a bind
// mount shows somewhere else is still where it lies. Both must exist.
// Windows: inner's links and junctions resolved where the system can tell
// it; the 95 line, which has neither links nor folder handles, compares
// long full paths case-folded.
bool inside(const std::string& inner, const std::string& outer);
// Moves from over to, in one step: to names either its old file or the
// new one, never neither (a read-only target on Windows made writable
// first). The 95 line has no MoveFileEx: there the old file goes first,
// then the new one takes its name.
bool replace(const std::string& from, const std::string& to);
// The folder's entries on the disk (POSIX: fsync of the folder; Windows,
// where a folder cannot be flushed, the file system's own journal does).
bool sync_folder(const std::string& folder);
#ifndef _WIN32
// The path with every link resolved; empty when nothing is there.
std::string real_path(const std::string& path);
// The same through a folder's descriptor: an entry renamed over another,
// and the folder flushed.
bool replace_at(int folder, const char* from, const char* to);
bool sync_folder_at(int folder, const char* name);
#endif

}  // namespace krelvon::files
