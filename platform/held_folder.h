// The folders a walk lists, held while it walks them, and the one way a file
// is opened for examination. Below the root of a walk nothing is reached
// through a symbolic link, a junction or another reparse point, nor on a mount
// of another file system, not even one put in place of a folder after the
// walk listed it. The root itself is what the user chose: a link given as a
// root is followed.
//
// Windows: each held folder is a handle opened for listing without
// FILE_SHARE_DELETE, so neither it nor any folder above it up to the root can
// be renamed, deleted or replaced while it is walked; paths built from held
// folders therefore name what was listed. On the 95 line there are neither
// folder handles nor links, and holding does nothing.
//
// POSIX: each held folder is a descriptor. While a root is held, every call of
// the layer (listing, attributes, open, rename, delete, mode, identity) on a
// path below it is made relative to a descriptor: an entry of a held folder
// through that folder's descriptor (the folder listed, whatever its path names
// now), any other path resolved beneath the root's descriptor with openat2
// (RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV), or, on kernels
// without openat2, one folder at a time with O_NOFOLLOW | O_DIRECTORY and the
// root's device compared. A path that goes through a link fails (ELOOP,
// ERROR_ACCESS_DENIED); so does one that leaves the root's file system (EXDEV).
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
// The NT line: FILE_SHARE_DELETE, FILE_FLAG_BACKUP_SEMANTICS (folder handles)
// and FILE_FLAG_OPEN_REPARSE_POINT exist there only; CreateFileA on the 95
// line refuses the first (ERROR_INVALID_PARAMETER) and has no folder handles.
bool krelvon_nt_line();
#else
#include "platform/posix/win32.h"
#endif

struct KrelvonHeldFolder {
  void* handle = nullptr;    // Windows: the folder's handle, null when none is held
  int fd = -1;               // POSIX: the folder's descriptor
  std::uint64_t volume = 0;  // the volume the folder lies on
};

// Opens `folder` (no trailing separator, except in a drive's or the file
// system's root) for listing and holds it. `parent` is the held folder that
// listed it, or null for the root of a walk. Returns ERROR_SUCCESS, or why the
// folder cannot be walked:
//   ERROR_ACCESS_DENIED          it may not be listed
//   ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND   gone since it was listed
//   ERROR_DIRECTORY              no longer a folder
//   ERROR_CANT_RESOLVE_FILENAME  a link or another reparse point now
//   ERROR_NOT_SAME_DEVICE        a mount of another file system
//   ERROR_SHARING_VIOLATION      another program keeps it from being held
// or another system error. `held` is released with krelvon_release_folder,
// innermost first.
DWORD krelvon_hold_folder(const char* folder, const KrelvonHeldFolder* parent, KrelvonHeldFolder* held);
void krelvon_release_folder(KrelvonHeldFolder* held);

// Opens a regular file for reading in binary mode, the way a file is opened
// for examination: never through a link or reparse point (errno ELOOP), never
// a folder, FIFO, socket or device (ENXIO, EISDIR); a descriptor of the C
// runtime, or -1 with errno set.
int krelvon_open_for_reading(const char* path);
