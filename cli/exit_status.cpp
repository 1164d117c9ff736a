#include "cli/exit_status.h"

namespace krelvon::cli {

void count_finding(ScanOutcome& outcome, const FindingRecord& finding) {
  switch (finding.outcome) {
    case FindingOutcome::kRenamedEarlier: return;
    case FindingOutcome::kIgnored:
    case FindingOutcome::kNotActedOn: ++outcome.left_infected; break;
    default:
      if (!finding.ok) ++outcome.left_infected;
      break;
  }
  ++outcome.found;
}

int exit_status(const ScanOutcome& outcome) {
  if (outcome.failed) return kExitUsage;
  if (outcome.interrupted && outcome.found == 0) return kExitInterrupted;
  if (outcome.left_infected > 0) return kExitLeftInfected;
  if (outcome.restart_pending) return kExitRestartPending;
  if (outcome.not_examined > 0 || outcome.interrupted) return kExitNotAllExamined;
  if (outcome.found > 0) return kExitCleaned;
  return kExitClean;
}

}  // namespace krelvon::cli
