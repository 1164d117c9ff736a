// The POSIX layer's stand-ins for the facilities Linux has nothing for:
// the version check (a platform line other than 95 and NT), processes and
// libraries, Toolhelp's record, the registry and the service control
// manager, each answering as an absent facility does; and Sleep.
#pragma once

#include "platform/posix/win32_base.h"

void Sleep(DWORD milliseconds);

// --- versions, processes, libraries -------------------------------------
struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
};
using LPOSVERSIONINFOA = OSVERSIONINFOA*;
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA is 148 bytes");

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2
// The platform id this layer reports: neither Windows line, so every route
// that depends on one of them does nothing.
#define VER_PLATFORM_POSIX_HOST 0x50

BOOL GetVersionExA(LPOSVERSIONINFOA info);

#define PROCESS_TERMINATE 0x0001
#define PROCESS_VM_READ 0x0010
#define PROCESS_QUERY_INFORMATION 0x0400

// No process may be opened or ended from here: OpenProcess gives none.
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD process_id);
BOOL TerminateProcess(HANDLE process, UINT exit_code);
BOOL CloseHandle(HANDLE handle);
// No libraries: LoadLibraryA gives none, GetProcAddress finds nothing.
HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);

// Toolhelp's process entry and snapshot flag. There are no libraries here, so
// the Toolhelp functions are never found: only the record is declared.
#define TH32CS_SNAPPROCESS 0x00000002
struct PROCESSENTRY32 {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  std::uintptr_t th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  CHAR szExeFile[MAX_PATH];
};


// --- registry: absent ---------------------------------------------------
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))
#define HKEY_PERFORMANCE_DATA (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000004u)))
#define KEY_READ 0x20019
#define KEY_ALL_ACCESS 0xF003F
#define REG_SZ 1

// There is no registry: every open fails with ERROR_FILE_NOT_FOUND, and the
// calls on a key fail with ERROR_INVALID_HANDLE.
LONG RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD options, REGSAM access, PHKEY result);
LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size);
LONG RegQueryInfoKeyA(HKEY key, LPSTR class_name, LPDWORD class_size, LPDWORD reserved,
                      LPDWORD subkeys, LPDWORD max_subkey, LPDWORD max_class, LPDWORD values,
                      LPDWORD max_value_name, LPDWORD max_value, LPDWORD security,
                      FILETIME* last_write);
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD data_size);
LONG RegDeleteValueA(HKEY key, LPCSTR name);
LONG RegDeleteKeyA(HKEY key, LPCSTR subkey);
LONG RegCloseKey(HKEY key);

// --- service control manager: absent -------------------------------------
using SC_HANDLE = struct SC_HANDLE__*;
struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;
#define SC_MANAGER_ALL_ACCESS 0xF003F
#define SERVICE_ALL_ACCESS 0xF01FF
#define SERVICE_CONTROL_STOP 0x00000001
#define SERVICE_STOPPED 0x00000001
#define SERVICE_STOP_PENDING 0x00000003
#define SERVICE_RUNNING 0x00000004
// No service control manager: OpenSCManagerA gives none.
SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access);
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL CloseServiceHandle(SC_HANDLE handle);
