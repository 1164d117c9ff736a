#include "platform/posix/win32_base.h"

namespace {
thread_local DWORD g_last_error = ERROR_SUCCESS;
}  // namespace

DWORD GetLastError() { return g_last_error; }
void SetLastError(DWORD code) { g_last_error = code; }
