// The manifest of a backup folder: JSON lines, appended and never
// rewritten. The first line names the format; each run of the scanner adds
// a "run" line, and for each file it changes a "before" line (written and
// made durable with the copy before the first change) and an "after" line
// (what the scan left, once the action is over; missing when the scanner
// was stopped in between).
//
//   {"type":"krelvon-backup","version":1}
//   {"type":"run","run":"20250102T030405Z-4242","started":"2025-01-02T03:04:05Z","folders":["/data"],
//    "identities":["2049:2"]}
//   {"type":"before","run":"...","entry":1,"path":"/data/a.exe","action":"rewrite","copy":"...-1",
//    "size":81920,"sha256":"...","mode":420,"accessed":...,"modified":...,"owner":0,"group":0,
//    "volume":2049,"index":1234}
//   {"type":"after","run":"...","entry":1,"outcome":"rewritten","sha256":"..."}
//
// action: rewrite, rename (with "to") or delete. outcome: rewritten or
// unchanged (with the digest of the file left at the path), renamed (with
// "to" and the digest of the file there), deleted, or unknown (the path no
// longer names the file and it is not where a rename would have put it).
// Times: nanoseconds since 1970 on POSIX; on Windows FILETIME values, with
// "attributes" in place of "mode" and "created" in place of owner and group.
// "identities": the volume and file number of each of "folders" when the
// run began ("" where it could not be told); run lines written before they
// were kept have none.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "backup/backup_files.h"

namespace krelvon::cli::manifest {

inline constexpr char kFileName[] = "manifest.jsonl";

struct Entry {
  std::string run;
  std::int64_t number = 0;
  std::string path;    // absolute
  std::string action;  // rewrite, rename, delete
  std::string to;      // the rename target, absolute
  std::string copy;    // the copy's name in the backup folder
  std::string sha256;  // of the original
  files::Meta meta;    // of the original
  // The after part.
  bool settled = false;
  std::string outcome;
  std::string after_sha256;
  std::string after_to;
};

std::string header_line();
// A folder's identity as a run line keeps it: "volume:index".
std::string identity_text(const KrelvonFileIdentity& id);

std::string run_line(const std::string& run, const std::string& started, const std::vector<std::string>& folders,
                     const std::vector<std::string>& identities);
std::string before_line(const Entry& e);
std::string after_line(const Entry& e);

struct Run {
  std::string name;
  std::vector<std::string> folders;     // as the scan named them: real locations
  std::vector<std::string> identities;  // one per folder; empty in older run lines
};

// Lines that are no complete JSON object of ours come in two kinds. A
// scanner stopped while it appended a line leaves it cut short at the end
// of the manifest; the next run closes it with a line feed and writes its
// run line right after it. Such a line (the last one, with no line feed,
// or one right before a run line) is `cut_short`: left out, nothing of it
// was relied upon. Any other is `damaged`: it may have named a file that
// is then not restored.
struct Contents {
  bool ours = false;  // the first line names the format, or there is none
  std::vector<Run> runs;
  std::vector<Entry> entries;  // in the order of their before lines
  int damaged_lines = 0;
  int cut_short = 0;
  bool ends_with_newline = true;
  const Run* run(const std::string& name) const;
};
Contents read(const std::string& text);

// A flat JSON object of strings, numbers, booleans and arrays of strings:
// each value as text (a string unescaped, a number as written, an array as
// its strings each followed by '\0', which no file name holds). False when
// the line is not one.
using Fields = std::map<std::string, std::string>;
bool parse_object(const std::string& line, Fields* out);

}  // namespace krelvon::cli::manifest
