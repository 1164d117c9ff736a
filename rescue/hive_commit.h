// Writing a changed hive in place of its file without ever writing the file
// itself: a new file beside it, made durable, read back and compared, then
// renamed over the original.
#pragma once

#include <string>
#include <vector>

#include "rescue/hive.h"

namespace krelvon::rescue {

// Called with the hive's path right before the written hive replaces it
// (the original is still in place, unchanged); false stops the commit and
// nothing is replaced. With none, the original is kept beside the hive as
// NAME.krelvon-orig (a hard link, or a copy where the file system has no
// links); an older one of that name is left as it is.
using BeforeHiveChange = bool (*)(const char* hive_path);

inline constexpr char kNewHiveSuffix[] = ".krelvon-new";
inline constexpr char kOriginalHiveSuffix[] = ".krelvon-orig";

// Writes the changes made to hive (opened from path) into path +
// kNewHiveSuffix, flushes it to the disk, opens it again as a hive of its
// own and compares its inventory with expected; only when they are equal
// and the base block of the new file is clean does it replace path, and
// the folder is flushed after the rename. On any failure the new file is
// removed, path is left as it was, and error says what failed.
bool commit_hive(Hive& hive, const std::string& path, const std::vector<HiveEntry>& expected,
                 BeforeHiveChange before_change, std::string* error);

}  // namespace krelvon::rescue
