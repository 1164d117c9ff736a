// The driver's drive scopes on real drives: "C:" and all drives, with the
// skips and the Program Files re-walk. Windows only; run under Wine in a
// prefix of their own (tests/CMakeLists.txt), whose drives are C: (the
// prefix's own), Q: (a folder of the build) and R: (a CD-ROM drive on a
// folder); no Z:. A recording table stands for the handlers, so a walk of
// the whole C: drive only lists it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "engine/driver.h"
#include "engine/walker.h"
#include "tests/support.h"

using krelvon::g_scan;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> g_walked;

int recording_handler(const char*, const char* path, krelvon::Examination&) {
  // The memory phase passes the programs of running processes: only the
  // walks of the scope count here.
  if (!g_scan.memory_phase) g_walked.emplace_back(path);
  return 0;
}
const krelvon::ThreatEntry kRecordingTable[] = {{"W32/BugBear.B.Worm", &recording_handler}, {nullptr, nullptr}};

const char kInProgramFiles[] = "C:\\Program Files\\krelvon-drives-test\\app.exe";
const char kOnC[] = "C:\\krelvon-drives-test\\c.txt";
const char kOnQ[] = "Q:\\krelvon-drives-test\\q.txt";
// A Program Files folder whose name differs in case: _access finds it (the
// file system ignores case), but the seen test compares case-sensitively.
const char kQProgramFilesFolder[] = "Q:\\program files";
const char kInQProgramFiles[] = "Q:\\program files\\tool.exe";
const char kInQProgramFilesRewalk[] = "Q:\\Program Files\\tool.exe";

void write(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << "x";
}

class DrivesTest : public krelvon::test::ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    if (GetDriveTypeA("C:\\") != DRIVE_FIXED || GetDriveTypeA("Q:\\") != DRIVE_FIXED)
      GTEST_SKIP() << "drives C: and Q: are not both fixed in this prefix";
    g_walked.clear();
    krelvon::set_threat_table(kRecordingTable);
    g_scan.program_files_pending = 0;
    g_scan.program_files_seen = 0;
    cleanup();
    write(kInProgramFiles);
    write(kOnC);
    write(kOnQ);
  }
  void TearDown() override {
    krelvon::set_threat_table(nullptr);
    cleanup();
    ScanTest::TearDown();
  }
  static void cleanup() {
    std::error_code ec;
    for (const char* p : {"C:\\Program Files\\krelvon-drives-test", "C:\\krelvon-drives-test",
                          "Q:\\krelvon-drives-test", kQProgramFilesFolder})
      fs::remove_all(p, ec);
  }
  int times_walked(const std::string& path) const {
    return static_cast<int>(std::count(g_walked.begin(), g_walked.end(), path));
  }
  std::set<char> drives_walked() const {
    std::set<char> letters;
    for (const std::string& p : g_walked) letters.insert(p.empty() ? '?' : p[0]);
    return letters;
  }
  void scan(const char* scan_path) {
    krelvon::copy_text(g_scan.scan_path, scan_path);
    krelvon::scan_driver();
  }
};

TEST_F(DrivesTest, DriveCIsWalkedWithItsProgramFilesOnce) {
  scan("C:");
  EXPECT_EQ(drives_walked(), std::set<char>{'C'});
  EXPECT_EQ(times_walked(kOnC), 1);
  // The drive walk entered Program Files: no second walk of it.
  EXPECT_EQ(times_walked(kInProgramFiles), 1);
  EXPECT_EQ(g_scan.program_files_seen, 1);
  EXPECT_EQ(std::string(g_scan.program_files_mask), "C:\\Program Files\\*.*");
  EXPECT_EQ(window->objects.back(), "Scanning completed");
  ASSERT_EQ(window->lines.size(), 6u);
  EXPECT_EQ(window->lines[1], "Total files scanned\t\t:  " + std::to_string(g_walked.size()));
}

TEST_F(DrivesTest, AllDrivesWalksTheFixedDrivesOnlyInLetterOrder) {
  // R: exists and holds a file, but is a CD-ROM drive.
  ASSERT_EQ(GetDriveTypeA("R:\\"), static_cast<UINT>(DRIVE_CDROM));
  ASSERT_EQ(GetFileAttributesA("R:\\on-cdrom.txt") & FILE_ATTRIBUTE_DIRECTORY, 0u);
  ASSERT_EQ(GetDriveTypeA("Z:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
  scan(krelvon::kAllDrives);
  EXPECT_EQ(drives_walked(), (std::set<char>{'C', 'Q'}));
  EXPECT_EQ(times_walked(kOnC), 1);
  EXPECT_EQ(times_walked(kOnQ), 1);
  EXPECT_EQ(times_walked(kInProgramFiles), 1);
  const auto first_q = std::find_if(g_walked.begin(), g_walked.end(), [](const std::string& p) { return p[0] == 'Q'; });
  EXPECT_TRUE(std::all_of(first_q, g_walked.end(), [](const std::string& p) { return p[0] == 'Q'; }))
      << "C: is walked completely before Q:";
  EXPECT_EQ(window->objects.back(), "Scanning completed");
}

TEST_F(DrivesTest, ProgramFilesNotEnteredByTheDriveWalkIsWalkedOnceMore) {
  // The drive walk enters "Q:\program files", which does not count as
  // Program Files; the re-walk then walks it once more by its usual name.
  write(kInQProgramFiles);
  scan("Q:");
  EXPECT_EQ(times_walked(kInQProgramFiles), 1);
  EXPECT_EQ(times_walked(kInQProgramFilesRewalk), 1);
  EXPECT_EQ(times_walked(kOnQ), 1) << "the rest of the drive only once";
  EXPECT_EQ(g_scan.program_files_seen, 0);
  EXPECT_EQ(g_scan.program_files_pending, 0);
  // A second scan of the drive in the same run: the seen flag still clear,
  // so the re-walk comes once more for this drive's walk.
  g_walked.clear();
  krelvon::scan_scope();
  EXPECT_EQ(times_walked(kInQProgramFilesRewalk), 1);
}

TEST_F(DrivesTest, AllDrivesRewalksNoDriveOnceProgramFilesWasEntered) {
  // C:'s walk enters C:\Program Files first; the seen flag stays set for the
  // rest of the run, so Q:'s differently spelt folder is walked only by the
  // drive walk.
  write(kInQProgramFiles);
  scan(krelvon::kAllDrives);
  EXPECT_EQ(times_walked(kInProgramFiles), 1);
  EXPECT_EQ(times_walked(kInQProgramFiles), 1);
  EXPECT_EQ(times_walked(kInQProgramFilesRewalk), 0);
  EXPECT_EQ(g_scan.program_files_seen, 1);
}

}  // namespace
