// A stand-in for the part of the Win32 API that the engine and the handlers
// call, for POSIX systems. Names, signatures and constant values are the
// real ones; behaviour is documented on each function by what its callers
// rely on. Facilities that have no POSIX counterpart (registry, service
// control manager, process snapshots) answer as an absent facility does.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using UINT = unsigned int;
using BOOL = int;
using CHAR = char;
using WCHAR = char16_t;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using PLONG = LONG*;
using HANDLE = void*;
using HINSTANCE = struct HINSTANCE__*;
using HMODULE = HINSTANCE;
using HKEY = struct HKEY__*;
using PHKEY = HKEY*;
using HWND = struct HWND__*;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using REGSAM = DWORD;
using ATOM = WORD;
using HMENU = struct HMENU__*;
using FARPROC = std::intptr_t (*)();

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define WINAPI
#define CALLBACK
#define MAX_PATH 260

// --- errors -------------------------------------------------------------
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_READ_FAULT 30L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_DIRECTORY 267L
#define ERROR_CANT_RESOLVE_FILENAME 1921L

DWORD GetLastError();
void SetLastError(DWORD code);

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

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

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

#define CP_ACP 0
#define CP_OEMCP 1
// UTF-16 to UTF-8; fails (0, ERROR_NO_UNICODE_TRANSLATION) on a lone
// surrogate. length -1: up to and including the terminator.
int WideCharToMultiByte(UINT code_page, DWORD flags, const WCHAR* wide, int length, LPSTR out,
                        int out_size, LPCSTR default_char, BOOL* used_default);
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_NO_UNICODE_TRANSLATION 1113L

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

// --- window messages ----------------------------------------------------
// A window here is a window procedure and nothing else: the front ends
// register a class, create a window of it and receive the engine's
// notifications through SendMessageA. Posted messages wait in one queue of
// the process and are taken out by PeekMessageA.
#define WM_NULL 0x0000
#define WM_DESTROY 0x0002
#define WM_ENABLE 0x000A
#define WM_SETREDRAW 0x000B
#define WM_QUIT 0x0012
#define WM_KEYDOWN 0x0100
#define WM_CHAR 0x0102
#define WM_TIMER 0x0113
#define WM_USER 0x0400
#define VK_ESCAPE 0x1B
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

struct POINT {
  LONG x;
  LONG y;
};
struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
using LPMSG = MSG*;

struct WNDCLASSA {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  void* hIcon;
  void* hCursor;
  void* hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
};
#define HWND_MESSAGE (reinterpret_cast<HWND>(static_cast<std::intptr_t>(-3)))

ATOM RegisterClassA(const WNDCLASSA* window_class);
BOOL UnregisterClassA(LPCSTR class_name, HINSTANCE instance);
HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);
// Calls the window's procedure at once; 0 for no window.
LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
void PostQuitMessage(int exit_code);
// Takes the oldest posted message (no filtering by window or range is
// supported: pass 0, 0, 0). Never waits.
BOOL PeekMessageA(LPMSG msg, HWND window, UINT first, UINT last, UINT remove);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

#define MB_OK 0x00000000
#define MB_YESNO 0x00000004
#define MB_ICONINFORMATION 0x00000040
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7
// There is no one to show a message box to: the front end answers through
// the handler it installs (posix_set_message_box_handler); without one the
// answer is IDNO, which leaves a running scan going.
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
using PosixMessageBoxHandler = int (*)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
void posix_set_message_box_handler(PosixMessageBoxHandler handler);
