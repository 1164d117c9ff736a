// Where krelvon-scan may write its report, and opening it there without
// destroying anything: the place is compared with the scan roots as the
// platform compares folders (platform/files/folders.h), and an existing
// file is looked at through the descriptor that then writes it.
#include <cstring>

#include "report/report.h"
#include "report/text.h"
#include "platform/files/folders.h"

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

// The folders the scan roots stand for (Windows: every fixed drive for
// all drives, "C:" as the drive's root folder).
std::vector<std::string> root_folders(const std::vector<std::string>& roots) {
  std::vector<std::string> folders;
  for (const std::string& root : roots) {
#ifdef _WIN32
    if (root == kAllDrives) {
      for (char letter = 'C'; letter <= 'Z'; ++letter) {
        const char drive[] = {letter, ':', '\\', '\0'};
        if (GetDriveTypeA(drive) == DRIVE_FIXED) folders.emplace_back(drive);
      }
      continue;
    }
    if (root.size() == 2 && root[1] == ':') {
      folders.push_back(root + "\\");
      continue;
    }
#endif
    folders.push_back(root);
  }
  return folders;
}

}  // namespace

std::string report_place_refusal(const std::string& path, const std::vector<std::string>& roots) {
  const std::string folder = krelvon::files::parent_of(path);
  for (const std::string& root : root_folders(roots))
    if (krelvon::files::inside(folder, root)) return kInsideScan;
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
