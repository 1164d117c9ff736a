// The sample factory's offline Windows installation: the folders, hives and
// files of a system the worm ran on, as a disk taken from it and mounted on
// Linux shows them. The hives start as empty hives of our own writer; keys
// and values are added through libhivex (Linux only).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/pe_builder.h"

struct hive_h;

namespace krelvon::samples {

inline constexpr std::uint32_t kRegSz = 1, kRegExpandSz = 2, kRegBinary = 3, kRegDword = 4;

// Keys and values added to a hive file through libhivex, written back to
// the same file by commit().
class HiveWriter {
 public:
  explicit HiveWriter(const std::string& path);
  ~HiveWriter();
  HiveWriter(const HiveWriter&) = delete;
  HiveWriter& operator=(const HiveWriter&) = delete;
  bool ok() const { return h_ != nullptr && ok_; }

  // The key at path (names separated by '\'), made with the keys above it
  // where they are missing.
  HiveWriter& key(const std::string& path);
  // Values of the key at path, made where missing: text is written as
  // UTF-16LE with its terminator.
  HiveWriter& text(const std::string& path, const std::string& name, const std::string& value,
                   std::uint32_t type = kRegSz);
  HiveWriter& dword(const std::string& path, const std::string& name, std::uint32_t value);
  HiveWriter& binary(const std::string& path, const std::string& name, const Bytes& value);
  bool commit();

 private:
  std::size_t node(const std::string& path);
  void set(const std::string& path, const std::string& name, std::uint32_t type, const std::string& data);
  std::string path_;
  hive_h* h_ = nullptr;
  bool ok_ = true;
};

// How the installation spells its folders and hives: a mounted NTFS volume
// shows the names as Windows wrote them, in any case.
struct OfflineNames {
  std::string system_folder = "Windows";
  std::string system32 = "System32";
  std::string config = "config";
  std::string software = "SOFTWARE";
  std::string system = "SYSTEM";
};

struct OfflineInstallation {
  bool ok = false;  // every file written
  std::string root;
  std::string software;  // the hives
  std::string system;
  // The worm's program in the system folder: named in RunOnce and
  // registered as the service "wormsvc" in both control sets.
  std::string worm_file;
  // The worm's helper under Program Files: a service "helper" exists, but
  // its ImagePath names a driver of the system folder, not this file.
  std::string helper_file;
  std::vector<std::string> hosts;  // infected programs under Program Files
  std::vector<Bytes> cleaned;      // what each host equals once disinfected
};

// Writes the installation below root. SOFTWARE: RunOnce with the worm's
// value ("C:\WINDOWS\SYSTEM32\WORMSVC.EXE") and two others, Run, Windows
// NT\CurrentVersion. SYSTEM: Select (Current 1, LastKnownGood 2),
// ControlSet001 and ControlSet002 each with the services wormsvc (ImagePath
// naming the worm file, subkeys Enum and Security), Eventlog (with Enum)
// and helper, and a computer name.
OfflineInstallation write_offline_installation(const std::string& root, const OfflineNames& names = {});

}  // namespace krelvon::samples
