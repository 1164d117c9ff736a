#include "engine/removal_log.h"

namespace krelvon {

namespace {
std::vector<RemovedWormFile> g_removed;
}

void note_worm_file_removed(const char* path, const char* new_path) {
  g_removed.push_back(RemovedWormFile{path, new_path ? new_path : ""});
}

const std::vector<RemovedWormFile>& removed_worm_files() { return g_removed; }

void clear_removed_worm_files() { g_removed.clear(); }

}  // namespace krelvon
