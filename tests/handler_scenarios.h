// The handler runs that the failure sweep and the changed-file tests go
// through: each action that changes a file, on an infected host and on a
// worm file, with automatic handling.
#pragma once

#include <string>

#include "engine/scan_context.h"
#include "engine/walker.h"
#include "handlers/infected_file.h"
#include "handlers/worm_file.h"

namespace krelvon::test {

struct Scenario {
  const char* name;
  int action;
  bool worm_file;  // the worm's own file, else an infected host
};

inline constexpr Scenario kScenarios[] = {
    {"infected host, Disinfect", kActionDisinfect, false},
    {"infected host, Rename", kActionRename, false},
    {"infected host, Delete", kActionDelete, false},
    {"worm file, Rename", kActionRename, true},
    {"worm file, Delete", kActionDelete, true},
};

inline bool ends_with(const std::string& a, const std::string& b) {
  return a.size() >= b.size() && a.compare(a.size() - b.size(), b.size(), b) == 0;
}

// The line reports a completed action.
inline bool claims_success(const std::string& line) {
  return ends_with(line, " Disinfected") || ends_with(line, " renamed") || ends_with(line, " deleted");
}

// Automatic handling with one action.
inline void automatic(int action) {
  g_scan.handling_automatic = 1;
  g_scan.action_disinfect = action == kActionDisinfect;
  g_scan.action_rename = action == kActionRename;
  g_scan.action_delete = action == kActionDelete;
  g_scan.action_ignore = action == kActionIgnore;
}

// Automatic handling with the scenario's action, then the threat table on
// path, as the walker runs it: both handlers look at the file through one
// opening of it, the worm-file handler first.
inline void run_scenario(const Scenario& sc, const std::string& path) {
  automatic(sc.action);
  set_threat_table(nullptr);
  run_threat_table(path.c_str());
}

}  // namespace krelvon::test
