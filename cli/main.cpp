// krelvon-scan: the command-line scanner over the engine.
//
// Finding lines and the statistics block go to standard output as the
// result list shows them, with the control characters of paths escaped so
// that a file name cannot make or break a line; on a terminal a one-line
// status with the object being scanned goes to standard error, and so does
// each entry that could not be examined. With --format=jsonl the report's
// objects take the place of the lines on standard output. The exit status
// is cli/exit_status.h's; the options are read in cli/options.cpp.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backup/backup.h"
#include "report/report.h"
#include "report/text.h"
#include "cli/exit_status.h"
#include "cli/options.h"
#ifdef KRELVON_RESCUE
#include "cli/registry_step.h"
#endif
#ifdef KRELVON_READ_AHEAD
#include "handlers/examination.h"
#include "read_ahead/read_ahead.h"
#endif
#include "engine/ask_for_action.h"
#include "engine/change_guard.h"
#include "engine/driver.h"
#include "engine/scan_context.h"
#include "engine/walker.h"
#include "system/memory_phase.h"

#ifdef _WIN32
#include <io.h>
#define krelvon_isatty _isatty
#define krelvon_fileno _fileno
#else
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#define krelvon_isatty isatty
#define krelvon_fileno fileno
#endif

using krelvon::g_scan;

namespace {

using krelvon::cli::Options;
using krelvon::cli::usage_error;

bool g_status_line = false;   // a status line is shown on standard error
bool g_status_shown = false;  // something is on it now
std::uint32_t g_last_status = 0;  // tick_ms() when it was last written
krelvon::cli::Report g_report;
bool g_text_lines = true;  // the finding and statistics lines go to standard output
krelvon::cli::ScanOutcome g_outcome;
const Options* g_options = nullptr;  // for the entry filter
int g_excluded = 0;                  // entries left out by --exclude, --exclude-dir
#ifdef KRELVON_READ_AHEAD
krelvon::cli::ReadAhead* g_read_ahead = nullptr;  // told of each entry the walker shows
#endif
// The worm files this run deleted or renamed: their start-up entries go
// from the registry of an installation scanned offline.
std::vector<std::string> g_removed_worm_files;

// Milliseconds on a clock that never steps back, wrapping at 2^32 (49 days):
// differences of these stay right across the wrap.
std::uint32_t tick_ms() {
#ifdef _WIN32
  return GetTickCount();
#else
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint32_t>(now.tv_sec) * 1000U + static_cast<std::uint32_t>(now.tv_nsec / 1000000);
#endif
}

void clear_status() {
  if (!g_status_shown) return;
  std::fprintf(stderr, "\r%*s\r", 79, "");
  std::fflush(stderr);
  g_status_shown = false;
}

// The line callback: a finding line or a line of the statistics block on
// standard output; a finding also goes to the report, and a worm file it
// deleted or renamed is kept for the registry step.
void on_line() {
  clear_status();
  const bool finding = g_scan.finding.kind != krelvon::FindingKind::kNone;
  // The statistics lines keep their tabs; a finding line shows a path.
  if (g_text_lines) {
    std::printf("%s\n", finding ? krelvon::cli::terminal_text(g_scan.line).c_str() : g_scan.line);
    std::fflush(stdout);
  }
  if (finding) {
    g_report.finding(g_scan.finding, g_scan.line);
    krelvon::cli::count_finding(g_outcome, g_scan.finding);
  }
  const krelvon::FindingRecord& f = g_scan.finding;
  if (f.kind == krelvon::FindingKind::kWormFile &&
      (f.outcome == krelvon::FindingOutcome::kDeleted || f.outcome == krelvon::FindingOutcome::kRenamed))
    g_removed_worm_files.emplace_back(f.path);
}

// The object callback: the read-ahead learns where the walker is, and the
// status line shows the object.
void on_object() {
#ifdef KRELVON_READ_AHEAD
  if (g_read_ahead) g_read_ahead->walker_showed();
#endif
  if (!g_status_line) return;
  // At most every 100 ms: a terminal is slower than the walk.
  const std::uint32_t now = tick_ms();
  if (g_status_shown && now - g_last_status < 100) return;
  g_last_status = now;
  // The object is shortened to 60 characters by the walker; 78 keeps a
  // full path shown by a handler, and escapes, on one line too.
  char shown[100];
  krelvon::shorten_for_display(krelvon::cli::terminal_text(g_scan.object).c_str(), shown, 78);
  std::fprintf(stderr, "\r%-78s\r", shown);
  std::fflush(stderr);
  g_status_shown = true;
}

// An entry that could not be examined: one line on standard error, its path
// quoted as in the report, and one object in the report.
void on_skipped(const char* path, const char* reason) {
  clear_status();
  std::fprintf(stderr, "krelvon-scan: skipped %s: %s\n", krelvon::cli::json_string(path).c_str(), reason);
  std::fflush(stderr);
  g_report.skipped(path, reason);
}

// The backup folder has no room for a copy (or a manifest line): said once,
// on standard error and in the report; the change that needed it is
// refused as for any backup that cannot be made.
void on_backup_full(const std::string& folder) {
  clear_status();
  std::fprintf(stderr,
               "krelvon-scan: the backup folder %s is full: a file whose copy does not fit in it is left unchanged\n",
               krelvon::cli::terminal_text(folder).c_str());
  std::fflush(stderr);
  g_report.put("{\"type\":\"backup-full\",\"folder\":" + krelvon::cli::json_string(folder) + "}");
}

// A file in use whose deletion or rename could not be left for the next
// start of Windows: its finding line says "Delete failed" or "Rename
// failed"; this says why, on standard error and in the report.
void on_restart_refused(const char* path, const char* reason) {
  clear_status();
  std::fprintf(stderr, "krelvon-scan: %s is in use and could not be scheduled for the next start of Windows: %s\n",
               krelvon::cli::json_string(path).c_str(), reason);
  std::fflush(stderr);
  g_report.put(krelvon::cli::JsonObject("restart-refused").text("path", path).text("reason", reason).done());
}

// The virus-found prompt on the terminal: one question per finding, the
// four actions and "apply to all" as the prompt's box. Enter ends it
// without a choice (the file is left alone); end of input or Ctrl-C ends it
// the same way and ends the scan.
void terminal_prompt(const char* detection_name, const char* object) {
  clear_status();
  char shown[100];
  krelvon::shorten_for_display(krelvon::cli::terminal_text(object).c_str(), shown, krelvon::kDisplayLength);
  std::fprintf(stderr, "Object :      %s\nVirus Name :  %s\n", shown, detection_name);
  bool box = false;
  for (;;) {
    std::fprintf(stderr, "%s%s%s%s[a] apply to all (%s), Enter: no choice? ",
                 g_scan.offered_disinfect ? "[d] Disinfect, " : "", g_scan.offered_delete ? "[e] Delete, " : "",
                 g_scan.offered_rename ? "[r] Rename, " : "", g_scan.offered_ignore ? "[i] Ignore, " : "",
                 box ? "on" : "off");
    std::fflush(stderr);
    char answer[64];
    if (!std::fgets(answer, sizeof answer, stdin) || g_scan.cancel) {
      std::fprintf(stderr, "\n");
      krelvon::prompt_command(IDCANCEL, box);
      krelvon::set_cancel(true);
      return;
    }
    int command = 0;
    switch (answer[0]) {
      case 'd': case 'D': command = g_scan.offered_disinfect ? krelvon::kActionDisinfect : 0; break;
      case 'e': case 'E': command = g_scan.offered_delete ? krelvon::kActionDelete : 0; break;
      case 'r': case 'R': command = g_scan.offered_rename ? krelvon::kActionRename : 0; break;
      case 'i': case 'I': command = g_scan.offered_ignore ? krelvon::kActionIgnore : 0; break;
      case 'a': case 'A': box = !box; command = krelvon::kApplyToAllBox; break;
      case '\n': case '\r': case '\0': command = IDOK; break;
      default: break;
    }
    if (command != 0 && krelvon::prompt_command(command, box)) return;
  }
}

#ifdef _WIN32
BOOL WINAPI console_control(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    krelvon::set_cancel(true);
    return TRUE;
  }
  return FALSE;
}
#else
void on_interrupt(int) { krelvon::set_cancel(true); }
#endif

void install_cancel() {
#ifdef _WIN32
  SetConsoleCtrlHandler(console_control, TRUE);
#else
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no restart: a prompt's read ends at Ctrl-C
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
#endif
}

bool left_out(const char* path, const char* name, bool folder) {
  if (!krelvon::cli::excluded(*g_options, path, name, folder)) return false;
  ++g_excluded;
  return true;
}

// What a PATH names: a folder to walk or a file to examine alone.
struct ScanEntry {
  std::string path;
  bool file = false;
};

// The scan path for one argument: a folder without its trailing separators
// ("C:\" becomes "C:", the root "/" becomes "/."), or a file as given
// (*file set); empty with a message when it cannot be scanned.
std::string scan_path_of(const std::string& argument, bool* file, bool listed) {
  *file = false;
  std::string p = argument;
  while (p.size() > 1 && krelvon::cli::is_separator(p.back())) p.pop_back();
#ifdef _WIN32
  if (p.size() == 2 && p[1] == ':') {
    const char root[] = {p[0], ':', '\\', '\0'};
    if (GetDriveTypeA(root) <= DRIVE_NO_ROOT_DIR) return usage_error("no such drive: ", argument.c_str()), "";
    return p;
  }
  const DWORD attributes = GetFileAttributesA(p.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES && listed) return *file = true, p;  // reported by the walk
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return usage_error("no such file or folder: ", argument.c_str()), "";
  *file = (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
#else
  if (p == "/") p = "/.";
  struct stat st {};
  // A link to a file is taken as a file here; the walk reports it, never
  // following it.
  if (lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && (stat(p.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
    *file = true;
  else if (stat(p.c_str(), &st) != 0 && listed)
    *file = true;  // reported by the walk
  else if (stat(p.c_str(), &st) != 0)
    return usage_error("no such file or folder: ", argument.c_str()), "";
  else
    *file = !S_ISDIR(st.st_mode);
#endif
  if (*file) {
    if (p.size() >= static_cast<std::size_t>(krelvon::kPathCapacity))
      return usage_error("path too long: ", argument.c_str()), "";
    return p;
  }
  // The walker appends a separator and "*.*" and then the names it finds.
  if (p.size() + 5 >= static_cast<std::size_t>(krelvon::kPathCapacity))
    return usage_error("path too long: ", argument.c_str()), "";
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const int early = parse(argc, argv, o);
  if (early >= 0) return early;
  if (const char* misuse = krelvon::cli::backup_options_misuse(o.backup)) return usage_error(misuse, "");
  if (!o.backup.restore.empty())
    return krelvon::cli::restore(o.backup.restore, o.paths, o.backup.force, stdout, stderr);

  // The folders to walk (scan_paths) and, in the order given, everything
  // to scan: the PATH arguments, then each list's paths.
  std::vector<std::string> scan_paths;
  std::vector<ScanEntry> entries;
  std::vector<std::string> listed;
  for (const std::string& list : o.file_lists) {
    std::string error;
    if (!krelvon::cli::read_path_list(list, o.null_separated, &listed, &error)) return usage_error(error.c_str(), "");
  }
#ifdef KRELVON_RESCUE
  if (!o.windows_root.empty() && !krelvon::cli::is_windows_root(o.windows_root))
    return usage_error("no Windows installation in: ", o.windows_root.c_str());
  if (o.paths.empty() && !o.windows_root.empty()) o.paths.push_back(o.windows_root);
#endif
  if (o.paths.empty() && o.file_lists.empty()) {
#ifdef _WIN32
    entries.push_back({krelvon::kAllDrives, false});
#else
    entries.push_back({".", false});
#endif
  }
  for (std::size_t i = 0; i < o.paths.size() + listed.size(); ++i) {
    const bool from_list = i >= o.paths.size();
    const std::string& a = from_list ? listed[i - o.paths.size()] : o.paths[i];
    ScanEntry e;
    e.path = scan_path_of(a, &e.file, from_list);
    if (e.path.empty()) {
      // A list names what another tool found: a path it cannot scan is
      // said and passed over, not the end of the run.
      if (!from_list) return 2;
      ++g_outcome.not_examined;
      continue;
    }
    entries.push_back(e);
  }
  std::vector<std::string> scan_files;
  for (const ScanEntry& e : entries) (e.file ? scan_files : scan_paths).push_back(e.path);
  // --backup: every change the handlers make is guarded from here on.
  krelvon::cli::Backup backup;
  std::string backup_error;
  if (!o.backup.backup.empty() && !backup.open(o.backup.backup, scan_paths, scan_files, &backup_error))
    return usage_error(backup_error.c_str(), "");
  if (!o.report.empty()) {
    const std::string refusal = g_report.open(o.report, scan_paths);
    if (!refusal.empty()) return usage_error(refusal.c_str(), o.report.c_str());
  }
  krelvon::FrontEnd surface;
  surface.line = on_line;
  surface.object = on_object;
  surface.skipped = on_skipped;
  surface.restart_refused = on_restart_refused;
  if (!o.backup.backup.empty()) {
    backup.on_full(on_backup_full);
    surface.guard = &backup;
  }
#ifdef _WIN32
  // Stands for the progress window the memory phase and the RunOnce
  // cleaning look for before they report a line; it receives nothing. The
  // message pump stays, as in the program: this thread's queue holds no
  // input, so it finds nothing.
  HWND window = CreateWindowExA(0, "STATIC", krelvon::kProgramTitle, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                nullptr);
  if (!window) {
    std::fprintf(stderr, "krelvon-scan: cannot create the progress window\n");
    return 2;
  }
  g_scan.progress_window = window;
  surface.poll = krelvon::message_pump;
#endif
  g_status_line = !o.quiet && krelvon_isatty(krelvon_fileno(stderr));

  if (o.prompt) {
    g_scan.handling_prompt = 1;
    surface.ask = terminal_prompt;
  } else {
    g_scan.handling_automatic = 1;
    g_scan.action_disinfect = o.action == krelvon::kActionDisinfect;
    g_scan.action_rename = o.action == krelvon::kActionRename;
    g_scan.action_delete = o.action == krelvon::kActionDelete;
    g_scan.action_ignore = o.action == krelvon::kActionIgnore;
  }

  if (!o.exclude.empty() || !o.exclude_dir.empty()) {
    g_options = &o;
    krelvon::set_entry_filter(left_out);
  }
  if (o.format == krelvon::cli::OutputFormat::kJsonLines) {
    g_text_lines = false;
    std::fflush(stdout);
    g_report.also_to(krelvon_fileno(stdout));
  }
  krelvon::set_front_end(surface);
  install_cancel();
  krelvon::set_cancel(false);
  {
#ifdef KRELVON_READ_AHEAD
    krelvon::cli::ReadAhead read_ahead(scan_paths, o.jobs);
    g_read_ahead = o.jobs >= 2 ? &read_ahead : nullptr;
    // The examination tells of first pages the disk must serve.
    if (g_read_ahead) krelvon::set_first_page_miss_listener([] { g_read_ahead->walker_missed(); });
#endif
    bool memory_phase_done = false;
    for (const ScanEntry& e : entries) {
      if (g_scan.cancel) break;
      krelvon::copy_text(g_scan.scan_path, e.path.c_str());
      if (!e.file) {
        // A folder named is left out as one met in a walk would be.
        std::size_t name = e.path.size();
        while (name > 0 && !krelvon::cli::is_separator(e.path[name - 1])) --name;
        if (g_options && left_out(e.path.c_str(), e.path.c_str() + name, true)) continue;
        krelvon::scan_scope();
        memory_phase_done = true;
        continue;
      }
      // A file alone: the running programs are looked at once, as before
      // a walk, then the file is examined as the walk examines its files.
      if (!memory_phase_done) krelvon::memory_phase();
      memory_phase_done = true;
      krelvon::walk_file(e.path.c_str());
    }
#ifdef KRELVON_READ_AHEAD
    krelvon::set_first_page_miss_listener(nullptr);
    g_read_ahead = nullptr;  // and the readers stop here
#endif
  }
#ifdef KRELVON_RESCUE
  if (o.registry && !g_scan.cancel) {
    clear_status();
    krelvon::cli::clean_offline_registries(o.windows_root, scan_paths, g_removed_worm_files,
                                          !o.backup.backup.empty(), g_report);
  }
#endif
  krelvon::scan_summary();
  krelvon::set_change_guard(nullptr);
  if (!o.backup.backup.empty() && !backup.finish())
    std::fprintf(stderr, "krelvon-scan: the backup in %s could not be written in full; files met after that were "
                         "left unchanged\n", backup.folder().c_str());
  clear_status();
  if (g_text_lines) {
    std::printf("%s\n", g_scan.object);
    std::fflush(stdout);
  }
  g_report.statistics(g_scan.files_scanned, g_scan.files_infected, g_scan.files_disinfected,
                      g_scan.files_renamed, g_scan.files_deleted, g_scan.cancel != 0,
                      g_options ? g_excluded : -1);
  const bool report_ok = g_report.close();
#ifdef _WIN32
  g_scan.progress_window = nullptr;
  DestroyWindow(window);
#endif
  if (!report_ok) {
    std::fprintf(stderr, "krelvon-scan: writing the report failed: %s\n",
                 o.report.empty() ? "standard output" : o.report.c_str());
    g_outcome.failed = true;
  }
  g_outcome.not_examined += g_scan.entries_skipped;
  g_outcome.interrupted = g_scan.cancel != 0;
  // A file in use left for the next start of Windows ("will be deleted at
  // restart", "will be renamed at restart").
  g_outcome.restart_pending = g_scan.restart_pending;
  return krelvon::cli::exit_status(g_outcome);
}
