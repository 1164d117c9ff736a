#include "system/terminate.h"

#include "system/version.h"

namespace krelvon {

int terminate_processes_by_file(const char*) {
  const int line = platform_line();
  if (line != kPlatform95 && line != kPlatformNT) return 1;
  // Process termination on the Windows lines is not in place yet.
  return 0;
}

}  // namespace krelvon
