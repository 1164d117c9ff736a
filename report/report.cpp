#include "report/report.h"

#include "report/text.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#define krelvon_write _write
#define krelvon_close _close
#else
#include <unistd.h>
#define krelvon_write ::write
#define krelvon_close ::close
#endif

namespace krelvon::cli {

const char* kind_name(FindingKind kind) {
  switch (kind) {
    case FindingKind::kWormFile: return "worm_file";
    case FindingKind::kInfectedFile: return "infected_file";
    case FindingKind::kSystemMemory: return "system_memory";
    case FindingKind::kSystemRegistry: return "system_registry";
    case FindingKind::kNone: break;
  }
  return "none";
}

const char* action_name(std::int32_t action) {
  switch (action) {
    case kActionDisinfect: return "disinfect";
    case kActionRename: return "rename";
    case kActionDelete: return "delete";
    case kActionIgnore: return "ignore";
    default: return "none";
  }
}

std::string finding_json(const FindingRecord& finding, const std::string& line) {
  JsonObject json("finding");
  json.text("path", finding.path)
      .text("detection", finding.detection)
      .text("kind", kind_name(finding.kind))
      .text("action", action_name(finding.action))
      .text("outcome", finding_outcome_text(finding.outcome))
      .truth("ok", finding.ok);
  if (finding.new_path[0] != '\0') json.text("new_path", finding.new_path);
  // The file was at its rename target already: nothing was done this run.
  if (finding.outcome == FindingOutcome::kRenamedEarlier) json.truth("renamed_earlier", true);
  // The file goes (or moves to new_path) at the next start of Windows.
  if (finding.outcome == FindingOutcome::kDeleteAtRestart || finding.outcome == FindingOutcome::kRenameAtRestart)
    json.truth("restart", true);
  return json.text("line", line).done();
}

std::string skipped_json(const std::string& path, const std::string& reason) {
  return JsonObject("skipped").text("path", path).text("reason", reason).done();
}

std::string statistics_json(int scanned, int infected, int disinfected, int renamed, int deleted,
                            bool terminated, int excluded) {
  JsonObject json("statistics");
  json.number("scanned", scanned)
      .number("infected", infected)
      .number("disinfected", disinfected)
      .number("renamed", renamed)
      .number("deleted", deleted);
  if (excluded >= 0) json.number("excluded", excluded);
  return json.text("status", terminated ? "terminated" : "completed").done();
}

bool is_report_start(const std::string& first_line) {
  for (const char* type : {"finding", "statistics", "skipped"}) {
    const std::string start = std::string("{\"type\":\"") + type + "\"";
    if (first_line.compare(0, start.size(), start) == 0 && first_line.back() == '}') return true;
  }
  return false;
}

Report::~Report() { close(); }

void Report::put(const std::string& object) {
  const std::string json = object + '\n';
  for (const int fd : {fd_, also_}) {
    if (fd < 0) continue;
    for (std::size_t done = 0; done < json.size();) {
      const auto n = krelvon_write(fd, json.data() + done, static_cast<unsigned>(json.size() - done));
      if (n <= 0) {
        failed_ = true;
        break;
      }
      done += static_cast<std::size_t>(n);
    }
  }
}

void Report::finding(const FindingRecord& finding, const char* line) { put(finding_json(finding, line)); }

void Report::skipped(const char* path, const char* reason) { put(skipped_json(path, reason)); }

void Report::statistics(int scanned, int infected, int disinfected, int renamed, int deleted, bool terminated,
                        int excluded) {
  put(statistics_json(scanned, infected, disinfected, renamed, deleted, terminated, excluded));
}

bool Report::close() {
  if (fd_ < 0) return !failed_;
  if (krelvon_close(fd_) != 0) failed_ = true;
  fd_ = -1;
  return !failed_;
}

}  // namespace krelvon::cli
