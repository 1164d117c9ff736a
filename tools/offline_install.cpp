#include "tools/offline_install.h"

#include <hivex.h>

#include <filesystem>
#include <utility>

#include "tools/hive_builder.h"
#include "tools/samples.h"

namespace fs = std::filesystem;

namespace krelvon::samples {

HiveWriter::HiveWriter(const std::string& path) : path_(path), h_(hivex_open(path.c_str(), HIVEX_OPEN_WRITE)) {}

HiveWriter::~HiveWriter() {
  if (h_) hivex_close(h_);
}

std::size_t HiveWriter::node(const std::string& path) {
  if (!h_) return 0;
  hive_node_h n = hivex_root(h_);
  std::size_t start = 0;
  while (n && start < path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    const std::string name = path.substr(start, end - start);
    hive_node_h child = hivex_node_get_child(h_, n, name.c_str());
    if (!child) child = hivex_node_add_child(h_, n, name.c_str());
    n = child;
    start = end + 1;
  }
  if (!n) ok_ = false;
  return n;
}

void HiveWriter::set(const std::string& path, const std::string& name, std::uint32_t type, const std::string& data) {
  const hive_node_h n = node(path);
  hive_set_value v{};
  v.key = const_cast<char*>(name.c_str());
  v.t = static_cast<hive_type>(type);
  v.len = data.size();
  v.value = const_cast<char*>(data.data());
  if (!n || hivex_node_set_value(h_, n, &v, 0) != 0) ok_ = false;
}

HiveWriter& HiveWriter::key(const std::string& path) {
  node(path);
  return *this;
}

HiveWriter& HiveWriter::text(const std::string& path, const std::string& name, const std::string& value,
                             std::uint32_t type) {
  std::string utf16;
  for (char c : value + '\0') {
    utf16 += c;
    utf16 += '\0';
  }
  set(path, name, type, utf16);
  return *this;
}

HiveWriter& HiveWriter::dword(const std::string& path, const std::string& name, std::uint32_t value) {
  const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                         static_cast<char>(value >> 24)};
  set(path, name, kRegDword, std::string(bytes, 4));
  return *this;
}

HiveWriter& HiveWriter::binary(const std::string& path, const std::string& name, const Bytes& value) {
  set(path, name, kRegBinary, std::string(value.begin(), value.end()));
  return *this;
}

bool HiveWriter::commit() { return ok() && hivex_commit(h_, path_.c_str(), 0) == 0; }

namespace {

bool write_software(const std::string& path) {
  if (!write_file(path, make_empty_hive("CMI-CreateHive{SOFTWARE}", "\\SystemRoot\\System32\\Config\\SOFTWARE")))
    return false;
  HiveWriter w(path);
  const std::string version = "Microsoft\\Windows\\CurrentVersion";
  w.text(version, "ProgramFilesDir", "C:\\Program Files")
      .text(version + "\\Run", "Tray", "C:\\WINDOWS\\System32\\tray.exe")
      .text(version + "\\RunOnce", "Setup", "\"C:\\Program Files\\Editor\\setup.exe\" /finish")
      .text(version + "\\RunOnce", "wormsvc", "C:\\WINDOWS\\SYSTEM32\\WORMSVC.EXE")
      .text(version + "\\RunOnce", "Cleanup", "%SystemRoot%\\System32\\cleanmgr.exe /autoclean", kRegExpandSz)
      .text("Microsoft\\Windows NT\\CurrentVersion", "ProductName", "Microsoft Windows XP")
      .text("Microsoft\\Windows NT\\CurrentVersion", "CurrentBuildNumber", "2600")
      .dword("Microsoft\\Windows NT\\CurrentVersion", "InstallDate", 0x3C2A9F00);
  return w.commit();
}

bool write_system(const std::string& path) {
  if (!write_file(path, make_empty_hive("CMI-CreateHive{SYSTEM}", "\\SystemRoot\\System32\\Config\\SYSTEM")))
    return false;
  HiveWriter w(path);
  w.dword("Select", "Current", 1).dword("Select", "Default", 1).dword("Select", "Failed", 0);
  w.dword("Select", "LastKnownGood", 2);
  const std::pair<const char*, const char*> sets[] = {{"ControlSet001", "%SystemRoot%\\System32\\wormsvc.exe"},
                                                      {"ControlSet002", "C:\\WINDOWS\\system32\\wormsvc.exe -service"}};
  for (const auto& [set, image_path] : sets) {
    const std::string services = std::string(set) + "\\Services";
    const std::string worm = services + "\\wormsvc";
    w.text(std::string(set) + "\\Control\\ComputerName\\ComputerName", "ComputerName", "RESCUE-TEST")
        .text(worm, "DisplayName", "Windows Service Host")
        .text(worm, "ImagePath", image_path, kRegExpandSz)
        .dword(worm, "Type", 0x10)
        .dword(worm, "Start", 2)
        .text(worm, "ObjectName", "LocalSystem")
        .text(worm + "\\Enum", "0", "Root\\LEGACY_WORMSVC\\0000")
        .dword(worm + "\\Enum", "Count", 1)
        .binary(worm + "\\Security", "Security", Bytes{1, 0, 0x14, 0x80, 0x90, 0, 0, 0, 0xA0, 0, 0, 0})
        .text(services + "\\Eventlog", "ImagePath", "%SystemRoot%\\system32\\services.exe", kRegExpandSz)
        .dword(services + "\\Eventlog", "Start", 2)
        .dword(services + "\\Eventlog\\Enum", "Count", 1)
        .text(services + "\\helper", "ImagePath", "System32\\drivers\\helper.sys", kRegExpandSz)
        .dword(services + "\\helper", "Type", 1);
  }
  return w.commit();
}

}  // namespace

OfflineInstallation write_offline_installation(const std::string& root, const OfflineNames& names) {
  OfflineInstallation out;
  out.root = root;
  const fs::path system = fs::path(root) / names.system_folder;
  const fs::path system32 = system / names.system32;
  const fs::path config = system32 / names.config;
  const fs::path programs = fs::path(root) / "Program Files";
  for (const fs::path& p : {config, system32 / "drivers", programs / "Tools", programs / "Editor", programs / "Games"})
    fs::create_directories(p);

  out.software = (config / names.software).string();
  out.system = (config / names.system).string();
  out.ok = write_software(out.software) && write_system(out.system);

  out.worm_file = (system32 / "wormsvc.exe").string();
  out.helper_file = (programs / "Tools" / "helper.dll").string();
  out.ok = write_file(out.worm_file, make_worm_file(0, worm_file_length(0))) &&
           write_file(out.helper_file, make_worm_file(1, worm_file_length(1))) &&
           write_file((system32 / "calc.exe").string(), build_pe(typical_host(3))) &&
           write_file((system32 / "drivers" / "helper.sys").string(), build_pe(typical_host(2))) && out.ok;

  int seed = 11;
  for (const char* host : {"Editor/editor.exe", "Games/game.exe"}) {
    PeLayout layout = typical_host(4);
    layout.fill_seed = static_cast<std::uint8_t>(seed++);
    const Bytes clean = build_pe(layout);
    out.hosts.push_back((programs / host).string());
    out.cleaned.push_back(with_infection_flags(clean));
    out.ok = write_file(out.hosts.back(), infect(clean)) && out.ok;
  }
  return out;
}

}  // namespace krelvon::samples
