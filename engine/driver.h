// The scan driver: one whole scan from the scan path of the scan context.
#pragma once

namespace krelvon {

// Memory phase, the walks of the scope, the Program Files re-walk, the
// statistics block and the final status. Returns 1.
int scan_driver();

}  // namespace krelvon
