// The offline registry cleaning's parts on hives of the sample factory: the
// rules of what is removed, the checks before a hive is written, and the
// commit that replaces a hive only with what was meant.
#include <algorithm>
#include <filesystem>

#include "rescue/hive_guard.h"
#include "rescue/offline_registry.h"
#include "tests/support.h"
#include "tools/hive_builder.h"
#include "tools/offline_install.h"

namespace fs = std::filesystem;
using krelvon::samples::Bytes;
using krelvon::samples::HiveWriter;
using krelvon::samples::put32;
using krelvon::samples::read_file;
using krelvon::samples::write_file;
namespace rescue = krelvon::rescue;

namespace {

TEST(ImagePath, NamesTheWormFileInEveryFormTheSystemReads) {
  const std::string worm = "\\Windows\\System32\\wormsvc.exe";
  for (const char* names : {"%SystemRoot%\\System32\\wormsvc.exe", "%windir%\\system32\\WORMSVC.EXE",
                            "C:\\Windows\\System32\\wormsvc.exe -k run", "\"D:\\WINDOWS\\system32\\wormsvc.exe\" /x",
                            "\\??\\C:\\Windows\\System32\\wormsvc.exe", "\\SystemRoot\\System32\\wormsvc.exe",
                            "System32\\wormsvc.exe", "  C:/Windows//System32/wormsvc.exe  "})
    EXPECT_TRUE(rescue::image_path_names(names, "Windows", worm)) << names;
  for (const char* other : {"%SystemRoot%\\System32\\wormsvc.exe.bak", "C:\\Windows\\wormsvc.exe",
                            "C:\\WINNT\\System32\\wormsvc.exe", "\"C:\\Windows\\System32\\wormsvc\".exe",
                            "C:\\Program Files\\Windows\\System32\\wormsvc.exe", "wormsvc.exe", ""})
    EXPECT_FALSE(rescue::image_path_names(other, "Windows", worm)) << other;
  EXPECT_TRUE(rescue::image_path_names("C:\\Program Files\\Tool Box\\helper.exe -s", "Windows",
                                       "\\Program Files\\Tool Box\\helper.exe"));
}

class RescueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install = krelvon::samples::write_offline_installation(dir / "disk");
    ASSERT_TRUE(install.ok);
    ASSERT_TRUE(rescue::find_installation(dir / "disk", &found));
  }
  krelvon::test::TempDir dir;
  krelvon::samples::OfflineInstallation install;
  rescue::Installation found;
};

TEST_F(RescueTest, RemovesWhatTheWormFilesLeftAndOnlyThat) {
  const std::string services3 = "ControlSet003\\Services\\";
  HiveWriter system(install.system);
  system.dword("Select", "Current", 3)
      .text(services3 + "wormsvc", "ImagePath", "system32\\wormsvc.exe")
      .dword(services3 + "wormsvc\\Enum\\Root", "Count", 1)  // Enum has a subkey: it stays, and the key
      .dword(services3 + "wormsvc\\Security", "Count", 1)
      .dword("ControlSet002\\Services\\wormsvc\\Parameters", "Count", 1);  // another subkey: the key stays
  ASSERT_TRUE(system.commit());
  HiveWriter software(install.software);
  const std::string runonce = "Microsoft\\Windows\\CurrentVersion\\RunOnce";
  software.text(runonce, "again", "rundll32 c:\\temp\\wormsvc.exe,Start")
      .text(runonce, "ignored", "C:\\Program Files\\Editor\\editor.exe");  // a file not removed by the scan
  ASSERT_TRUE(software.commit());

  // A worm file outside the installation counts for nothing in it (its
  // folder's name as long as the root's, "disk").
  const std::string outside = dir.write("else/editor.exe", "x");
  const auto result = rescue::clean_registry(found, {install.worm_file, outside}, nullptr);
  EXPECT_TRUE(result.refused.empty());
  std::vector<std::string> removed;
  for (const auto& r : result.removed)
    removed.push_back(r.hive.substr(r.hive.rfind('/') + 1) + ": " + r.key + " / " + r.value + r.subkey);
  EXPECT_EQ(removed, (std::vector<std::string>{
                         "SOFTWARE: Microsoft\\Windows\\CurrentVersion\\RunOnce / wormsvc",
                         "SOFTWARE: Microsoft\\Windows\\CurrentVersion\\RunOnce / again",
                         "SYSTEM: ControlSet001\\Services\\wormsvc / Enum",
                         "SYSTEM: ControlSet001\\Services\\wormsvc / Security",
                         "SYSTEM: ControlSet001\\Services / wormsvc",
                         "SYSTEM: ControlSet002\\Services\\wormsvc / Enum",
                         "SYSTEM: ControlSet002\\Services\\wormsvc / Security",
                         "SYSTEM: ControlSet003\\Services\\wormsvc / Security",
                     }));
  rescue::Hive hive;
  ASSERT_TRUE(hive.open(install.system, false));
  EXPECT_NE(hive.find(hive.root(), "ControlSet002\\Services\\wormsvc\\Parameters"), 0u);
  EXPECT_NE(hive.find(hive.root(), "ControlSet003\\Services\\wormsvc\\Enum\\Root"), 0u);
  ASSERT_TRUE(hive.open(install.software, false));
  std::vector<std::string> left;
  for (const auto& v : hive.values(hive.find(hive.root(), runonce))) left.push_back(v.name);
  EXPECT_EQ(left, (std::vector<std::string>{"Setup", "Cleanup", "ignored"}));
}

TEST_F(RescueTest, LogsAndHibernationFilesStandInTheWayOnlyWhenTheyHoldAState) {
  rescue::BaseBlock base;
  ASSERT_EQ(rescue::base_block_refusal(install.software, &base), "");
  const Bytes hive = read_file(install.software);
  const std::string log = install.software + ".LOG2";
  const auto log_says = [&](const Bytes& bytes) {
    write_file(log, bytes);
    return rescue::log_refusal(install.software, base);
  };
  EXPECT_EQ(log_says({}), "");
  EXPECT_EQ(log_says(Bytes(8192)), "");
  EXPECT_EQ(log_says(krelvon::samples::make_hive_log(hive, base.secondary_sequence - 1)), "");
  EXPECT_NE(log_says(krelvon::samples::make_hive_log(hive, base.secondary_sequence)), "");
  EXPECT_NE(log_says(Bytes{'x'}), "");
  Bytes old_format = hive;  // old format: its own base block numbered past the hive
  old_format.resize(1024);
  put32(old_format, 28, 1);
  krelvon::samples::set_hive_sequence(old_format, base.primary_sequence + 1, base.secondary_sequence + 1);
  EXPECT_NE(log_says(old_format), "");
  krelvon::samples::set_hive_sequence(old_format, base.primary_sequence, base.secondary_sequence);
  EXPECT_EQ(log_says(old_format), "");

  // The hibernation file is looked for in the root and above it.
  const std::string root = dir / "disk/Windows";
  const auto hibernation_says = [&](const std::string& signature) {
    Bytes header(signature.begin(), signature.end());
    header.resize(signature.size() < 4 ? signature.size() : 4096);
    write_file(dir / "disk/hiberfil.sys", header);
    return rescue::hibernation_refusal(root);
  };
  for (const char* hibernated : {"hibr", "HIBR", "RSTR", "HORM", "hi"}) EXPECT_NE(hibernation_says(hibernated), "");
  for (const std::string& not_hibernated :
       {std::string("wake"), std::string("WAKE"), std::string(4, '\0'), std::string()})
    EXPECT_EQ(hibernation_says(not_hibernated), "") << not_hibernated;
}

bool g_callback_saw_original = false;
Bytes g_original;
std::string g_hive_path;
bool record_and(bool answer) {
  g_callback_saw_original = read_file(g_hive_path) == g_original;
  return answer;
}

TEST_F(RescueTest, CommitReplacesTheHiveOnlyWithWhatWasMeant) {
  g_hive_path = install.system;
  g_original = read_file(install.system);
  rescue::Hive hive;
  ASSERT_TRUE(hive.open(install.system, true));
  std::vector<rescue::HiveEntry> before;
  ASSERT_TRUE(hive.inventory(&before));
  ASSERT_TRUE(hive.remove_key(hive.find(hive.root(), "ControlSet001\\Services\\Eventlog\\Enum")));
  std::vector<rescue::HiveEntry> meant = before;
  meant.erase(
      std::remove_if(meant.begin(), meant.end(),
                     [](const rescue::HiveEntry& e) { return e.key == "ControlSet001\\Services\\Eventlog\\Enum"; }),
      meant.end());
  std::string error;
  const auto nothing_written = [&] {
    EXPECT_EQ(read_file(install.system), g_original);
    EXPECT_FALSE(fs::exists(install.system + rescue::kNewHiveSuffix));
    EXPECT_FALSE(fs::exists(install.system + rescue::kOriginalHiveSuffix));
  };
  // What was written is not what was meant: the key left in the list.
  EXPECT_FALSE(rescue::commit_hive(hive, install.system, before, nullptr, &error));
  EXPECT_NE(error.find("not what was meant"), std::string::npos) << error;
  nothing_written();
  EXPECT_FALSE(rescue::commit_hive(
      hive, install.system, meant, [](const char*) { return record_and(false); }, &error));
  EXPECT_TRUE(g_callback_saw_original);
  nothing_written();

  g_callback_saw_original = false;
  EXPECT_TRUE(rescue::commit_hive(
      hive, install.system, meant, [](const char*) { return record_and(true); }, &error))
      << error;
  EXPECT_TRUE(g_callback_saw_original);
  EXPECT_NE(read_file(install.system), g_original);
  EXPECT_FALSE(fs::exists(install.system + rescue::kOriginalHiveSuffix));  // the callback keeps it
  rescue::BaseBlock base;
  EXPECT_EQ(rescue::base_block_refusal(install.system, &base), "");
  rescue::Hive check;
  std::vector<rescue::HiveEntry> after;
  ASSERT_TRUE(check.open(install.system, false) && check.inventory(&after));
  EXPECT_EQ(after, meant);
}

}  // namespace
