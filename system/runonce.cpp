#include "system/runonce.h"

namespace krelvon {

// The registry cleaning is not in place yet: nothing is removed.
int clean_runonce(const char*) { return 0; }

}  // namespace krelvon
