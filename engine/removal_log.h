// The worm files this scan deleted or renamed, for the cleaning that follows
// the scan (the registry of an installation scanned offline).
#pragma once

#include <string>
#include <vector>

namespace krelvon {

struct RemovedWormFile {
  std::string path;      // as the scan found it
  std::string new_path;  // after a rename; empty when deleted
};

// Called by the worm-file handler right after it deleted (new_path null)
// or renamed a worm file.
void note_worm_file_removed(const char* path, const char* new_path);

const std::vector<RemovedWormFile>& removed_worm_files();
void clear_removed_worm_files();

}  // namespace krelvon
