#include "engine/walker.h"

#include <cstring>
#include <string>

#include "engine/scan_context.h"
#include "handlers/handler_support.h"
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
  message_pump();
  return g_scan.cancel != 0;
}

}  // namespace

void set_threat_table(const ThreatEntry* table) { g_table = table ? table : kThreatTable; }
const ThreatEntry* threat_table() { return g_table; }

void run_threat_table(const char* path) {
  // The handlers look at the file through one opening of it.
  SharedOpening opening(path);
  for (const ThreatEntry* e = g_table; e->detection_name; ++e)
    if (e->handler(e->detection_name, path) != 0) return;
}

namespace {

// The mask names every entry of a folder: "<folder><sep>*.*".
bool lists_whole_folder(const char* mask) {
  const std::size_t n = std::strlen(mask);
  return n >= 4 && std::strcmp(mask + n - 4, kFolderMaskTail) == 0;
}

// Walks into one subfolder of the folder that mask lists: false when the
// walk has to stop (a mask it had to cut held no '.').
bool walk_subfolder(const char* mask, const char* name) {
  char sub[kPathCapacity];
  if (!folder_of_mask(mask, sub)) return false;
  if (append(sub, name) && append(sub, kFolderMaskTail)) {
    if (std::strstr(sub, kProgramFilesInPath)) g_scan.program_files_seen = 1;
    if (walk(sub) == -1) return false;
  }
  return true;
}

bool is_subfolder(const WIN32_FIND_DATAA& entry) {
  return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && std::strcmp(entry.cFileName, ".") != 0 &&
         std::strcmp(entry.cFileName, "..") != 0;
}

}  // namespace

int walk(const char* mask) {
  g_scan.found_in_memory = false;
  prepare_program_files(mask);

  WIN32_FIND_DATAA entry;
  char path[kPathCapacity];
  // A mask that lists the whole folder shows its subfolders in the file
  // pass already: their names are kept (one after another, each ended by
  // '\0') for the directory pass, in listing order, and the folder is
  // listed once.
  const bool whole_folder = !g_scan.memory_phase && lists_whole_folder(mask);
  std::string subfolders;

  // File pass: every entry the mask matches, files checked, folders shown.
  HANDLE search = FindFirstFileA(mask, &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (pump_and_check()) {
        FindClose(search);
        return 0;
      }
      bool fits = true;
      if (g_scan.memory_phase) {
        copy_text(path, mask);
      } else {
        if (!folder_of_mask(mask, path)) {
          FindClose(search);
          return -1;
        }
        fits = append(path, entry.cFileName);
      }
      if (fits) {
        copy_text(g_scan.object, path);
        char shown[100];
        shorten_for_display(g_scan.object, shown, kDisplayLength);
        copy_text(g_scan.object, shown);
        notify_object();
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
          if (!g_scan.memory_phase) ++g_scan.files_scanned;
          run_threat_table(path);
        }
      }
      if (whole_folder && is_subfolder(entry)) subfolders.append(entry.cFileName).push_back('\0');
      if (pump_and_check()) {
        FindClose(search);
        return 0;
      }
    } while (FindNextFileA(search, &entry));
    FindClose(search);
  }

  // Directory pass: the subfolders, depth first, in listing order.
  if (whole_folder) {
    for (std::size_t at = 0; at < subfolders.size(); at += std::strlen(subfolders.c_str() + at) + 1) {
      if (pump_and_check()) return 0;
      if (!walk_subfolder(mask, subfolders.c_str() + at)) return -1;
    }
    return g_scan.files_scanned;
  }
  char listing[kPathCapacity];
  copy_text(listing, mask);
  if (char* dot = std::strrchr(listing, '.')) dot[1] = '\0';
  if (!append(listing, "*")) return g_scan.files_scanned;
  search = FindFirstFileA(listing, &entry);
  if (search == INVALID_HANDLE_VALUE) return g_scan.files_scanned;
  do {
    if (pump_and_check()) {
      FindClose(search);
      return 0;
    }
    if (is_subfolder(entry) && !walk_subfolder(mask, entry.cFileName)) {
      FindClose(search);
      return -1;
    }
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  return g_scan.files_scanned;
}

void message_pump() {
  MSG msg;
  if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return;
  if ((msg.wParam & 0xFFFF) == VK_ESCAPE) {
    if (MessageBoxA(g_scan.progress_window, "Terminate the Scan now?", "Warning",
                    MB_YESNO | MB_ICONINFORMATION) == IDNO)
      return;
    g_scan.cancel = 1;
    return;
  }
  if (msg.message == WM_QUIT || msg.message == WM_DESTROY) {
    g_scan.cancel = 1;
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
