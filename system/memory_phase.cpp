#include "system/memory_phase.h"

#include "engine/scan_context.h"
#include "system/version.h"

namespace krelvon {

void memory_phase() {
  platform_line();
  g_scan.memory_phase = true;
  // The process routes of the two Windows lines are not in place yet.
  g_scan.memory_phase = false;
}

}  // namespace krelvon
