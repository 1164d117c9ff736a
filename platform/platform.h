// The one header through which the engine, the handlers and the system
// cleaning reach the operating system. On Windows it is the real Win32 API
// and C runtime; elsewhere it is our own small layer under the same names.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#include <stdio.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <string.h>
#else
#include "platform/posix/win32.h"
#include "platform/posix/crt.h"
#endif
#include "platform/file_identity.h"
#include "platform/held_folder.h"

// The offset type of the runtime's _lseek and _chsize: 32 bits either way.
#ifdef _WIN32
using krelvon_offset_t = long;
#else
using krelvon_offset_t = std::int32_t;
#endif

// Test builds with fault injection route the file calls through wrappers
// (platform/faults.h) that can make a chosen call fail.
int krelvon_fault_open(const char* path, int flags, ...);
int krelvon_fault_read(int fd, void* buffer, unsigned count);
int krelvon_fault_write(int fd, const void* buffer, unsigned count);
krelvon_offset_t krelvon_fault_lseek(int fd, krelvon_offset_t offset, int origin);
int krelvon_fault_chsize(int fd, krelvon_offset_t size);
int krelvon_fault_close(int fd);
int krelvon_fault_chmod(const char* path, int mode);
int krelvon_fault_unlink(const char* path);
DWORD krelvon_fault_GetFileAttributesA(LPCSTR path);
BOOL krelvon_fault_SetFileAttributesA(LPCSTR path, DWORD attributes);
BOOL krelvon_fault_MoveFileA(LPCSTR from, LPCSTR to);
BOOL krelvon_fault_DeleteFileA(LPCSTR path);
bool krelvon_fault_file_identity(int fd, KrelvonFileIdentity* out);
bool krelvon_fault_path_identity(const char* path, KrelvonFileIdentity* out);
int krelvon_fault_open_for_reading(const char* path);
#ifdef KRELVON_FAULT_INJECTION
#define _open krelvon_fault_open
#define _read krelvon_fault_read
#define _write krelvon_fault_write
#define _lseek krelvon_fault_lseek
#define _chsize krelvon_fault_chsize
#define _close krelvon_fault_close
#define _chmod krelvon_fault_chmod
#define _unlink krelvon_fault_unlink
#undef GetFileAttributesA
#undef SetFileAttributesA
#undef MoveFileA
#undef DeleteFileA
#define GetFileAttributesA krelvon_fault_GetFileAttributesA
#define SetFileAttributesA krelvon_fault_SetFileAttributesA
#define MoveFileA krelvon_fault_MoveFileA
#define DeleteFileA krelvon_fault_DeleteFileA
#define krelvon_file_identity krelvon_fault_file_identity
#define krelvon_path_identity krelvon_fault_path_identity
#define krelvon_open_for_reading krelvon_fault_open_for_reading
#endif

namespace krelvon {

// The folder separator of the paths the engine builds ("\*.*" on Windows).
// A POSIX file name may hold a '\': there it is an ordinary character.
#ifdef _WIN32
inline constexpr char kSep = '\\';
#else
inline constexpr char kSep = '/';
#endif

// Paths and masks are held in MAX_PATH characters, terminator included.
inline constexpr int kPathCapacity = 260;
static_assert(kPathCapacity == MAX_PATH, "paths are held in MAX_PATH characters");

}  // namespace krelvon
