// The machine-readable report of krelvon-scan: JSON lines, one object per
// finding line, one per entry that could not be examined, and one with the
// statistics, for tools that collect results.
#pragma once

#include <string>
#include <vector>

#include "engine/scan_context.h"
#include "report/json.h"

namespace krelvon::cli {

// The names the report gives the kinds of object and the actions.
const char* kind_name(FindingKind kind);
const char* action_name(std::int32_t action);

// {"type":"finding","path":...,"detection":...,"kind":...,"action":...,
// "outcome":...,"ok":...[,"new_path":...][,"restart":true],"line":...}: from
// the record of a finding line, never from the line itself; the line is
// carried as it is. "restart" marks an operation left for the next start of
// Windows (new_path: where the file is to go).
std::string finding_json(const FindingRecord& finding, const std::string& line);
std::string skipped_json(const std::string& path, const std::string& reason);
// excluded: the entries --exclude and --exclude-dir left out, written as
// "excluded" after "deleted" when not negative (when such a pattern was
// given).
std::string statistics_json(int scanned, int infected, int disinfected, int renamed, int deleted,
                            bool terminated, int excluded = -1);

// Where a report may be written: never inside a folder that is scanned,
// that is when the report's folder, or any folder above it, is one of the
// scan roots, compared by volume and file number (links followed), not by
// name. `roots` are the scan paths ("!:": every fixed drive, "C:" a drive).
// An empty text when the place is fine, else why it is not.
std::string report_place_refusal(const std::string& path, const std::vector<std::string>& roots);

// The first line (without its line feed) of a file that a report may
// overwrite: one of the report's own objects. An empty file may be
// overwritten too.
bool is_report_start(const std::string& first_line);

class Report {
 public:
  Report() = default;
  ~Report();
  Report(const Report&) = delete;
  Report& operator=(const Report&) = delete;
  // Opens the report for writing, where report_place_refusal() finds the
  // place fine and never over a link, anything but a regular file, or a
  // file that is neither empty nor an earlier report (is_report_start):
  // an existing file is looked at through the descriptor that then empties
  // and writes it. An empty text on success, else why the report cannot be
  // written there.
  std::string open(const std::string& path, const std::vector<std::string>& roots);
  // Each written at once, straight to the file, so an interrupted run
  // keeps them.
  void finding(const FindingRecord& finding, const char* line);
  void skipped(const char* path, const char* reason);
  void statistics(int scanned, int infected, int disinfected, int renamed, int deleted, bool terminated,
                  int excluded = -1);
  // Every object is written to fd as well (standard output for
  // --format=jsonl), which is never closed here.
  void also_to(int fd) { also_ = fd; }
  // False when any write failed.
  bool close();
  // One object of another kind, written as it is.
  void put(const std::string& json);

 private:
  int fd_ = -1;
  int also_ = -1;
  bool failed_ = false;
};

}  // namespace krelvon::cli
