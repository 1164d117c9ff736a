// The scan driver: one whole scan from the scan path of the scan context.
#pragma once

namespace krelvon {

// Memory phase, the walks of the scope, the Program Files re-walk, the
// statistics block and the final status: scan_scope() then scan_summary().
// Returns 1.
int scan_driver();

// The memory phase and the walks of the scan path's scope with the Program
// Files re-walk; nothing for an empty scan path. A front end that scans
// several paths in one run calls this once for each and scan_summary() once.
void scan_scope();

// The statistics block (summary flag set first) and the final status,
// "Scanning completed" or "Scanning terminated", in the object buffer.
void scan_summary();

}  // namespace krelvon
