// Which file a descriptor or a path stands for: the volume and the file's
// number on it (POSIX: st_dev and st_ino; Windows: the volume serial number
// and the file index). The handlers examine a file through a descriptor and
// act on it by path afterwards; comparing the two identities right before
// acting makes sure the file acted on is the one that was examined, not one
// put at the same path in the meantime.
#pragma once

#include <cstdint>

struct KrelvonFileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
};

// The file open on fd; false when it cannot be told.
bool krelvon_file_identity(int fd, KrelvonFileIdentity* out);
// The object the path names now, never what a symbolic link or another
// reparse point leads to; false when there is none or it cannot be told.
bool krelvon_path_identity(const char* path, KrelvonFileIdentity* out);

inline bool operator==(const KrelvonFileIdentity& a, const KrelvonFileIdentity& b) {
  return a.volume == b.volume && a.index == b.index;
}
inline bool operator!=(const KrelvonFileIdentity& a, const KrelvonFileIdentity& b) { return !(a == b); }
