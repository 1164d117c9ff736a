#include "engine/scan_context.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "engine/front_end.h"

namespace krelvon {

ScanContext g_scan;

void reset_scan_context() {
  // A new object in place: the volatile cancel flag rules out assignment.
  g_scan.~ScanContext();
  new (&g_scan) ScanContext();
}

void append_line(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_scan.line, sizeof g_scan.line, format, args);
  va_end(args);
  g_scan.finding.kind = FindingKind::kNone;
  if (front_end().line) front_end().line();
}

const char* finding_outcome_text(FindingOutcome outcome) {
  switch (outcome) {
    case FindingOutcome::kDisinfected: return "Disinfected";
    case FindingOutcome::kCouldNotDisinfect: return "Could not disinfect";
    case FindingOutcome::kRenamed:
    case FindingOutcome::kRenamedEarlier: return "renamed";
    case FindingOutcome::kRenameFailed: return "Rename failed";
    case FindingOutcome::kDeleted: return "deleted";
    case FindingOutcome::kDeleteFailed: return "Delete failed";
    case FindingOutcome::kIgnored:
    case FindingOutcome::kNotActedOn: return "not disinfected as per user's selection";
    case FindingOutcome::kRemoved: return "removed";
    case FindingOutcome::kDeleteAtRestart: return "will be deleted at restart";
    case FindingOutcome::kRenameAtRestart: return "will be renamed at restart";
  }
  return "";
}

namespace {

std::int32_t action_of(const Finding& finding) {
  switch (finding.outcome) {
    case FindingOutcome::kDisinfected:
    case FindingOutcome::kCouldNotDisinfect: return kActionDisinfect;
    case FindingOutcome::kRenamed:
    case FindingOutcome::kRenamedEarlier:
    case FindingOutcome::kRenameFailed:
    case FindingOutcome::kRenameAtRestart: return kActionRename;
    case FindingOutcome::kDeleted:
    case FindingOutcome::kDeleteFailed:
    case FindingOutcome::kDeleteAtRestart: return kActionDelete;
    case FindingOutcome::kIgnored: return kActionIgnore;
    case FindingOutcome::kNotActedOn: return kActionNone;
    case FindingOutcome::kRemoved:
      return finding.kind == FindingKind::kSystemMemory ? g_scan.memory_action : kActionDelete;
  }
  return kActionNone;
}

}  // namespace

void append_finding(const Finding& finding, const char* shown_object, const char* shown_name) {
  FindingRecord& r = g_scan.finding;
  r.kind = finding.kind;
  r.outcome = finding.outcome;
  r.action = action_of(finding);
  r.ok = finding.outcome != FindingOutcome::kCouldNotDisinfect && finding.outcome != FindingOutcome::kRenameFailed &&
         finding.outcome != FindingOutcome::kDeleteFailed;
  copy_text(r.path, finding.path);
  copy_text(r.detection, finding.detection);
  copy_text(r.new_path, finding.new_path ? finding.new_path : "");
  std::snprintf(g_scan.line, sizeof g_scan.line, "%s     %s %s", shown_object ? shown_object : finding.path,
                shown_name ? shown_name : finding.detection, finding_outcome_text(finding.outcome));
  if (front_end().line) front_end().line();
}

void notify_object() {
  if (front_end().object) front_end().object();
}

void report_skipped(const char* path, const char* reason) {
  ++g_scan.entries_skipped;
  if (front_end().skipped) front_end().skipped(path, reason);
}

void set_skip_listener(SkipListener listener) {
  FrontEnd f = front_end();
  f.skipped = listener;
  set_front_end(f);
}

void copy_text(char* destination, int capacity, const char* source) {
  if (capacity <= 0) return;
  const std::size_t len = std::strlen(source);
  const std::size_t n = len < static_cast<std::size_t>(capacity - 1) ? len : static_cast<std::size_t>(capacity - 1);
  std::memmove(destination, source, n);
  destination[n] = '\0';
}

}  // namespace krelvon
