#include "platform/files/folders.h"

namespace krelvon::files {

namespace {

bool is_separator(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/';
#else
  return c == '/';
#endif
}

}  // namespace

std::string parent_of(const std::string& path) {
  std::size_t end = path.size();
  while (end > 0 && !is_separator(path[end - 1])) --end;
  if (end == 0) return ".";
  std::size_t keep = end;
  while (keep > 1 && is_separator(path[keep - 1])) --keep;
#ifdef _WIN32
  if (keep == 2 && path[1] == ':') keep = 3;  // "C:\x" is in "C:\"
#endif
  return path.substr(0, keep);
}

}  // namespace krelvon::files
