// The registry cleaning of a Windows installation that is not running: its
// hive files, on a disk mounted on this system, are cleaned of what the
// worm files removed by the scan left there, as the online routes clean the
// registry of a running system.
#pragma once

#include <csignal>
#include <string>
#include <vector>

#include "rescue/hive_commit.h"

namespace krelvon::rescue {

struct Installation {
  std::string root;           // the folder that holds the system folder
  std::string system_folder;  // its name as on the disk ("Windows", "WINNT")
  std::string software;       // the NT line's hives (paths)
  std::string system;
  std::string system_dat;  // the 95 line's registry: not supported
  // Why the hives cannot be reached safely: a folder on the way that is a
  // link or another file system, or two entries whose names differ only in
  // case. Both hives are then refused with it.
  std::string refusal;
};

// The installation whose root is folder: <folder>/<Windows or WINNT>/
// System32/config/SOFTWARE and SYSTEM, every name matched without regard to
// case, or a 95-line one (<folder>/<Windows>/SYSTEM.DAT, system_dat set).
// False when there is neither. Each folder below the root is reached
// beneath the one above it, never through a link, on the root's file
// system; where that fails, or where two entries match one name, the
// installation is found with its refusal set.
bool find_installation(const std::string& folder, Installation* out);

struct RegistryRemoval {
  std::string hive;    // the hive file
  std::string key;     // the key, from the hive's root, '\' between names
  std::string value;   // the value removed from it, or
  std::string subkey;  // the subkey removed from it
};

struct RegistryRefusal {
  std::string hive;    // the hive (or registry) file left unchanged
  std::string reason;  // a sentence: what stands in the way, what to do
};

// An operation the installation's next start will try on a worm file: a
// PendingFileRenameOperations entry of ControlSet001 or ControlSet002.
struct PendingOperation {
  std::string hive;
  std::string control_set;  // "ControlSet001"
  std::string source;       // as the value holds it, without "\??\" ("C:\WINDOWS\x.dll")
  std::string target;       // empty: the file is to be deleted
};

struct RegistryCleaning {
  std::vector<RegistryRemoval> removed;
  std::vector<RegistryRefusal> refused;
  // Read from the SYSTEM hive, whether or not it is changed.
  std::vector<PendingOperation> pending;
};

// Cleans the installation's hives for the worm files (paths as the scan
// found them) that lie below its root; nothing when there is none.
// SOFTWARE: every value of Microsoft\Windows\CurrentVersion\RunOnce whose
// data contains, without regard to case, the file name of one of them.
// SYSTEM: in ControlSet001, ControlSet002 and the set Select\Current
// names, the service key named as a worm file without its extension, when
// its ImagePath names that file: its Enum and Security subkeys (each when
// it has no subkeys), then the key itself when no other subkey is left.
// Each hive is written only when it has something to remove and nothing
// stands in the way (hibernation, a base block or log that shows an
// unclean shutdown, a read-only mount or unwritable file, a hive that is a
// link or no regular file or larger than kLargestHive, a reader that
// failed, a hive changed since it was read); otherwise it is left byte for
// byte as it was and a refusal says why. The hive is read, planned,
// edited and checked in an isolated child (rescue/hive_isolation.h); this
// process only opens the files and commits the child's result. A 95-line
// installation is refused as not supported. The SYSTEM hive's reader also
// lists the pending operations (PendingFileRenameOperations of both control
// sets) whose source is one of the worm files. When *cancel is set the
// reader is stopped and the hives not yet done are refused.
RegistryCleaning clean_registry(const Installation& installation, const std::vector<std::string>& worm_files,
                                BeforeHiveChange before_change, const volatile std::sig_atomic_t* cancel = nullptr);

// Whether a service's ImagePath names the file whose path on the
// installation's volume is windows_path ("\WINDOWS\System32\x.exe"): with
// or without quotes and arguments, "\??\", a drive letter,
// "%SystemRoot%", "%windir%" or "\SystemRoot" standing for the system
// folder, or relative to the system folder; compared without regard to
// case.
bool image_path_names(const std::string& image_path, const std::string& system_folder, const std::string& windows_path);

}  // namespace krelvon::rescue
