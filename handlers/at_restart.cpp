#include "handlers/at_restart.h"

#include <string>

#include "engine/change_guard.h"
#include "engine/front_end.h"
#include "platform/files/restart.h"
#ifdef KRELVON_FAULT_INJECTION
#include "platform/faults.h"
#endif

namespace krelvon {

namespace {

bool schedule(const char* path, const char* new_path, std::string* why) {
#ifdef KRELVON_FAULT_INJECTION
  // The tests' stand-in for a user without the right to schedule.
  if (faults::fail_now(faults::Call::kScheduleAtRestart)) {
    *why = "no right to write the Session Manager's pending operations: run as an administrator (error 5)";
    return false;
  }
#endif
  return files::schedule_at_restart(path, new_path, why);
}

}  // namespace

bool schedule_for_restart(FindingKind kind, const char* detection_name, const char* path, const char* new_path,
                          DWORD error, const ExaminedFile& examined) {
  if (!files::in_use_error(error) || !examined.at(path)) return false;
  // The change happens when no Krelvon runs: the copy is made now.
  if (!before_change(path, new_path ? ChangeKind::kRename : ChangeKind::kDelete, new_path)) return false;
  std::string why;
  if (!schedule(path, new_path, &why)) {
    if (front_end().restart_refused) front_end().restart_refused(path, why.c_str());
    return false;
  }
  g_scan.restart_pending = true;
  append_finding({kind, new_path ? FindingOutcome::kRenameAtRestart : FindingOutcome::kDeleteAtRestart, path,
                  detection_name, new_path});
  return true;
}

}  // namespace krelvon
