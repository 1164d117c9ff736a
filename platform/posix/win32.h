// A stand-in for the part of the Win32 API that the engine and the handlers
// call, for POSIX systems. Names, signatures and constant values are the
// real ones; behaviour is documented on each function by what its callers
// rely on. Facilities that have no POSIX counterpart (registry, service
// control manager, process snapshots) answer as an absent facility does.
#pragma once

// Every family of the layer; include the one a file needs, or this header
// for all of them.
#include "platform/posix/extensions.h"
#include "platform/posix/win32_absent.h"
#include "platform/posix/win32_base.h"
#include "platform/posix/win32_files.h"
#include "platform/posix/win32_text.h"
#include "platform/posix/win32_windows.h"
