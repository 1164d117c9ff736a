// krelvon-scan's cleaning of the registry of Windows installations scanned
// offline, from Linux: after the file scan, for the worm files it deleted
// or renamed.
#pragma once

#include <string>
#include <vector>

namespace krelvon::cli {

class Report;

// The folder is the root of a Windows installation (either line).
bool is_windows_root(const std::string& folder);

// Cleans the registry of the installation at windows_root, or (when it is
// empty) of each scan path that is the root of one. Each removal gives the
// finding line "System Registry     W32/BugBear.Worm removed" and a report
// object {"type":"registry","hive","key","value" or "subkey",...}; each hive
// left unchanged for a reason a line on standard error and an object
// {"type":"registry-refused","hive","reason"}.
void clean_offline_registries(const std::string& windows_root, const std::vector<std::string>& scan_paths,
                              Report& report);

}  // namespace krelvon::cli
