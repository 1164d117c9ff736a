// krelvon-scan's backup and restore.
//
// --backup=DIR: before the scan changes a file in any way (its attributes
// for deletion, a disinfection, a rename, a delete), the file's bytes, mode
// and time stamps are copied into DIR and made durable, and the copy is
// named in DIR's manifest (backup/manifest.h), before the first change. When
// the action is over, the manifest says what the scan left. DIR is created
// when missing; a DIR that already holds a backup gets a new run appended;
// a non-empty DIR without a manifest of ours is refused, and so is a DIR
// that is, or lies inside, or holds, a scanned folder (bind mounts
// included), and a DIR that another user could write to
// (files::untrusted_folder). The run line keeps the identity of each
// scanned folder.
//
// --restore=DIR [PATH]...: puts each file of the manifest (or those at or
// under a PATH) back where it was, byte for byte with its mode and time
// stamps, newest entry first, each one through a temporary file beside it
// that is made durable and then renamed over the path. An entry is refused
// when the file at its path is neither the original nor what the scan left
// there, unless --force; and always when its path (or a rename's new name)
// does not lie below a folder its run scanned, holds "." or ".." or an
// empty name, or cannot be reached there as the scan reached it: the
// scanned folder still the one the run line names (by identity, where it
// is kept), and every folder below it reached without a link, on the same
// file system and mount. The manifest is a trusted folder's only
// (files::untrusted_folder); set-user-ID, set-group-ID and sticky bits
// come back only on a file whose before line says root owned it and whose
// copy in DIR is root's, else they are left off and the entry's line says
// so.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "backup/backup_files.h"
#include "backup/manifest.h"
#include "engine/change_guard.h"

namespace krelvon::cli {

struct BackupOptions {
  std::string backup;   // --backup=DIR
  std::string restore;  // --restore=DIR
  bool force = false;   // --force
};
// Takes argument into o when it is one of the three options.
bool backup_option(const char* argument, BackupOptions* o);
// The usage error of a combination of them, or nullptr.
const char* backup_options_misuse(const BackupOptions& o);

// Exit status of --restore when an entry was refused or could not be put
// back, or when a damaged manifest line may have named one (0: every entry
// put back or already in place; 2: usage, DIR is no backup folder or is not
// to be trusted).
inline constexpr int kRestoreIncomplete = 4;

class Backup final : public ChangeGuard {
 public:
  Backup() = default;
  Backup(const Backup&) = delete;
  Backup& operator=(const Backup&) = delete;

  // Opens or creates the backup folder for a scan of scan_folders (the
  // scanner's scan paths) and of scan_files (the files it examines alone:
  // none of them may be in the backup folder, whose copies and manifest
  // the scan would otherwise change) and starts a run in its manifest.
  // False, with the reason, when it cannot be used; nothing is changed
  // then, except a new folder that was created.
  bool open(const std::string& dir, const std::vector<std::string>& scan_folders,
            const std::vector<std::string>& scan_files, std::string* error);
  bool open(const std::string& dir, const std::vector<std::string>& scan_folders, std::string* error) {
    return open(dir, scan_folders, {}, error);
  }

  bool before_change(const char* path, ChangeKind kind, const char* new_path) override;
  void after_change(const char* path, ChangeOutcome outcome, const char* new_path) override;

  // Writes the after part of every entry still open (as found on the disk)
  // and closes the manifest. False when any part of the backup could not
  // be written during the run (changes were refused from then on).
  bool finish();

  const std::string& folder() const { return dir_; }
  // Called once, the first time a copy or a manifest line does not fit in
  // the backup folder for want of space (the change is refused, as for any
  // backup that cannot be made), with the folder.
  void on_full(void (*listener)(const std::string& folder)) { on_full_ = listener; }
  int entries() const { return static_cast<int>(tracked_.size()); }

 private:
  struct Tracked {
    std::string given;     // the path as the handler named it
    std::string given_to;  // the rename target as the handler named it
    manifest::Entry entry;
    bool open = true;
  };
  bool copy_file(const char* path, ChangeKind kind, const char* new_path, const files::Meta& now);
  void settle(Tracked& t, ChangeOutcome outcome, const char* new_path);
  void settle_open();
  bool append(const std::string& line);
  void check_full(const files::File& file);

  std::string dir_;
  std::string run_;
  files::File manifest_;
  bool broken_ = false;
  bool full_told_ = false;
  void (*on_full_)(const std::string&) = nullptr;
  std::int64_t next_ = 1;
  std::vector<Tracked> tracked_;
};

// --restore: one line per entry on out ("restored", "in place", "refused",
// "failed") and a count at the end; usage errors on err. Returns the exit
// status.
int restore(const std::string& dir, const std::vector<std::string>& paths, bool force, std::FILE* out,
            std::FILE* err);

}  // namespace krelvon::cli
