// The exit status of a scan by krelvon-scan: one code a deployment tool can
// act on alone. --restore has codes of its own (backup/backup.h).
//
//   0   nothing found, and every entry examined
//   1   found, and every finding dealt with as chosen (disinfected, renamed,
//       deleted; the "System Memory" and "System Registry" lines count as
//       dealt with); every entry examined
//   2   usage or start-up error (or the report could not be written)
//   3   not everything examined (an entry skipped, or the scan interrupted
//       after something was found), nothing left infected, no restart
//       pending
//   4   found, and some finding left infected: Ignore chosen, no answer at
//       the prompt, or a failed action ("Could not disinfect", "Rename
//       failed", "Delete failed")
//   5   cleaning completes at the next restart: a file is to be deleted or
//       renamed when Windows next starts, and nothing left infected
//   130 interrupted before anything was found
//
// One code wins, in the order 2, 130, 4, 5, 3, 1, 0.
#pragma once

#include "engine/scan_context.h"

namespace krelvon::cli {

enum ExitStatus : int {
  kExitClean = 0,
  kExitCleaned = 1,
  kExitUsage = 2,
  kExitNotAllExamined = 3,
  kExitLeftInfected = 4,
  kExitRestartPending = 5,
  kExitInterrupted = 130,
};

// What a scan came to, filled by the front end from the findings it sees.
struct ScanOutcome {
  int found = 0;                 // findings with something to do
  int left_infected = 0;         // of them, left infected
  bool restart_pending = false;  // a change waits for the next restart
  int not_examined = 0;          // entries that could not be examined
  bool interrupted = false;      // the scan was ended before its end
  bool failed = false;           // a start-up error, or the report failed
};

// Counts one finding line: a file already renamed by an earlier run is no
// finding with something to do; a line without success, and one where the
// file was left as it is (Ignore, no answer), leaves it infected.
void count_finding(ScanOutcome& outcome, const FindingRecord& finding);

int exit_status(const ScanOutcome& outcome);

}  // namespace krelvon::cli
