// The scan driver: one whole scan from the scan path of the scan context.
#pragma once

namespace krelvon {

// Memory phase, the walks of the scope, the Program Files re-walk, the
// statistics block with the not-examined line and the final status:
// scan_scope() then scan_summary(true). Returns 1.
int scan_driver();

// The memory phase and the walks of the scan path's scope with the Program
// Files re-walk; nothing for an empty scan path. A front end that scans
// several paths in one run calls this once for each and scan_summary() once.
void scan_scope();

// The statistics block (summary flag set first) and the final status,
// "Scanning completed" or "Scanning terminated", in the object buffer.
// With not_examined_line, the block ends with "Total files not examined"
// and the count of entries that could not be examined, when there are any
// (the GUI; krelvon-scan names each entry on standard error instead).
// When some file is to be deleted or renamed at the next start of Windows
// (restart_pending), the block is followed by kRestartLine.
inline constexpr char kRestartLine[] = "Restart the computer to finish the cleaning.";
void scan_summary(bool not_examined_line = false);

}  // namespace krelvon
