#include "platform/files/restart.h"

namespace krelvon::files {

// Off Windows no program runs from the scanned files (a mounted
// installation is not running), so a failed delete or move never waits for
// a start, and nothing would carry the operation out at one.
bool in_use_error(DWORD) { return false; }

bool schedule_at_restart(const char*, const char*, std::string* why) {
  *why = "nothing carries out operations at a start of this system";
  return false;
}

}  // namespace krelvon::files
