#include "cli/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/version.h"
#include "engine/scan_context.h"
#include "report/text.h"

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#ifdef KRELVON_RESCUE
#define KRELVON_RESCUE_USAGE                                                        \
  "  --windows-root=DIR  clean the registry of the Windows installation whose\n"   \
  "                   root (the system disk, mounted) is DIR after the scan;\n"     \
  "                   without it, of each PATH that is such a root; without\n"      \
  "                   PATH, DIR is scanned\n"                                        \
  "  --no-registry    leave the registry of scanned installations unchanged\n"
#else
#define KRELVON_RESCUE_USAGE ""
#endif
#ifdef KRELVON_READ_AHEAD
#define KRELVON_JOBS_USAGE                                                           \
  "  --jobs=N         N threads open the files the scan reaches next, and their\n"  \
  "                   first pages are read ahead (0 or 1: none; default 8); the\n"  \
  "                   scan itself and what it reports are the same for every N\n"
#else
#define KRELVON_JOBS_USAGE ""
#endif

namespace krelvon::cli {

namespace {

constexpr char kVersion[] = "krelvon-scan " KRELVON_SCAN_VERSION_TEXT " (Krelvon Ver 1.6)";
constexpr char kUsage[] =
    "usage: krelvon-scan [OPTION]... [PATH]...\n"
    "Scans each PATH (a folder, a file; on Windows also a drive such as C:)\n"
    "for W32/BugBear.Worm and its variants. Without PATH or --file-list: every\n"
    "fixed drive on Windows, the current folder elsewhere.\n"
    "\n"
    "  --action=ACTION  disinfect (default), rename, delete or ignore every finding\n"
    "  --prompt         ask on the terminal for every finding; Enter leaves the\n"
    "                   file alone, end of input or Ctrl-C ends the scan\n"
    "  --file-list=FILE scan the paths listed in FILE (- for standard input), one\n"
    "                   a line, as if each were a PATH\n"
    "  --null           the lists' paths are each ended by a NUL byte (as find\n"
    "                   -print0 writes them), so a name may hold a line feed\n"
    "  --exclude=PATTERN      leave out the files that PATTERN matches\n"
    "  --exclude-dir=PATTERN  leave out (do not enter) the folders it matches\n"
    "                   PATTERN is a glob (* ? [...]); with a separator in it,\n"
    "                   matched against the whole path as the scan names it,\n"
    "                   else against the name; each entry left out is counted\n"
    "                   in the report's statistics (\"excluded\")\n"
    "  --format=FORMAT  text (default), or jsonl: the report's JSON objects on\n"
    "                   standard output instead of the text lines\n"
    "  --report=FILE    write a JSON-lines report of findings and statistics\n"
    "                   (outside the scanned folders; only a new or empty file\n"
    "                   or an earlier report is overwritten)\n"
    "  --quiet          no status line on standard error\n"
    "  --backup=DIR     before changing a file, keep a durable copy of it in DIR\n"
    "                   (created when missing; a backup already there gets a new run)\n"
    "  --restore=DIR    scan nothing: put back the files kept in DIR, or only those\n"
    "                   at or under each PATH, and remove what renames left\n"
    "  --force          with --restore: also put back files changed since the scan\n"
    KRELVON_RESCUE_USAGE
    KRELVON_JOBS_USAGE
    "  --help           this text\n"
    "  --version        the program's version\n"
    "\n"
    "Entries that cannot be examined (no permission, gone, a path too long,\n"
    "not a regular file, a read error, a file given by a link) are named on\n"
    "standard error and in the report. Links are never followed below a PATH.\n"
    "A file an earlier run renamed (its extension starts with V) is reported\n"
    "as renamed again by --action=rename, with nothing left to do.\n"
    "\n"
    "Exit status (one code wins, in the order 2, 130, 4, 5, 3, 1, 0):\n"
    "  0    nothing found, and every entry examined\n"
    "  1    found, and every finding dealt with as chosen (disinfected,\n"
    "       renamed, deleted); every entry examined\n"
    "  2    usage or start-up error\n"
    "  3    not everything examined (an entry skipped, or interrupted after\n"
    "       something was found), and nothing left infected\n"
    "  4    found, and some finding left infected (ignored, no answer, or\n"
    "       Could not disinfect, Rename failed, Delete failed)\n"
    "  5    cleaning completes at the next restart, nothing left infected\n"
    "  130  interrupted before anything was found\n"
    "--restore: 0 every file put back or already in place, 4 a file refused\n"
    "(changed since the scan) or not put back, or a damaged manifest line, 2\n"
    "usage, DIR holds no backup or another user could write to it.\n";

bool starts_with(const char* a, const char* prefix, const char** value) {
  const std::size_t n = std::strlen(prefix);
  if (std::strncmp(a, prefix, n) != 0) return false;
  *value = a + n;
  return true;
}

bool holds_separator(const std::string& pattern) {
  for (const char c : pattern)
    if (is_separator(c)) return true;
  return false;
}

#ifdef _WIN32
char folded(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
#else
char folded(char c) { return c; }
#endif

// The set "[...]" at p (just after '[') against c: where the set ends, or
// null when it has no ']' (the '[' is then an ordinary character).
const char* set_matches(const char* p, char c, bool* matched) {
  const bool negated = *p == '!' || *p == '^';
  if (negated) ++p;
  bool hit = false;
  bool first = true;
  for (; *p != '\0' && (first || *p != ']'); ++p, first = false) {
    char low = *p;
    if (p[1] == '-' && p[2] != '\0' && p[2] != ']') {
      const char high = p[2];
      if (folded(c) >= folded(low) && folded(c) <= folded(high)) hit = true;
      p += 2;
    } else if (folded(low) == folded(c)) {
      hit = true;
    }
  }
  if (*p != ']') return nullptr;
  *matched = hit != negated;
  return p + 1;
}

}  // namespace

int usage_error(const char* message, const char* detail) {
  std::fprintf(stderr, "krelvon-scan: %s%s\nTry 'krelvon-scan --help'.\n", message, detail);
  return 2;
}

int parse(int argc, char** argv, Options& o) {
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const char* v = nullptr;
    if (options_end || a[0] != '-' || a[1] == '\0') {
      o.paths.emplace_back(a);
    } else if (std::strcmp(a, "--") == 0) {
      options_end = true;
    } else if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (std::strcmp(a, "--version") == 0) {
      std::printf("%s\n", kVersion);
      return 0;
    } else if (std::strcmp(a, "--quiet") == 0 || std::strcmp(a, "-q") == 0) {
      o.quiet = true;
    } else if (std::strcmp(a, "--prompt") == 0) {
      o.prompt = true;
    } else if (starts_with(a, "--action=", &v)) {
      if (std::strcmp(v, "disinfect") == 0) o.action = kActionDisinfect;
      else if (std::strcmp(v, "rename") == 0) o.action = kActionRename;
      else if (std::strcmp(v, "delete") == 0) o.action = kActionDelete;
      else if (std::strcmp(v, "ignore") == 0) o.action = kActionIgnore;
      else return usage_error("unknown action: ", v);
    } else if (starts_with(a, "--report=", &v) && *v != '\0') {
      o.report = v;
    } else if (starts_with(a, "--file-list=", &v)) {
      if (*v == '\0') return usage_error("--file-list needs a file (- for standard input)", "");
      o.file_lists.emplace_back(v);
    } else if (std::strcmp(a, "--null") == 0) {
      o.null_separated = true;
    } else if (starts_with(a, "--exclude=", &v)) {
      if (*v == '\0') return usage_error("--exclude needs a pattern", "");
      o.exclude.emplace_back(v);
    } else if (starts_with(a, "--exclude-dir=", &v)) {
      if (*v == '\0') return usage_error("--exclude-dir needs a pattern", "");
      o.exclude_dir.emplace_back(v);
    } else if (starts_with(a, "--format=", &v)) {
      if (std::strcmp(v, "text") == 0) o.format = OutputFormat::kText;
      else if (std::strcmp(v, "jsonl") == 0) o.format = OutputFormat::kJsonLines;
      else return usage_error("unknown format (text or jsonl): ", v);
    } else if (backup_option(a, &o.backup)) {
#ifdef KRELVON_RESCUE
    } else if (std::strcmp(a, "--no-registry") == 0) {
      o.registry = false;
    } else if (starts_with(a, "--windows-root=", &v) && *v != '\0') {
      o.windows_root = v;
#endif
#ifdef KRELVON_READ_AHEAD
    } else if (starts_with(a, "--jobs=", &v)) {
      char* end = nullptr;
      const long n = std::strtol(v, &end, 10);
      if (*v == '\0' || *end != '\0' || n < 0 || n > 64) return usage_error("--jobs takes 0 to 64: ", v);
      o.jobs = static_cast<int>(n);
#endif
    } else {
      return usage_error("unknown option: ", a);
    }
  }
  if (o.null_separated && o.file_lists.empty()) return usage_error("--null needs --file-list", "");
  int from_input = 0;
  for (const std::string& l : o.file_lists) from_input += l == "-" ? 1 : 0;
  if (from_input > 1) return usage_error("--file-list=- given more than once", "");
  if (from_input > 0 && o.prompt)
    return usage_error("--prompt reads the answers from standard input: give the list in a file", "");
  if (!o.backup.restore.empty() && (!o.file_lists.empty() || !o.exclude.empty() || !o.exclude_dir.empty() ||
                                    o.format != OutputFormat::kText))
    return usage_error("--restore takes no --file-list, --exclude, --exclude-dir or --format", "");
  return -1;
}

bool read_path_list(const std::string& source, bool null_separated, std::vector<std::string>* out,
                    std::string* error) {
  // The C runtime's descriptor calls: on Windows those every 32-bit system
  // has. Standard input keeps its mode there (text): a Windows name holds
  // neither a carriage return nor a line feed.
  const bool input = source == "-";
#ifdef _WIN32
  const int fd = input ? 0 : _open(source.c_str(), _O_RDONLY | _O_BINARY);
#else
  const int fd = input ? 0 : ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
#endif
  if (fd < 0) {
    *error = "cannot read the list " + source + ": " + std::strerror(errno);
    return false;
  }
  std::string text;
  char buffer[65536];
  int n;
#ifdef _WIN32
  while ((n = _read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  if (!input) _close(fd);
#else
  while ((n = static_cast<int>(::read(fd, buffer, sizeof buffer))) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
  if (!input) ::close(fd);
#endif
  if (n < 0) {
    *error = "cannot read the list " + source;
    return false;
  }
  const char end_of_entry = null_separated ? '\0' : '\n';
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find(end_of_entry, start);
    if (end == std::string::npos) end = text.size();
    std::string entry = text.substr(start, end - start);
    if (!null_separated && !entry.empty() && entry.back() == '\r') entry.pop_back();
    if (!entry.empty()) out->push_back(entry);
    start = end + 1;
  }
  return true;
}

bool glob_matches(const char* pattern, const char* text) {
  // Backtracking to the last '*' only: linear enough for names and paths.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*text != '\0') {
    const char* next = nullptr;
    bool one = false;
    if (*pattern == '*') {
      star = ++pattern;
      resume = text;
      continue;
    }
    if (*pattern == '?') {
      one = true;
      next = pattern + 1;
    } else if (*pattern == '[') {
      next = set_matches(pattern + 1, *text, &one);
    }
    if (next == nullptr) {  // an ordinary character (or a '[' without its ']')
#ifndef _WIN32
      if (*pattern == '\\' && pattern[1] != '\0') ++pattern;
#endif
      one = *pattern != '\0' && folded(*pattern) == folded(*text);
      next = pattern + 1;
    }
    if (one) {
      pattern = next;
      ++text;
    } else if (star) {
      pattern = star;
      text = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

bool excluded(const Options& o, const char* path, const char* name, bool folder) {
  for (const std::string& p : folder ? o.exclude_dir : o.exclude)
    if (glob_matches(p.c_str(), holds_separator(p) ? path : name)) return true;
  return false;
}

}  // namespace krelvon::cli
