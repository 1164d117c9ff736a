// Where krelvon-scan may write its report, and opening it there without
// destroying anything: the place is compared with the scan roots by volume
// and file number, and an existing file is looked at through the
// descriptor that then writes it.
#include <cstdint>
#include <cstring>

#include "cli/report.h"
#include "cli/text.h"
#ifdef _WIN32
#include "platform/held_folder.h"
#endif

#ifdef _WIN32
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace krelvon::cli {

namespace {

constexpr char kInsideScan[] = "the report is inside a scanned folder: ";
constexpr char kNotWritable[] = "cannot write the report: ";
constexpr char kLink[] = "the report is a link: ";
constexpr char kNotRegular[] = "the report is not a regular file: ";
constexpr char kNotReport[] = "the report would overwrite a file that is no report of krelvon-scan: ";

// The longest first line read from an existing file.
constexpr std::size_t kFirstLineLimit = 16384;

// A folder by volume and file number.
struct Place {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const Place& o) const { return volume == o.volume && index == o.index; }
};

// The folder that holds path: "." for a bare name, the root for a name in
// the root.
std::string folder_of(const std::string& path) {
  std::size_t end = path.size();
  while (end > 0 && !is_separator(path[end - 1])) --end;
  if (end == 0) return ".";
  std::size_t keep = end;
  while (keep > 1 && is_separator(path[keep - 1])) --keep;
#ifdef _WIN32
  if (keep == 2 && path[1] == ':') keep = 3;  // "C:\x" is in "C:\"
#endif
  return path.substr(0, keep);
}

bool contains(const std::vector<Place>& places, const Place& p) {
  for (const Place& q : places)
    if (q == p) return true;
  return false;
}

// The first line of what fd holds, read from its start (at most
// kFirstLineLimit bytes).
template <typename Read>
std::string first_line(Read read_some) {
  std::string line;
  char buffer[4096];
  while (line.size() < kFirstLineLimit) {
    const long got = read_some(buffer, sizeof buffer);
    if (got <= 0) break;
    line.append(buffer, static_cast<std::size_t>(got));
    const std::size_t end = line.find('\n');
    if (end != std::string::npos) return line.substr(0, end);
  }
  return line;
}

#ifdef _WIN32

// The folder a path leads to, links and junctions followed. NT line only:
// the 95 line opens no folder (FILE_FLAG_BACKUP_SEMANTICS is unknown there)
// and refuses FILE_SHARE_DELETE.
bool place_of(const std::string& path, Place* out) {
  const HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(h, &info) != FALSE;
  CloseHandle(h);
  if (!known) return false;
  out->volume = info.dwVolumeSerialNumber;
  out->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

std::vector<Place> root_places(const std::vector<std::string>& roots) {
  std::vector<Place> places;
  for (const std::string& root : roots) {
    std::vector<std::string> folders;
    if (root == kAllDrives) {
      for (char letter = 'C'; letter <= 'Z'; ++letter) {
        const char drive[] = {letter, ':', '\\', '\0'};
        if (GetDriveTypeA(drive) == DRIVE_FIXED) folders.emplace_back(drive);
      }
    } else {
      folders.push_back(root.size() == 2 && root[1] == ':' ? root + "\\" : root);
    }
    for (const std::string& f : folders) {
      Place p;
      if (place_of(f, &p)) places.push_back(p);
    }
  }
  return places;
}

// The folder's path with links and junctions resolved where the system can
// tell it (GetFinalPathNameByHandleA, looked up by name: older systems lack
// it), else its full path.
std::string real_path(const std::string& folder) {
  char full[MAX_PATH * 4];
  const DWORD n = GetFullPathNameA(folder.c_str(), sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) return folder;
  using Final = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD, DWORD);
  const auto final_path = reinterpret_cast<Final>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleA")));
  if (final_path == nullptr) return full;
  const HANDLE h = CreateFileA(full, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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
  char full[MAX_PATH * 4];
  const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  const std::string given = n == 0 || n >= sizeof full ? path : std::string(full);
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

// The scan roots as folders of the 95 line, by long full path.
std::vector<std::string> root_paths(const std::vector<std::string>& roots) {
  std::vector<std::string> paths;
  for (const std::string& root : roots) {
    if (root == kAllDrives) {
      for (char letter = 'C'; letter <= 'Z'; ++letter) {
        const char drive[] = {letter, ':', '\\', '\0'};
        if (GetDriveTypeA(drive) == DRIVE_FIXED) paths.emplace_back(drive);
      }
    } else {
      paths.push_back(long_full_path(root.size() == 2 && root[1] == ':' ? root + "\\" : root));
    }
  }
  return paths;
}

bool inside_by_path(const std::string& folder, const std::vector<std::string>& roots) {
  const std::string f = long_full_path(folder);
  for (const std::string& root : root_paths(roots)) {
    if (f.compare(0, root.size(), root) != 0) continue;
    if (f.size() == root.size() || root.back() == '\\' || f[root.size()] == '\\') return true;
  }
  return false;
}

// The folder or one above it is one of the places.
bool inside(const std::string& folder, const std::vector<Place>& places) {
  std::string f = real_path(folder);
  for (;;) {
    Place p;
    if (place_of(f, &p) && contains(places, p)) return true;
    const std::string up = folder_of(f);
    if (up == f || up == ".") return false;
    f = up;
  }
}

#else

std::vector<Place> root_places(const std::vector<std::string>& roots) {
  std::vector<Place> places;
  for (const std::string& root : roots) {
    struct stat st {};
    if (::stat(root.c_str(), &st) == 0)
      places.push_back({static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)});
  }
  return places;
}

// The folder or one above it is one of the places: from the folder itself
// (links followed, as the report's writing follows them) up through "..",
// each folder by its own descriptor, to the root of the file system.
bool inside(const std::string& folder, const std::vector<Place>& places) {
  int fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  while (fd >= 0) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) break;
    const Place here{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    if (contains(places, here)) {
      ::close(fd);
      return true;
    }
    const int up = ::openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = up;
    struct stat above {};
    if (fd >= 0 && ::fstat(fd, &above) == 0 && above.st_dev == st.st_dev && above.st_ino == st.st_ino) break;
  }
  if (fd >= 0) ::close(fd);
  return false;
}

#endif

}  // namespace

std::string report_place_refusal(const std::string& path, const std::vector<std::string>& roots) {
#ifdef _WIN32
  if (!krelvon_nt_line()) return inside_by_path(folder_of(path), roots) ? kInsideScan : "";
#endif
  if (inside(folder_of(path), root_places(roots))) return kInsideScan;
  return "";
}

std::string Report::open(const std::string& path, const std::vector<std::string>& roots) {
  const std::string refusal = report_place_refusal(path, roots);
  if (!refusal.empty()) return refusal;
#ifdef _WIN32
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kLink;
  const int fd = _open(path.c_str(), _O_RDWR | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return kNotWritable;
  const auto refuse = [fd](const char* why) {
    _close(fd);
    return std::string(why);
  };
  // A disk file, not a device (NUL, CON, a printer port) or a pipe.
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (GetFileType(handle) != FILE_TYPE_DISK) return refuse(kNotRegular);
  DWORD high = 0;
  const DWORD low = GetFileSize(handle, &high);
  if ((low != 0 || high != 0) &&
      !is_report_start(first_line([fd](char* b, std::size_t n) {
        return static_cast<long>(_read(fd, b, static_cast<unsigned>(n)));
      })))
    return refuse(kNotReport);
  if (_chsize(fd, 0) != 0 || _lseek(fd, 0, SEEK_SET) != 0) return refuse(kNotWritable);
#else
  // Not through a link, and without waiting on a FIFO.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return errno == ELOOP ? kLink : kNotWritable;
  const auto refuse = [fd](const char* why) {
    ::close(fd);
    return std::string(why);
  };
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return refuse(kNotRegular);
  if (st.st_size > 0 &&
      !is_report_start(first_line([fd](char* b, std::size_t n) { return static_cast<long>(::read(fd, b, n)); })))
    return refuse(kNotReport);
  if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) return refuse(kNotWritable);
  // Writes block again.
  if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) return refuse(kNotWritable);
#endif
  fd_ = fd;
  failed_ = false;
  return "";
}

}  // namespace krelvon::cli
