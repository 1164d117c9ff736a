#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files/folders.h"
#include "platform/files/restart.h"
#include "platform/held_folder.h"

namespace krelvon::files {

namespace {

constexpr char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char kPendingValue[] = "PendingFileRenameOperations";

std::string full_name(const char* path) {
  char buffer[MAX_PATH];
  const DWORD n = GetFullPathNameA(path, sizeof buffer, buffer, nullptr);
  return n == 0 || n >= sizeof buffer ? std::string(path) : std::string(buffer, n);
}

std::string error_text(const char* what, DWORD error) {
  char text[160];
  std::snprintf(text, sizeof text, "%s (error %lu)", what, static_cast<unsigned long>(error));
  return text;
}

// ---- NT line ----------------------------------------------------------

bool nt_already_pending(const std::string& source, const std::string& target) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0, size = 0;
  std::vector<char> data;
  if (RegQueryValueExA(key, kPendingValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_MULTI_SZ) {
    data.resize(size + 2);
    if (RegQueryValueExA(key, kPendingValue, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS)
      data.clear();
    else
      data.resize(size);
  }
  RegCloseKey(key);
  for (const PendingOperation& op : pending_operations_of(data.data(), data.size())) {
    if (_stricmp(op.source.c_str(), source.c_str()) == 0 && _stricmp(op.target.c_str(), target.c_str()) == 0)
      return true;
  }
  return false;
}

bool schedule_nt(const std::string& source, const std::string& target, std::string* why) {
  if (nt_already_pending(source, target)) return true;
  if (MoveFileExA(source.c_str(), target.empty() ? nullptr : target.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT))
    return true;
  const DWORD error = GetLastError();
  *why = error == ERROR_ACCESS_DENIED || error == ERROR_PRIVILEGE_NOT_HELD
             ? error_text("no right to write the Session Manager's pending operations: run as an administrator", error)
             : error_text("MoveFileExA could not schedule it", error);
  return false;
}

// ---- 95 line ----------------------------------------------------------

// The short form of an existing path, each of its names in 8.3 form; empty
// when there is none.
std::string short_path_of(const std::string& path) {
  char buffer[MAX_PATH];
  const DWORD n = GetShortPathNameA(path.c_str(), buffer, sizeof buffer);
  if (n == 0 || n >= sizeof buffer) return "";
  const std::string shortened(buffer, n);
  std::size_t begin = shortened.size() > 2 && shortened[1] == ':' ? 3 : 0;
  while (begin < shortened.size()) {
    std::size_t end = shortened.find('\\', begin);
    if (end == std::string::npos) end = shortened.size();
    if (!is_short_name(shortened.substr(begin, end - begin))) return "";
    begin = end + 1;
  }
  return shortened;
}

bool read_whole(const std::string& path, std::string* text, bool* missing) {
  *missing = false;
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *missing = error == ERROR_FILE_NOT_FOUND;
    return *missing;
  }
  char buffer[4096];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(h, buffer, sizeof buffer, &got, nullptr) != FALSE) && got > 0) text->append(buffer, got);
  CloseHandle(h);
  return ok;
}

bool write_whole(const std::string& path, const std::string& text) {
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  bool ok = text.empty() || (WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &put, nullptr) &&
                             put == text.size());
  ok = FlushFileBuffers(h) && ok;
  ok = CloseHandle(h) && ok;
  if (!ok) DeleteFileA(path.c_str());
  return ok;
}

bool schedule_95(const std::string& source, const std::string& target, std::string* why) {
  const std::string short_source = short_path_of(source);
  if (short_source.empty()) {
    *why = "it has no 8.3 name, and WININIT.INI, which runs before long names exist, takes only those";
    return false;
  }
  std::string key = "NUL";
  if (!target.empty()) {
    // The new name does not exist yet: its folder's short path and its own
    // name, which must be an 8.3 name already.
    const std::string folder = short_path_of(parent_of(target));
    const std::size_t slash = target.find_last_of("\\/");
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (folder.empty() || !is_short_name(name)) {
      *why = "its new name " + name + " has no 8.3 form, and WININIT.INI takes only those";
      return false;
    }
    key = folder + (folder.back() == '\\' ? "" : "\\") + name;
  }
  char windows[MAX_PATH];
  const UINT n = GetWindowsDirectoryA(windows, sizeof windows);
  if (n == 0 || n >= sizeof windows) {
    *why = error_text("the Windows folder is unknown", GetLastError());
    return false;
  }
  const std::string folder(windows, n);
  const std::string ini = folder + (folder.back() == '\\' ? "" : "\\") + "WININIT.INI";
  const std::string beside = folder + (folder.back() == '\\' ? "" : "\\") + "WININIT.KRN";
  std::string text;
  bool missing = false;
  if (!read_whole(ini, &text, &missing)) {
    *why = error_text("WININIT.INI could not be read", GetLastError());
    return false;
  }
  bool already = false;
  const std::string updated = wininit_with(text, key, short_source, &already);
  if (already) return true;
  if (!write_whole(beside, updated)) {
    *why = error_text("WININIT.INI could not be written (its new copy beside it failed)", GetLastError());
    return false;
  }
  if (!replace(beside, ini)) {
    const DWORD error = GetLastError();
    DeleteFileA(beside.c_str());
    *why = error_text("WININIT.INI could not be replaced", error);
    return false;
  }
  return true;
}

}  // namespace

bool in_use_error(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_USER_MAPPED_FILE;
}

bool schedule_at_restart(const char* path, const char* new_path, std::string* why) {
  const std::string source = full_name(path);
  const std::string target = new_path ? full_name(new_path) : std::string();
  return krelvon_nt_line() ? schedule_nt(source, target, why) : schedule_95(source, target, why);
}

}  // namespace krelvon::files
