#include "platform/posix/win32_absent.h"

#include <cerrno>
#include <ctime>

void Sleep(DWORD milliseconds) {
#ifdef KRELVON_NO_WAITS
  // Fuzz builds: the fixed waits only slow the search down.
  (void)milliseconds;
  return;
#endif
  timespec ts{static_cast<time_t>(milliseconds / 1000),
              static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
  if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  info->dwMajorVersion = 0;
  info->dwMinorVersion = 0;
  info->dwBuildNumber = 0;
  info->dwPlatformId = VER_PLATFORM_POSIX_HOST;
  info->szCSDVersion[0] = '\0';
  return TRUE;
}

HANDLE OpenProcess(DWORD, BOOL, DWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}
BOOL TerminateProcess(HANDLE, UINT) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
BOOL CloseHandle(HANDLE) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
HMODULE LoadLibraryA(LPCSTR) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  return nullptr;
}
FARPROC GetProcAddress(HMODULE, LPCSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}
BOOL FreeLibrary(HMODULE) { return FALSE; }

LONG RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY result) {
  if (result) *result = nullptr;
  return ERROR_FILE_NOT_FOUND;
}
LONG RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
  return ERROR_INVALID_HANDLE;
}
LONG RegQueryInfoKeyA(HKEY, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                      LPDWORD, LPDWORD, FILETIME*) {
  return ERROR_INVALID_HANDLE;
}
LONG RegEnumValueA(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
  return ERROR_INVALID_HANDLE;
}
LONG RegDeleteValueA(HKEY, LPCSTR) { return ERROR_INVALID_HANDLE; }
LONG RegDeleteKeyA(HKEY, LPCSTR) { return ERROR_FILE_NOT_FOUND; }
LONG RegCloseKey(HKEY) { return ERROR_INVALID_HANDLE; }

SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}
SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}
BOOL ControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
BOOL QueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
BOOL CloseServiceHandle(SC_HANDLE) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
