// The machine-readable report of krelvon-scan: JSON lines, one object per
// finding line, one per entry that could not be examined, and one with the
// statistics, for tools that collect results.
#pragma once

#include <cstdio>
#include <string>

namespace krelvon::cli {

struct Finding {
  std::string path;
  std::string detection;
  std::string action;   // disinfect, rename, delete, ignore, terminate; "" unknown
  std::string outcome;  // the line's own outcome text
  bool ok = false;      // the action succeeded
};

// Splits a finding line ("<path>     <detection name> <outcome>", or the
// fixed system lines) into its fields; false when it is not one.
bool parse_finding(const std::string& line, Finding& out);

// Text as a JSON string, quotes included; bytes that are not UTF-8 are
// written as \u00XX (their Latin-1 reading).
std::string json_string(const std::string& text);

std::string finding_json(const std::string& line);
std::string skipped_json(const std::string& path, const std::string& reason);
std::string statistics_json(int scanned, int infected, int disinfected, int renamed, int deleted,
                            bool terminated);

class Report {
 public:
  Report() = default;
  ~Report();
  Report(const Report&) = delete;
  Report& operator=(const Report&) = delete;
  bool open(const char* path);
  // Each written at once and flushed, so an interrupted run keeps them.
  void finding(const char* line);
  void skipped(const char* path, const char* reason);
  void statistics(int scanned, int infected, int disinfected, int renamed, int deleted, bool terminated);
  // False when any write failed.
  bool close();

 private:
  void put(const std::string& json);
  std::FILE* file_ = nullptr;
  bool failed_ = false;
};

}  // namespace krelvon::cli
