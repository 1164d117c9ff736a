// Writing a changed hive in place of its file without ever writing the file
// itself: a new file beside it, made durable and checked, then renamed
// over the original, and only while the original is still the file that
// was read. Every name is reached through the config folder's descriptor.
#pragma once

#include <sys/stat.h>

#include <string>

#include "rescue/hive_guard.h"

namespace krelvon::rescue {

// Called with the hive's path right before the written hive replaces it
// (the original is still in place, unchanged); false stops the commit and
// nothing is replaced. With none, the original is kept beside the hive as
// NAME.krelvon-orig (a hard link, or a copy where the file system has no
// links); an older one of that name is left as it is.
using BeforeHiveChange = bool (*)(const char* hive_path);

inline constexpr char kNewHiveSuffix[] = ".krelvon-new";
inline constexpr char kOriginalHiveSuffix[] = ".krelvon-orig";

// Writes bytes (the hive as changed, checked by its reader) into
// name + kNewHiveSuffix in config (an older file of that name removed
// first, never followed), with the original's permissions, flushes it and
// checks its base block; then, only when the file at name is still the one
// read through hive_fd (device, inode, size, change and modification
// times as read_as holds them, checked right before the rename), renames
// it over name and flushes the folder. On any failure the new file is
// removed, the hive is left as it was, and error says what failed.
bool commit_hive(const Folder& config, const std::string& name, int hive_fd, const struct stat& read_as,
                 const std::string& bytes, BeforeHiveChange before_change, std::string* error);

}  // namespace krelvon::rescue
