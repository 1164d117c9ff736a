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
// empty) of each scan path that is the root of one, of the entries that
// start worm_files (the worm files the scan deleted or renamed, by the
// paths it found them at). With backup, each hive goes into the backup of
// the change guard before it is replaced; without, the original is kept
// beside it. Each removal gives the
// finding line "System Registry     W32/BugBear.Worm removed" with its
// finding object (kind "system_registry", path HIVE\KEY\NAME), and a report
// object {"type":"registry","hive","key","value" or "subkey",...}; each hive
// left unchanged for a reason a line on standard error (hive and reason
// escaped as paths are) and an object {"type":"registry-refused","hive",
// "reason"}. SIGINT or SIGTERM stops the hive being read.
void clean_offline_registries(const std::string& windows_root, const std::vector<std::string>& scan_paths,
                              const std::vector<std::string>& worm_files, bool backup, Report& report);

}  // namespace krelvon::cli
