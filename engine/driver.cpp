#include "engine/driver.h"

#include <cstring>

#include "engine/scan_context.h"
#include "engine/walker.h"
#include "system/memory_phase.h"

namespace krelvon {

namespace {

// The extra walk of a drive's Program Files folder when the drive walk did
// not enter it.
void program_files_rewalk() {
  if (g_scan.program_files_pending == 1 && g_scan.program_files_seen == 0) {
    walk(g_scan.program_files_mask);
    g_scan.program_files_pending = 0;
  }
}

void statistics_block(bool not_examined_line) {
  g_scan.summary = true;
  if (g_scan.files_infected > 0) append_line(" ");
  append_line("Scanning statistics\t\t:");
  append_line("Total files scanned\t\t:  %d", g_scan.files_scanned);
  append_line("Total files infected\t\t:  %d", g_scan.files_infected);
  if (kOptionDefaults.disinfect_offered == 1)
    append_line("Total files disinfected\t:  %d", g_scan.files_disinfected);
  append_line("Total files renamed\t\t:  %d", g_scan.files_renamed);
  append_line("Total files deleted\t\t:  %d", g_scan.files_deleted);
  // A scan that could not open some entries says so, or its statistics
  // would read as those of a clean run.
  if (not_examined_line && g_scan.entries_skipped > 0)
    append_line("Total files not examined\t:  %d", g_scan.entries_skipped);
  // A file in use goes at the next start of Windows: until then the
  // cleaning is not finished.
  if (g_scan.restart_pending) append_line("%s", kRestartLine);
}

}  // namespace

void scan_scope() {
  if (g_scan.scan_path[0] != '\0') {
    memory_phase();
    if (std::strcmp(g_scan.scan_path, kAllDrives) == 0) {
      char root[] = {'C', ':', kSep, '\0'};
      for (int drive = 2; drive <= 25; ++drive) {
        root[0] = static_cast<char>('A' + drive);
        if (GetDriveTypeA(root) != DRIVE_FIXED) continue;
        const char mask[] = {root[0], ':', kSep, '*', '.', '*', '\0'};
        walk(mask);
        program_files_rewalk();
      }
    } else {
      char mask[kPathCapacity];
      copy_text(mask, g_scan.scan_path);
      const char tail[] = {kSep, '*', '.', '*', '\0'};
      memory_phase();
      // A scan path too long for its mask is not walked, and reported.
      if (std::strlen(mask) + std::strlen(tail) < sizeof mask) {
        std::strcat(mask, tail);
        walk(mask);
        program_files_rewalk();
      } else {
        report_skipped(g_scan.scan_path, kSkipTooLong);
      }
    }
  }
}

// The registry-cleaned line is never written: nothing in this program cleans
// the registry before the memory phase, and the RunOnce cleaning reports its
// own "System Registry" line when it deletes a value.
void scan_summary(bool not_examined_line) {
  statistics_block(not_examined_line);
  copy_text(g_scan.object, g_scan.cancel ? "Scanning terminated" : "Scanning completed");
  notify_object();
}

int scan_driver() {
  scan_scope();
  scan_summary(true);
  return 1;
}

}  // namespace krelvon
