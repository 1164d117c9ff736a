// krelvon-scan as a process over an offline Windows installation written by
// the sample factory: the files and the registry cleaned, or the hives left
// byte for byte as they were when something stands in the way. Every hive
// is read before and after by an independent reader, regfexport.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>

#include "rescue/hive.h"
#include "tests/support.h"
#include "tools/hive_builder.h"
#include "tools/offline_install.h"
#include "tools/samples.h"

namespace fs = std::filesystem;
using krelvon::samples::Bytes;
using krelvon::samples::read_file;
using krelvon::samples::write_file;

namespace {

constexpr char kRegistryLine[] = "System Registry     W32/BugBear.Worm removed";

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string shell_quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

Outcome run(const std::string& command, const std::string& err_file) {
  Outcome r;
  FILE* p = popen((command + " 2>" + shell_quoted(err_file)).c_str(), "r");
  if (!p) return r;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) r.out.append(buffer, n);
  const int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const Bytes err = read_file(err_file);
  r.err.assign(err.begin(), err.end());
  return r;
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A hive as regfexport shows it: each key's values (name, type, size and
// data, without their index), by key path.
using Export = std::map<std::string, std::vector<std::string>>;

Export regf_export(const std::string& hive, const std::string& err_file) {
  const Outcome r = run("regfexport " + shell_quoted(hive), err_file);
  EXPECT_EQ(r.status, 0) << "regfexport refused " << hive << ":\n" << r.err;
  Export e;
  std::string key;
  std::size_t start = 0;
  for (std::size_t end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = r.out.substr(start, end - start);
    if (line.rfind("Key path: ", 0) == 0) {
      key = line.substr(10);
      e[key];
    } else if (line.rfind("Value: ", 0) == 0) {
      e[key].push_back(line.substr(line.find(' ', 7) + 1) + "\n");
    } else if (!key.empty() && !line.empty() && line.rfind("Key: ", 0) != 0 && !e[key].empty()) {
      e[key].back() += line + "\n";
    }
  }
  EXPECT_FALSE(e.empty()) << hive;
  return e;
}

class OfflineScan : public ::testing::Test {
 public:
  void SetUp() override {
    install = krelvon::samples::write_offline_installation(dir / "disk");
    ASSERT_TRUE(install.ok);
    software = read_file(install.software);
    system = read_file(install.system);
  }
  Outcome scan(const std::string& options, const std::string& prefix = "") {
    return run(prefix + shell_quoted(KRELVON_SCAN_BIN) + " --quiet --report=" + shell_quoted(report()) + " " + options,
               dir / "stderr");
  }
  std::string report() const { return dir / "report.jsonl"; }
  std::string report_text() const {
    const Bytes b = read_file(report());
    return std::string(b.begin(), b.end());
  }
  void expect_hives_unchanged() {
    EXPECT_EQ(read_file(install.software), software);
    EXPECT_EQ(read_file(install.system), system);
    for (const std::string& hive : {install.software, install.system})
      for (const char* suffix : {".krelvon-new", ".krelvon-orig"}) EXPECT_FALSE(fs::exists(hive + suffix)) << suffix;
  }
  krelvon::test::TempDir dir;
  krelvon::samples::OfflineInstallation install;
  Bytes software, system;
};

// RunOnce path and service keys of the sample installation, as regfexport
// names them.
const std::string kSoftwareRoot = "CMI-CreateHive{SOFTWARE}", kSystemRoot = "CMI-CreateHive{SYSTEM}";
const std::string kRunOnce = kSoftwareRoot + "\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

TEST_F(OfflineScan, DisinfectCleansTheFilesAndTheRegistryAndNothingElse) {
  // Logs with nothing newer than the hive, and a system that woke from
  // hibernation, stand in no one's way.
  write_file(install.software + ".LOG1", krelvon::samples::make_hive_log(software, 0));
  write_file(install.system + ".LOG2", Bytes(4096));
  Bytes woke(4096);
  std::copy_n("wake", 4, woke.begin());
  write_file(dir / "disk/hiberfil.sys", woke);
  const Export software_before = regf_export(install.software, dir / "e"),
               system_before = regf_export(install.system, dir / "e");

  const Outcome r = scan("--action=disinfect " + shell_quoted(dir / "disk"));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(fs::exists(install.worm_file));
  EXPECT_FALSE(fs::exists(install.helper_file));
  for (std::size_t i = 0; i < install.hosts.size(); ++i) EXPECT_EQ(read_file(install.hosts[i]), install.cleaned[i]);

  // The worm's RunOnce value gone, the other two there.
  Export software_expected = software_before;
  auto& runonce = software_expected[kRunOnce];
  ASSERT_EQ(runonce.size(), 3u);
  runonce.erase(runonce.begin() + 1);
  EXPECT_EQ(regf_export(install.software, dir / "e"), software_expected);
  // The worm's service keys gone from both sets; Eventlog with its Enum and
  // helper (whose ImagePath names another file) stay.
  Export system_expected = system_before;
  for (const char* set : {"ControlSet001", "ControlSet002"})
    for (const char* key : {"", "\\Enum", "\\Security"})
      EXPECT_EQ(system_expected.erase(kSystemRoot + "\\" + set + "\\Services\\wormsvc" + key), 1u) << set << key;
  EXPECT_EQ(regf_export(install.system, dir / "e"), system_expected);

  EXPECT_EQ(count(r.out, std::string(kRegistryLine) + "\n"), 7) << r.out;
  const std::string text = report_text(), config = dir / "disk/Windows/System32/config";
  const std::string tail = ",\"detection\":\"W32/BugBear.Worm\",\"line\":\"" + std::string(kRegistryLine) + "\"}";
  EXPECT_EQ(count(text, "{\"type\":\"registry\""), 7) << text;
  // Each removal has its finding object too, named by hive, key and name.
  EXPECT_EQ(count(text, "\"kind\":\"system_registry\",\"action\":\"delete\",\"outcome\":\"removed\""), 7) << text;
  EXPECT_EQ(count(text, "{\"type\":\"finding\",\"path\":\"" + dir.path() +
                            "/disk/Windows/System32/config/SOFTWARE\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\RunOnce\\\\wormsvc\""),
            1)
      << text;
  EXPECT_EQ(count(text, "{\"type\":\"registry\",\"hive\":\"" + config +
                            "/SOFTWARE\",\"key\":\"Microsoft\\\\Windows\\\\CurrentVersion\\\\RunOnce\",\"value\":"
                            "\"wormsvc\"" +
                            tail),
            1)
      << text;
  for (const char* set : {"ControlSet001", "ControlSet002"}) {
    const std::string head = "{\"type\":\"registry\",\"hive\":\"" + config + "/SYSTEM\",\"key\":\"" + set;
    for (const char* sub : {"Enum", "Security"})
      EXPECT_EQ(count(text, head + "\\\\Services\\\\wormsvc\",\"subkey\":\"" + sub + "\"" + tail), 1) << sub;
    EXPECT_EQ(count(text, head + "\\\\Services\",\"subkey\":\"wormsvc\"" + tail), 1) << set;
  }
  // The originals kept beside the hives; nothing half-written left.
  EXPECT_EQ(read_file(install.software + ".krelvon-orig"), software);
  EXPECT_EQ(read_file(install.system + ".krelvon-orig"), system);
  EXPECT_FALSE(fs::exists(install.software + ".krelvon-new"));
}

TEST_F(OfflineScan, RenameCleansTheRegistryIgnoreAndNoRegistryLeaveIt) {
  Outcome r = scan("--action=ignore " + shell_quoted(dir / "disk"));
  EXPECT_EQ(r.status, 4);  // found and left infected
  EXPECT_TRUE(fs::exists(install.worm_file));
  EXPECT_EQ(count(r.out, kRegistryLine), 0);
  expect_hives_unchanged();

  const std::string copy = dir / "copy";
  fs::copy(dir / "disk", copy, fs::copy_options::recursive);
  r = scan("--no-registry --action=delete " + shell_quoted(copy));
  EXPECT_FALSE(fs::exists(copy + "/Windows/System32/wormsvc.exe"));
  EXPECT_EQ(count(r.out, kRegistryLine), 0);
  EXPECT_EQ(read_file(copy + "/Windows/System32/config/SOFTWARE"), software);
  EXPECT_EQ(read_file(copy + "/Windows/System32/config/SYSTEM"), system);

  r = scan("--action=rename " + shell_quoted(dir / "disk"));
  EXPECT_TRUE(fs::exists(dir / "disk/Windows/System32/wormsvc.Vxe"));
  EXPECT_EQ(count(r.out, kRegistryLine), 7) << r.out << r.err;
  EXPECT_EQ(regf_export(install.software, dir / "e")[kRunOnce].size(), 2u);
}

// Operations the installation's next start will try: those on the worm
// file the scan deleted are named (both control sets), others are not, and
// the hive is cleaned as ever.
TEST_F(OfflineScan, PendingOperationsOnAWormFileAreReported) {
  using std::string_literals::operator""s;
  const std::string manager = "\\Control\\Session Manager";
  {
    krelvon::samples::HiveWriter w(install.system);
    w.text("ControlSet001" + manager, "PendingFileRenameOperations",
           "\\??\\C:\\WINDOWS\\SYSTEM32\\WORMSVC.EXE\0\0\\??\\C:\\other.tmp\0"s, 7)
        .text("ControlSet002" + manager, "PendingFileRenameOperations",
              "\\??\\C:\\Windows\\System32\\wormsvc.exe\0!\\??\\C:\\Windows\\System32\\wormsvc.old\0"s, 7);
    ASSERT_TRUE(w.commit());
  }
  // And WININIT.INI (as the 95 line's and old setups' leave it), in any
  // letter case: the worm file by its path, another file not.
  const std::string ini = dir / "disk/Windows/wininit.INI";
  const std::string lines = "[rename]\r\nNUL=C:\\OTHER.TMP\r\nNUL=C:\\WINDOWS\\System32\\WORMSVC.EXE\r\n";
  ASSERT_TRUE(write_file(ini, Bytes(lines.begin(), lines.end())));
  const Outcome r = scan("--action=delete " + shell_quoted(dir / "disk"));
  EXPECT_FALSE(fs::exists(install.worm_file));
  EXPECT_EQ(count(r.out, kRegistryLine), 7) << r.out << r.err;
  const std::string hive = install.system;
  // Paths on standard error are escaped as terminal text: '\\' doubled.
  const auto esc = [](std::string p) {
    for (std::size_t i = p.find('\\'); i != std::string::npos; i = p.find('\\', i + 2)) p.insert(i, 1, '\\');
    return p;
  };
  EXPECT_EQ(r.err, "krelvon-scan: the next start of this Windows will delete " +
                       esc("C:\\WINDOWS\\SYSTEM32\\WORMSVC.EXE") + " (" + hive +
                       ", ControlSet001)\nkrelvon-scan: the next start of this Windows will move " +
                       esc("C:\\Windows\\System32\\wormsvc.exe") + " to " + esc("C:\\Windows\\System32\\wormsvc.old") +
                       " (" + hive + ", ControlSet002)\nkrelvon-scan: the next start of this Windows will delete " +
                       esc("C:\\WINDOWS\\System32\\WORMSVC.EXE") + " (" + ini + ")\n");
  const std::string report = report_text();
  EXPECT_EQ(count(report, "\"type\":\"pending-at-restart\""), 3) << report;
  EXPECT_EQ(count(report, "{\"type\":\"pending-at-restart\",\"file\":\"" + ini +
                              "\",\"source\":\"C:\\\\WINDOWS\\\\System32\\\\WORMSVC.EXE\"}"),
            1)
      << report;
  EXPECT_NE(report.find("{\"type\":\"pending-at-restart\",\"hive\":\"" + hive + "\"" +
                        ",\"control_set\":\"ControlSet002\",\"source\":\"C:\\\\Windows\\\\System32\\\\wormsvc.exe\","
                        "\"target\":\"C:\\\\Windows\\\\System32\\\\wormsvc.old\"}"),
            std::string::npos)
      << report;
  EXPECT_EQ(report.find("other.tmp"), std::string::npos);
  EXPECT_EQ(report.find("OTHER.TMP"), std::string::npos);
  EXPECT_EQ(read_file(ini), Bytes(lines.begin(), lines.end()));  // read, never written
}

TEST_F(OfflineScan, BackupKeepsTheHivesAndRestoreGivesThemBackByteForByte) {
  const std::string backup = dir / "backup";
  const Bytes worm = read_file(install.worm_file);
  const Outcome r = scan("--action=disinfect --backup=" + shell_quoted(backup) + " " + shell_quoted(dir / "disk"));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(count(r.out, kRegistryLine), 7) << r.out;
  EXPECT_NE(read_file(install.software), software);
  EXPECT_NE(read_file(install.system), system);
  // The backup holds the hives: no original is kept beside them.
  for (const std::string& hive : {install.software, install.system})
    EXPECT_FALSE(fs::exists(hive + ".krelvon-orig")) << hive;

  const Outcome restored = run(shell_quoted(KRELVON_SCAN_BIN) + " --restore=" + shell_quoted(backup), dir / "stderr");
  EXPECT_EQ(restored.status, 0) << restored.out << restored.err;
  EXPECT_EQ(read_file(install.software), software);
  EXPECT_EQ(read_file(install.system), system);
  EXPECT_EQ(read_file(install.worm_file), worm);
  regf_export(install.software, dir / "e");
  regf_export(install.system, dir / "e");
}

TEST_F(OfflineScan, InstallationRootGivenAndNamesInAnyCase) {
  krelvon::test::TempDir other;
  krelvon::samples::OfflineNames names;
  names = {"WINNT", "system32", "CONFIG", "software", "system"};
  const auto winnt = krelvon::samples::write_offline_installation(other / "disk", names);
  ASSERT_TRUE(winnt.ok);
  // Only the system folder scanned; the root named explicitly. The second
  // set's ImagePath names C:\WINDOWS, not this installation's WINNT: that
  // service key stays.
  Outcome r = scan("--windows-root=" + shell_quoted(other / "disk") + " " + shell_quoted(other / "disk/WINNT"));
  EXPECT_FALSE(fs::exists(winnt.worm_file));
  EXPECT_EQ(count(r.out, kRegistryLine), 4) << r.out << r.err;
  const Export after = regf_export(winnt.system, dir / "e");
  EXPECT_EQ(after.count(kSystemRoot + "\\ControlSet001\\Services\\wormsvc"), 0u);
  EXPECT_EQ(after.count(kSystemRoot + "\\ControlSet002\\Services\\wormsvc\\Enum"), 1u);

  r = scan("--windows-root=" + shell_quoted(dir.path()));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no Windows installation in: " + dir.path()), std::string::npos) << r.err;

  // The 95 line: recognised, reported, not written.
  const std::string dat = dir.write("w98/WINDOWS/SYSTEM.DAT", std::string("CREG\1\0\0\0", 8));
  fs::create_directories(dir / "w98/WINDOWS/SYSTEM");
  fs::copy_file(install.worm_file, dir / "w98/WINDOWS/SYSTEM/wormsvc.exe");
  r = scan(shell_quoted(dir / "w98"));
  EXPECT_FALSE(fs::exists(dir / "w98/WINDOWS/SYSTEM/wormsvc.exe"));
  EXPECT_NE(r.err.find(dat + ": a registry of the Windows 95 line (SYSTEM.DAT) is not supported"), std::string::npos)
      << r.err;
  EXPECT_EQ(count(report_text(), "{\"type\":\"registry-refused\",\"hive\":\"" + dat + "\""), 1);
  EXPECT_EQ(read_file(dat), Bytes({'C', 'R', 'E', 'G', 1, 0, 0, 0}));
}

// Each refusal: the files are cleaned, both hives stay byte for byte as
// they were, and the reason is on standard error and in the report.
struct Refusal {
  const char* name;
  const char* message;
  // Prepares the installation; returns the command prefix the scan runs
  // under, or "skip: why".
  std::function<std::string(OfflineScan&)> prepare;
  std::function<void(OfflineScan&)> undo = [](OfflineScan&) {};
};

bool succeeds(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

const Refusal kRefusals[] = {
    {"sequence_numbers", "two sequence numbers differ (6 and 5)",
     [](OfflineScan& t) {
       for (const std::string& hive : {t.install.software, t.install.system}) {
         Bytes b = read_file(hive);
         krelvon::samples::set_hive_sequence(b, 6, 5);
         write_file(hive, b);
       }
       return std::string();
     }},
    {"log_beside_the_hive", "holds log entry 9, newer than the hive",
     [](OfflineScan& t) {
       write_file(t.install.software + ".log1", krelvon::samples::make_hive_log(t.software, 9));
       write_file(t.install.system + ".LOG", krelvon::samples::make_hive_log(t.system, 9));
       return std::string();
     }},
    {"hibernation", "Windows is hibernated",
     [](OfflineScan& t) {
       Bytes image(4096);
       std::copy_n("HIBR", 4, image.begin());
       write_file(t.dir / "disk/HIBERFIL.SYS", image);
       return std::string();
     }},
    // Another file system mounted at the config folder (here a read-only
    // bind mount): not entered, as the walker does not enter it.
    {"mount_on_config", "config is on another file system than the installation (a mount there): not entered",
     [](OfflineScan& t) {
       const std::string config = shell_quoted(t.dir / "disk/Windows/System32/config");
       const std::string prefix =
           "unshare -rm sh -c 'mount --bind \"$1\" \"$1\" && "
           "mount -o remount,bind,ro \"$1\" \"$1\" && shift && exec \"$@\"' sh " +
           config + " ";
       if (!succeeds(prefix + "true")) return std::string("skip: no user namespace for a read-only bind mount here");
       return prefix;
     }},
    {"config_is_a_link", "config is a link: not followed",
     [](OfflineScan& t) {
       const fs::path config = t.dir / "disk/Windows/System32/config";
       fs::rename(config, t.dir / "outside");
       fs::create_directory_symlink(t.dir / "outside", config);
       return std::string();
     }},
    {"hives_are_links", "the hive is a link: not followed",
     [](OfflineScan& t) {
       for (const std::string& hive : {t.install.software, t.install.system}) {
         const std::string outside = t.dir / ("outside-" + fs::path(hive).filename().string());
         fs::rename(hive, outside);
         fs::create_symlink(outside, hive);
       }
       return std::string();
     }},
    {"hibernation_file_is_a_fifo", "is not a regular file (a FIFO): not read: whether Windows is hibernated cannot be told",
     [](OfflineScan& t) {
       return mkfifo((t.dir / "disk/hiberfil.sys").c_str(), 0600) == 0 ? std::string() : std::string("skip: no FIFO");
     }},
    // A decoy beside the system folder, named as it is in another case (a
    // case-sensitive mount): which one Windows uses cannot be told.
    {"case_decoy", "holds entries whose names differ only in case (",
     [](OfflineScan& t) {
       fs::copy(t.dir / "disk/Windows", t.dir / "disk/windows", fs::copy_options::recursive);
       return std::string();
     }},
    {"unwritable_hive", "the hive cannot be written",
     [](OfflineScan& t) {
       const std::string hives = shell_quoted(t.install.software) + " " + shell_quoted(t.install.system);
       if (getuid() != 0) {
         succeeds("chmod a-w " + hives);
         return std::string();
       }
       if (!succeeds("chattr +i " + hives)) return std::string("skip: chattr +i is not supported here");
       return std::string();
     },
     [](OfflineScan& t) {
       succeeds("chattr -i " + shell_quoted(t.install.software) + " " + shell_quoted(t.install.system));
     }},
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class OfflineRefusal : public OfflineScan, public ::testing::WithParamInterface<Refusal> {};

TEST_P(OfflineRefusal, LeavesBothHivesByteIdentical) {
  const std::string prefix = GetParam().prepare(*this);
  if (prefix.rfind("skip: ", 0) == 0) GTEST_SKIP() << prefix.substr(6);
  software = read_file(install.software);
  system = read_file(install.system);
  const Outcome r = scan("--action=disinfect " + shell_quoted(dir / "disk"), prefix);
  GetParam().undo(*this);
  // Cleaned; where the refusal made the walk skip an entry too (a FIFO, a
  // mount), not everything was examined.
  EXPECT_EQ(r.status, r.err.find("krelvon-scan: skipped ") != std::string::npos ? 3 : 1) << r.err;
  EXPECT_FALSE(fs::exists(install.worm_file));
  expect_hives_unchanged();
  EXPECT_EQ(count(r.out, kRegistryLine), 0) << r.out;
  for (const std::string& hive : {install.software, install.system}) {
    EXPECT_NE(r.err.find("krelvon-scan: registry left unchanged: " + hive + ": "), std::string::npos) << r.err;
    EXPECT_EQ(count(report_text(), "{\"type\":\"registry-refused\",\"hive\":\"" + hive + "\""), 1);
  }
  EXPECT_EQ(count(r.err, GetParam().message), 2) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Refusals, OfflineRefusal, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<Refusal>& p) { return std::string(p.param.name); });

}  // namespace

namespace {

// The cells in use (their size negative) of a hive whose name is `name`:
// keys ("nk", the name 80 bytes into the cell, its length at 76) or values
// ("vk", at 24 and 4).
std::vector<std::size_t> cells_named(const Bytes& hive, const char* kind, const std::string& name) {
  const bool key = std::string(kind) == "nk";
  const std::size_t name_at = key ? 80 : 24, length_at = key ? 76 : 6;
  std::vector<std::size_t> cells;
  const std::string text(hive.begin(), hive.end());
  for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
    if (at < name_at) continue;
    const std::size_t cell = at - name_at;
    if (text.compare(cell + 4, 2, kind) == 0 && (krelvon::samples::get32(hive, cell + length_at) & 0xFFFF) == name.size() &&
        (krelvon::samples::get32(hive, cell) & 0x80000000U) != 0)
      cells.push_back(cell);
  }
  return cells;
}

bool has_line_starting(const std::string& text, const std::string& start) {
  return text.rfind(start, 0) == 0 || text.find("\n" + start) != std::string::npos;
}

TEST_F(OfflineScan, HostileHivesEndAsRefusalsWithTheirNamesEscapedAndTheScanGoesOn) {
  // SYSTEM: the worm's service keys name a class cell beyond the hive, on
  // which the hive library's writer aborts when it frees them.
  Bytes patched = system;
  const auto keys = cells_named(patched, "nk", "wormsvc");
  ASSERT_EQ(keys.size(), 2u);
  for (std::size_t cell : keys) krelvon::samples::put32(patched, cell + 52, 0x7FFFFFF0);
  write_file(install.system, patched);
  // SOFTWARE: a RunOnce value too long to be written again, whose name
  // forges a line of standard error.
  const std::string forged = "evil\nkrelvon-scan: skipped \"/etc/shadow\": permission denied";
  {
    krelvon::samples::HiveWriter w(install.software);
    w.binary("Microsoft\\Windows\\CurrentVersion\\RunOnce", forged, Bytes(20000, 'a'));
    ASSERT_TRUE(w.commit());
  }
  software = read_file(install.software);
  system = read_file(install.system);

  const Outcome r = scan("--action=delete " + shell_quoted(dir / "disk"));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("Scanning completed"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(install.worm_file));
  expect_hives_unchanged();
  EXPECT_EQ(count(r.out, kRegistryLine), 0) << r.out;
  EXPECT_NE(r.err.find("registry left unchanged: " + install.system +
                       ": the hive could not be read safely (the reader was killed by signal 6)"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("RunOnce holds a value too large to be written again (evil\\nkrelvon-scan: skipped"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(has_line_starting(r.err, "krelvon-scan: skipped \"/etc/shadow\"")) << r.err;
  EXPECT_EQ(count(report_text(), "{\"type\":\"registry-refused\""), 2) << report_text();
}

TEST_F(OfflineScan, UnknownValueTypesAreDataAndASecondRunChangesNothing) {
  // A RunOnce value whose type is no type the system defines: kept as it is.
  const auto setup = cells_named(software, "vk", "Setup");
  ASSERT_EQ(setup.size(), 1u);
  krelvon::samples::put32(software, setup[0] + 16, 0xFFFF0001);
  write_file(install.software, software);
  const Bytes worm = read_file(install.worm_file);

  Outcome r = scan("--action=delete " + shell_quoted(dir / "disk"));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(count(r.out, kRegistryLine), 7) << r.out;
  krelvon::rescue::Hive hive;
  ASSERT_TRUE(hive.open(install.software, false));
  std::vector<std::string> left;
  for (const auto& v : hive.values(hive.find(hive.root(), "Microsoft\\Windows\\CurrentVersion\\RunOnce")))
    left.push_back(v.name + ":" + std::to_string(v.type));
  EXPECT_EQ(left, (std::vector<std::string>{"Setup:4294901761", "Cleanup:2"}));
  hive.close();

  // The worm comes back as a file; its entries are gone from the registry:
  // the second run removes the file, reports no registry removal and
  // writes no hive.
  const Bytes software_after = read_file(install.software), system_after = read_file(install.system);
  write_file(install.worm_file, worm);
  r = scan("--action=delete " + shell_quoted(dir / "disk"));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_FALSE(fs::exists(install.worm_file));
  EXPECT_EQ(count(r.out, kRegistryLine), 0) << r.out;
  EXPECT_EQ(count(report_text(), "\"registry"), 0) << report_text();
  EXPECT_EQ(read_file(install.software), software_after);
  EXPECT_EQ(read_file(install.system), system_after);
  EXPECT_EQ(read_file(install.software + ".krelvon-orig"), software);
  EXPECT_FALSE(fs::exists(install.software + ".krelvon-new"));
}

TEST_F(OfflineScan, AHiveThatIsAFifoIsRefusedAndTheOtherCleaned) {
  fs::remove(install.system);
  ASSERT_EQ(mkfifo(install.system.c_str(), 0600), 0);
  const Outcome r = scan("--action=delete " + shell_quoted(dir / "disk"));
  EXPECT_EQ(r.status, 3) << r.err;  // cleaned, the FIFO not examined
  EXPECT_EQ(count(r.out, kRegistryLine), 1) << r.out;  // the RunOnce value
  EXPECT_NE(r.err.find("registry left unchanged: " + install.system + ": the hive is not a regular file (a FIFO)"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(fs::is_fifo(install.system));
  EXPECT_NE(read_file(install.software), software);
}

}  // namespace
