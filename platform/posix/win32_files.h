// The POSIX layer's Win32 files and drives: listing, attributes, rename and
// delete over POSIX, with the semantics the engine and the handlers rely on.
#pragma once

#include "platform/posix/win32_base.h"

// --- files and drives ----------------------------------------------------
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_DEVICE 0x00000040
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#define INVALID_FILE_ATTRIBUTES (static_cast<DWORD>(-1))
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

#define DRIVE_UNKNOWN 0
#define DRIVE_NO_ROOT_DIR 1
#define DRIVE_REMOVABLE 2
#define DRIVE_FIXED 3
#define DRIVE_REMOTE 4
#define DRIVE_CDROM 5
#define DRIVE_RAMDISK 6


struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAA = WIN32_FIND_DATAA*;

// Every call below takes a path the way platform/held_folder.h says: below a
// held root, never through a link and never onto another file system
// (ERROR_CANT_RESOLVE_FILENAME, ERROR_NOT_SAME_DEVICE), and an entry of a held
// folder in the folder that was held.

// Lists a folder in the order the file system gives (readdir), "." and ".."
// included. The mask is a folder, a separator and a pattern ("*" and "?"
// wildcards; "*.*" matches every name), or the path of one file. A name
// longer than MAX_PATH - 1 bytes is passed over. Symbolic links are listed
// as what they are, never as the folder they point to: their attributes
// carry FILE_ATTRIBUTE_REPARSE_POINT and never FILE_ATTRIBUTE_DIRECTORY.
// FIFOs, sockets and devices carry FILE_ATTRIBUTE_DEVICE; every other entry
// FILE_ATTRIBUTE_ARCHIVE, and a name that starts with '.'
// FILE_ATTRIBUTE_HIDDEN. A folder's listing takes each entry's kind from the
// listing itself (a stat only where the file system does not tell it), so
// its entries carry neither FILE_ATTRIBUTE_READONLY nor a size:
// GetFileAttributesA tells the read-only attribute. A mask that names one
// file gives its full attributes and size. FindNextFileA ends
// with ERROR_NO_MORE_FILES, or ERROR_READ_FAULT when the folder could not be
// read to its end.
HANDLE FindFirstFileA(LPCSTR mask, LPWIN32_FIND_DATAA data);
BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data);
BOOL FindClose(HANDLE search);

// No drive letters here: every root is DRIVE_NO_ROOT_DIR.
UINT GetDriveTypeA(LPCSTR root);

// Attributes are mapped onto the permission bits: READONLY when no write bit
// is set, HIDDEN for a name that starts with '.', DIRECTORY for a folder,
// DEVICE for a FIFO, socket or device, ARCHIVE for every other object. A
// symbolic link reports REPARSE_POINT and its attributes cannot be set
// (ERROR_ACCESS_DENIED), so nothing is ever changed through a link. Setting
// READONLY clears every write bit; setting attributes without it gives the
// owner the write bit back.
DWORD GetFileAttributesA(LPCSTR path);
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes);
// A rename that refuses to replace an existing target, as Win32 does, in
// one step where the file system allows (renameat2 with RENAME_NOREPLACE).
BOOL MoveFileA(LPCSTR from, LPCSTR to);
// unlink(2) of a file; a read-only file is refused (ERROR_ACCESS_DENIED), as
// on Windows.
BOOL DeleteFileA(LPCSTR path);
