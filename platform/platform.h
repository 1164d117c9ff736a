// The one header through which the engine, the handlers and the system
// cleaning reach the operating system. On Windows it is the real Win32 API
// and C runtime; elsewhere it is our own small layer under the same names.
#pragma once

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
