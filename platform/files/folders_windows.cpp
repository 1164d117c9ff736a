#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/files/folders.h"
#include "platform/held_folder.h"

namespace krelvon::files {

namespace {

// The object a path leads to, for its identity and its final path. The 95
// line knows neither FILE_SHARE_DELETE (and refuses it) nor
// FILE_FLAG_BACKUP_SEMANTICS, without which no folder opens there.
HANDLE open_followed(const char* path) {
  const bool nt = krelvon_nt_line();
  return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | (nt ? FILE_SHARE_DELETE : 0), nullptr,
                     OPEN_EXISTING, nt ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr);
}

std::string given_full_path(const std::string& path) {
  char buffer[MAX_PATH * 4];
  const DWORD n = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
  if (n == 0 || n >= sizeof buffer) return "";
  return std::string(buffer, n);
}

// The folder's path with links and junctions resolved where the system can
// tell it (GetFinalPathNameByHandleA, looked up by name: older systems lack
// it), else its full path.
std::string real_path(const std::string& folder) {
  const std::string full = given_full_path(folder);
  if (full.empty()) return folder;
  using Final = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD, DWORD);
  const auto final_path = reinterpret_cast<Final>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleA")));
  if (final_path == nullptr) return full;
  const HANDLE h = open_followed(full.c_str());
  if (h == INVALID_HANDLE_VALUE) return full;
  char resolved[MAX_PATH * 4];
  const DWORD m = final_path(h, resolved, sizeof resolved, 0);
  CloseHandle(h);
  if (m == 0 || m >= sizeof resolved) return full;
  std::string r = resolved;
  if (r.compare(0, 8, "\\\\?\\UNC\\") == 0) return "\\\\" + r.substr(8);
  if (r.compare(0, 4, "\\\\?\\") == 0) return r.substr(4);
  return r;
}

// The 95 line: a folder is told by its full path with every name in its
// long form (a short name such as PROGRA~1 names the same folder), in
// upper case; that line has no links or junctions, so two paths that
// differ name two folders. A name not found is kept as given.
std::string long_full_path(const std::string& path) {
  const std::string full = given_full_path(path);
  const std::string given = full.empty() ? path : full;
  std::size_t at = given.size() >= 3 && given[1] == ':' && given[2] == '\\' ? 3 : 0;
  std::string out = given.substr(0, at);
  while (at < given.size()) {
    std::size_t end = given.find('\\', at);
    if (end == std::string::npos) end = given.size();
    const std::string name = given.substr(at, end - at);
    std::string found = name;
    if (!name.empty() && name != "." && name != "..") {
      WIN32_FIND_DATAA data;
      const HANDLE h = FindFirstFileA((out + name).c_str(), &data);
      if (h != INVALID_HANDLE_VALUE) {
        found = data.cFileName;
        FindClose(h);
      }
    }
    out += found;
    if (end < given.size()) out += '\\';
    at = end + 1;
  }
  while (out.size() > 3 && out.back() == '\\') out.pop_back();
  // The runtime's own case folding (as the system's terminate-by-file).
  std::vector<char> upper(out.begin(), out.end());
  upper.push_back('\0');
  _strupr(upper.data());
  return upper.data();
}

bool inside_by_path(const std::string& inner, const std::string& outer) {
  const std::string f = long_full_path(inner), root = long_full_path(outer);
  if (root.empty() || f.compare(0, root.size(), root) != 0) return false;
  return f.size() == root.size() || root.back() == '\\' || f[root.size()] == '\\';
}

}  // namespace

char separator() { return '\\'; }

std::string full_path(const std::string& path) {
  std::string full = given_full_path(path);
  while (full.size() > 3 && (full.back() == '\\' || full.back() == '/')) full.pop_back();
  return full;
}

bool identity_of(const std::string& path, KrelvonFileIdentity* out) {
  const HANDLE h = open_followed(path.c_str());
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(h, &info) != FALSE;
  CloseHandle(h);
  if (!known) return false;
  out->volume = info.dwVolumeSerialNumber;
  out->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool inside(const std::string& inner, const std::string& outer) {
  if (!krelvon_nt_line()) return inside_by_path(inner, outer);
  KrelvonFileIdentity target;
  if (!identity_of(outer, &target)) return false;
  for (std::string p = real_path(inner);;) {
    KrelvonFileIdentity id;
    if (identity_of(p, &id) && id == target) return true;
    const std::string up = parent_of(p);
    if (up == p || up == ".") return false;
    p = up;
  }
}

bool replace(const std::string& from, const std::string& to) {
  // A read-only file cannot be replaced.
  const DWORD old = GetFileAttributesA(to.c_str());
  if (old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_READONLY) != 0)
    SetFileAttributesA(to.c_str(), old & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return false;
  // The 95 line has no MoveFileEx: the old file goes first, then the new
  // one takes its name (a crash in between leaves the new file under its
  // temporary name, beside the target).
  return (DeleteFileA(to.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) && MoveFileA(from.c_str(), to.c_str());
}

bool sync_folder(const std::string&) { return true; }

}  // namespace krelvon::files
