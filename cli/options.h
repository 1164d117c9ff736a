// krelvon-scan's command line: the options, the usage text, the lists of
// paths (--file-list) and the patterns that leave entries out (--exclude,
// --exclude-dir).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "backup/backup.h"
#include "engine/scan_context.h"

namespace krelvon::cli {

enum class OutputFormat { kText, kJsonLines };

struct Options {
  int action = krelvon::kActionDisinfect;
  bool prompt = false;
  bool quiet = false;
  std::string report;
  std::vector<std::string> paths;       // PATH arguments
  std::vector<std::string> file_lists;  // --file-list=FILE, "-" for standard input
  bool null_separated = false;          // --null
  std::vector<std::string> exclude;      // --exclude=PATTERN: files
  std::vector<std::string> exclude_dir;  // --exclude-dir=PATTERN: folders
  OutputFormat format = OutputFormat::kText;
  BackupOptions backup;
  bool registry = true;
  std::string windows_root;
  int jobs = 8;
};

// "krelvon-scan: MESSAGEDETAIL" and the hint to --help on standard error;
// returns 2.
int usage_error(const char* message, const char* detail);

// Takes the command line into o. Returns -1 to go on, otherwise the exit
// status (--help and --version print here and give 0; a usage error 2).
int parse(int argc, char** argv, Options& o);

// Appends the paths of a list to out: one a line (a line feed ends it; a
// carriage return before it is dropped), or with null_separated each ended
// by a NUL byte, so that a name may hold a line feed; empty entries are
// passed over. source is a file name or "-" for standard input. False, with
// the reason, when the list cannot be read.
bool read_path_list(const std::string& source, bool null_separated, std::vector<std::string>* out,
                    std::string* error);

// A glob pattern matched against a whole text: '*' any run of characters
// (separators included), '?' one character, "[...]" one of a set (ranges
// "a-z"; "!" or "^" first: none of them). On POSIX '\' takes the next
// character as it is; on Windows it is a separator and letter case is
// ignored.
bool glob_matches(const char* pattern, const char* text);

// Whether an entry is left out: a file by the --exclude patterns, a folder
// by the --exclude-dir patterns. A pattern that holds a separator is matched
// against the entry's path as the scan names it, any other against its name.
bool excluded(const Options& o, const char* path, const char* name, bool folder);

}  // namespace krelvon::cli
