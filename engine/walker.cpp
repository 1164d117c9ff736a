#include "engine/walker.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "engine/scan_context.h"
#include "handlers/examination.h"
#include "handlers/infected_file.h"
#include "handlers/worm_file.h"

namespace krelvon {

const ThreatEntry kThreatTable[] = {
    {"W32/BugBear.B.Worm", &handle_worm_file},
    {"W32/BugBear.B.Worm", &handle_infected_file},
    {nullptr, nullptr},
};

namespace {

const ThreatEntry* g_table = kThreatTable;
EntryFilter g_filter = nullptr;
// The innermost folder held by the walk under way; null outside a walk.
const KrelvonHeldFolder* g_held = nullptr;

constexpr char kFolderMaskTail[] = {kSep, '*', '.', '*', '\0'};
constexpr char kProgramFilesDir[] = {kSep, 'P', 'r', 'o', 'g', 'r', 'a', 'm', ' ', 'F', 'i', 'l', 'e', 's', '\0'};
constexpr char kProgramFilesInPath[] = {kSep, 'P', 'r', 'o', 'g', 'r', 'a', 'm', ' ', 'F', 'i', 'l', 'e', 's', kSep, '\0'};

// Appends to a terminated text in a buffer of kPathCapacity characters;
// false (and the buffer unchanged) when the result would not fit.
bool append(char* buffer, const char* tail) {
  const std::size_t have = std::strlen(buffer);
  const std::size_t add = std::strlen(tail);
  if (have + add >= static_cast<std::size_t>(kPathCapacity)) return false;
  std::memcpy(buffer + have, tail, add + 1);
  return true;
}

// The folder part of a mask: everything before the character that precedes
// the mask's last '.', so "C:\APPS\*.*" gives "C:\APPS\". False when the
// mask holds no '.'.
bool folder_of_mask(const char* mask, char* out) {
  const char* dot = std::strrchr(mask, '.');
  if (!dot) return false;
  std::size_t keep = static_cast<std::size_t>(dot - mask);
  if (keep > 0) --keep;
  std::memcpy(out, mask, keep);
  out[keep] = '\0';
  return true;
}

// Program Files preparation for a drive-root mask ("C:\*.*").
void prepare_program_files(const char* mask) {
  if (std::strlen(mask) > 6) return;
  copy_text(g_scan.program_files_mask, mask);
  char* colon = std::strchr(g_scan.program_files_mask, ':');
  if (!colon) return;
  colon[1] = '\0';
  append(g_scan.program_files_mask, kProgramFilesDir);
  if (_access(g_scan.program_files_mask, 0) == 0) {
    g_scan.program_files_pending = 1;
    append(g_scan.program_files_mask, kFolderMaskTail);
  }
}

bool pump_and_check() {
  if (front_end().poll) front_end().poll();
  return g_scan.cancel != 0;
}

// The mask names every entry of a folder: "<folder><sep>*.*".
bool lists_whole_folder(const char* mask) {
  const std::size_t n = std::strlen(mask);
  return n >= 4 && std::strcmp(mask + n - 4, kFolderMaskTail) == 0;
}

// A folder's path as it is held and reported: without the separator that
// ends it, unless it is the root of a drive ("C:\") or of the file system.
void folder_path(const char* folder_with_separator, char (&out)[kPathCapacity]) {
  copy_text(out, folder_with_separator);
  const std::size_t n = std::strlen(out);
  const bool drive_root = n == 3 && out[1] == ':';
  if (n > 1 && out[n - 1] == kSep && !drive_root) out[n - 1] = '\0';
}

// One entry of a folder's listing.
struct ListedEntry {
  std::string name;
  DWORD attributes;
  DWORD reparse_tag;  // 0 unless the entry carries a reparse point
};

// Attributes of data kept elsewhere (values of the Windows headers; older
// headers and the POSIX layer lack the names).
constexpr DWORD kAttributeOffline = 0x00001000;
constexpr DWORD kAttributeRecallOnOpen = 0x00040000;
constexpr DWORD kAttributeRecallOnDataAccess = 0x00400000;
// IsReparseTagNameSurrogate: the tag names another object.
constexpr DWORD kTagNameSurrogate = 0x20000000;

bool is_subfolder(const ListedEntry& entry) {
  return (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && entry.name != "." && entry.name != "..";
}

// The whole listing of a mask, taken before any entry of it is handed on, so
// that a file a handler renames (or any name added meanwhile) is not met
// again in the same walk. False, with GetLastError, when the folder could not
// be read (to its end); a mask that matches nothing is no failure.
bool take_listing(const char* mask, std::vector<ListedEntry>& out) {
  WIN32_FIND_DATAA entry;
  const HANDLE search = FindFirstFileA(mask, &entry);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES;
  }
  do {
    const bool reparse = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    out.push_back(ListedEntry{entry.cFileName, entry.dwFileAttributes, reparse ? entry.dwReserved0 : 0});
  } while (FindNextFileA(search, &entry));
  while (FindNextFileA(search, &entry));
  const DWORD error = GetLastError();
  FindClose(search);
  SetLastError(error);
  return error == ERROR_NO_MORE_FILES;
}

// A folder held while it is walked (platform/held_folder.h): entered below
// the folder held now, or as the root of a walk when none is.
class FolderHold {
 public:
  FolderHold() = default;
  FolderHold(const FolderHold&) = delete;
  FolderHold& operator=(const FolderHold&) = delete;
  DWORD hold(const char* folder) {
    parent_ = g_held;
    const DWORD error = krelvon_hold_folder(folder, parent_, &held_);
    if (error == ERROR_SUCCESS) {
      g_held = &held_;
      holding_ = true;
    }
    return error;
  }
  ~FolderHold() {
    if (!holding_) return;
    krelvon_release_folder(&held_);
    g_held = parent_;
  }

 private:
  KrelvonHeldFolder held_;
  const KrelvonHeldFolder* parent_ = nullptr;
  bool holding_ = false;
};

// A file entry of a listing: links are passed over, what is no regular file
// or not on the disk is reported and never opened, every other file goes
// through the table.
void examine(const char* path, DWORD attributes, DWORD reparse_tag) {
  switch (entry_reach(attributes, reparse_tag)) {
    case EntryReach::kLink: return;
    case EntryReach::kNotLocal: report_skipped(path, kSkipNotLocal); return;
    case EntryReach::kExamine: break;
  }
  if (attributes & FILE_ATTRIBUTE_DEVICE) {
    report_skipped(path, kSkipNotRegular);
    return;
  }
  run_threat_table(path);
}

// Walks into one subfolder of the folder that mask lists: false when the
// walk has to stop (a mask it had to cut held no '.').
bool walk_subfolder(const char* mask, const char* name) {
  char sub[kPathCapacity];
  if (!folder_of_mask(mask, sub)) return false;
  const std::string whole = std::string(sub) + name;
  if (g_filter && g_filter(whole.c_str(), name, true)) return true;
  if (append(sub, name) && append(sub, kFolderMaskTail)) {
    if (std::strstr(sub, kProgramFilesInPath)) g_scan.program_files_seen = 1;
    if (walk(sub) == -1) return false;
  } else {
    report_skipped(whole.c_str(), kSkipTooLong);
  }
  return true;
}

}  // namespace

EntryReach entry_reach(DWORD attributes, DWORD reparse_tag) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (reparse_tag == 0 || (reparse_tag & kTagNameSurrogate) != 0))
    return EntryReach::kLink;
  if ((attributes & (kAttributeOffline | kAttributeRecallOnOpen | kAttributeRecallOnDataAccess)) != 0)
    return EntryReach::kNotLocal;
  return EntryReach::kExamine;
}

void set_entry_filter(EntryFilter filter) { g_filter = filter; }

void walk_file(const char* path) {
  g_scan.found_in_memory = false;
  const std::size_t length = std::strlen(path);
  std::size_t name = length;
#ifdef _WIN32
  while (name > 0 && path[name - 1] != '\\' && path[name - 1] != '/' && path[name - 1] != ':') --name;
#else
  while (name > 0 && path[name - 1] != kSep) --name;
#endif
  if (g_filter && g_filter(path, path + name, false)) return;
  if (length >= static_cast<std::size_t>(kPathCapacity)) {
    report_skipped(path, kSkipTooLong);
    return;
  }
  // The file's folder is the root of this walk, as the user named it.
  std::string folder(path, name);
  if (folder.empty()) folder = ".";
  else if (folder.size() > 1 && folder.back() == kSep && !(folder.size() == 3 && folder[1] == ':')) folder.pop_back();
  FolderHold hold;
  const DWORD error = hold.hold(folder.c_str());
  if (error != ERROR_SUCCESS) {
    report_skipped(path, skip_reason_of_error(error));
    return;
  }
  // The entry itself, never through a link: on POSIX a listing of the name
  // would take a '*' or '?' in it for a mask.
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  DWORD reparse_tag = 0;
#ifdef _WIN32
  WIN32_FIND_DATAA entry;
  const HANDLE search = FindFirstFileA(path, &entry);
  if (search != INVALID_HANDLE_VALUE) {
    FindClose(search);
    attributes = entry.dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) reparse_tag = entry.dwReserved0;
  }
#else
  attributes = GetFileAttributesA(path);
#endif
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    report_skipped(path, skip_reason_of_error(GetLastError()));
    return;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    report_skipped(path, kSkipNotRegular);
    return;
  }
  if (entry_reach(attributes, reparse_tag) == EntryReach::kLink) {
    report_skipped(path, kSkipLink);
    return;
  }
  shorten_for_display(path, g_scan.object, kDisplayLength);
  notify_object();
  ++g_scan.files_scanned;
  examine(path, attributes, reparse_tag);
  pump_and_check();  // the front end may take a request to end the scan
}

void set_threat_table(const ThreatEntry* table) { g_table = table ? table : kThreatTable; }

void run_threat_table(const char* path) {
  // The handlers look at the file through one examination of it.
  Examination file(path, true);
  for (const ThreatEntry* e = g_table; e->detection_name; ++e)
    if (e->handler(e->detection_name, path, file) != 0) return;
}

const char* skip_reason_of_error(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED: return kSkipPermission;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return kSkipGone;
    case ERROR_FILENAME_EXCED_RANGE: return kSkipTooLong;
    case ERROR_CANT_RESOLVE_FILENAME: return kSkipLink;
    case ERROR_NOT_SAME_DEVICE: return kSkipOtherFileSystem;
    case ERROR_DIRECTORY: return kSkipNotFolder;
    case ERROR_SHARING_VIOLATION: return kSkipInUse;
    case ERROR_READ_FAULT: return kSkipReadError;
    default: return kSkipCannotOpen;
  }
}

const char* skip_reason_of_errno(int error) {
  switch (error) {
    case EACCES:
    case EPERM: return kSkipPermission;
    case ENOENT:
    case ENOTDIR: return kSkipGone;
    case ENAMETOOLONG: return kSkipTooLong;
    case ELOOP: return kSkipLink;
    case EXDEV: return kSkipOtherFileSystem;
    case ENXIO:
    case EISDIR: return kSkipNotRegular;
    case EIO: return kSkipReadError;
    case ENODATA: return kSkipNotLocal;
    default: return kSkipCannotOpen;
  }
}

int walk(const char* mask) {
  g_scan.found_in_memory = false;
  prepare_program_files(mask);

  char folder[kPathCapacity];  // the mask's folder, its separator included
  const bool cut = folder_of_mask(mask, folder);
  // A mask that lists a whole folder: the folder is held while it is walked,
  // so that what is entered and acted on below it is what was listed.
  const bool whole_folder = !g_scan.memory_phase && lists_whole_folder(mask);
  char listed[kPathCapacity];
  copy_text(listed, mask);
  FolderHold hold;
  if (whole_folder) {
    folder_path(folder, listed);
    const DWORD error = hold.hold(listed);
    if (error != ERROR_SUCCESS) {
      report_skipped(listed, skip_reason_of_error(error));
      return g_scan.files_scanned;
    }
  }

  std::vector<ListedEntry> listing;
  if (!take_listing(mask, listing)) report_skipped(listed, skip_reason_of_error(GetLastError()));

  // File pass: every entry the mask matches, files checked, folders shown.
  // An entry's path is the folder's, written once, and its name after it.
  char path[kPathCapacity];
  copy_text(path, g_scan.memory_phase || !cut ? mask : folder);
  const std::size_t folder_length = std::strlen(path);
  for (const ListedEntry& entry : listing) {
    if (pump_and_check()) return 0;
    const bool file = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    bool fits = true;
    if (!g_scan.memory_phase) {
      if (!cut) return -1;
      fits = folder_length + entry.name.size() < static_cast<std::size_t>(kPathCapacity);
      if (fits) std::memcpy(path + folder_length, entry.name.c_str(), entry.name.size() + 1);
    }
    // A file left out is neither shown nor counted.
    if (fits && file && !g_scan.memory_phase && g_filter && g_filter(path, entry.name.c_str(), false)) continue;
    if (fits) {
      shorten_for_display(path, g_scan.object, kDisplayLength);
      notify_object();
      if (file) {
        if (!g_scan.memory_phase) ++g_scan.files_scanned;
        examine(path, entry.attributes, entry.reparse_tag);
      }
    } else if (file) {
      // Neither shown nor counted: it does not fit the path buffers.
      report_skipped((std::string(folder) + entry.name).c_str(), kSkipTooLong);
    }
    if (pump_and_check()) return 0;
  }

  // Directory pass: the subfolders, depth first, in listing order. A mask
  // that lists the whole folder has listed them already.
  if (!whole_folder) {
    char all[kPathCapacity];
    copy_text(all, mask);
    if (char* dot = std::strrchr(all, '.')) dot[1] = '\0';
    listing.clear();
    if (!append(all, "*") || !take_listing(all, listing)) return g_scan.files_scanned;
  }
  for (const ListedEntry& entry : listing) {
    if (!is_subfolder(entry)) continue;
    const EntryReach reach = entry_reach(entry.attributes, entry.reparse_tag);
    if (reach == EntryReach::kLink) continue;
    if (reach == EntryReach::kNotLocal) {
      // Listing it would fetch it.
      report_skipped((std::string(folder) + entry.name).c_str(), kSkipNotLocal);
      continue;
    }
    if (pump_and_check()) return 0;
    if (!walk_subfolder(mask, entry.name.c_str())) return -1;
  }
  return g_scan.files_scanned;
}

void message_pump() {
  MSG msg;
  if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return;
  if ((msg.wParam & 0xFFFF) == VK_ESCAPE) {
    if (MessageBoxA(g_scan.progress_window, "Terminate the Scan now?", "Warning",
                    MB_YESNO | MB_ICONINFORMATION) == IDNO)
      return;
    set_cancel(true);
    return;
  }
  if (msg.message == WM_QUIT || msg.message == WM_DESTROY) {
    set_cancel(true);
    return;
  }
  TranslateMessage(&msg);
  DispatchMessageA(&msg);
}

void shorten_for_display(const char* source, char* destination, std::int16_t n) {
  const int h = n / 2 - 1;
  const std::size_t len = std::strlen(source);
  if (n > 0 && n < 100 && len > static_cast<std::size_t>(n) && h > 0) {
    std::memset(destination, '.', static_cast<std::size_t>(n));
    std::memcpy(destination, source, static_cast<std::size_t>(h));
    std::memcpy(destination + n - h, source + len - static_cast<std::size_t>(h), static_cast<std::size_t>(h));
    destination[n] = '\0';
    return;
  }
  copy_text(destination, 100, source);
}

}  // namespace krelvon
