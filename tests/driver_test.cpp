#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/driver.h"
#include "engine/walker.h"
#include "tests/support.h"

using krelvon::g_scan;

namespace {

const std::vector<std::string> kZeroStatistics = {
    "Scanning statistics\t\t:",       "Total files scanned\t\t:  0",   "Total files infected\t\t:  0",
    "Total files disinfected\t:  0", "Total files renamed\t\t:  0", "Total files deleted\t\t:  0",
};

class DriverTest : public krelvon::test::ScanTest {};

TEST_F(DriverTest, EmptyScanPathWritesOnlyTheStatistics) {
  EXPECT_EQ(krelvon::scan_driver(), 1);
  EXPECT_EQ(window->lines, kZeroStatistics);
  ASSERT_FALSE(window->objects.empty());
  EXPECT_EQ(window->objects.back(), "Scanning completed");
  EXPECT_TRUE(g_scan.summary);
}

TEST_F(DriverTest, AFolderPathIsWalkedAndCounted) {
  krelvon::test::TempDir dir;
  dir.write("a.txt", "a");
  dir.write("s/b.txt", "b");
  krelvon::copy_text(g_scan.scan_path, dir.path().c_str());
  krelvon::scan_driver();
  ASSERT_EQ(window->lines.size(), 6u);
  EXPECT_EQ(window->lines[1], "Total files scanned\t\t:  2");
  EXPECT_EQ(window->objects.back(), "Scanning completed");
}

TEST_F(DriverTest, InfectionsPutABlankLineFirst) {
  g_scan.files_infected = 2;
  krelvon::scan_driver();
  ASSERT_EQ(window->lines.size(), 7u);
  EXPECT_EQ(window->lines[0], " ");
  EXPECT_EQ(window->lines[3], "Total files infected\t\t:  2");
}

TEST_F(DriverTest, CancelStillWritesTheStatisticsAndTerminated) {
  krelvon::test::TempDir dir;
  dir.write("a.txt", "a");
  krelvon::copy_text(g_scan.scan_path, dir.path().c_str());
  g_scan.cancel = 1;
  krelvon::scan_driver();
  EXPECT_EQ(window->lines, kZeroStatistics);
  EXPECT_EQ(window->objects.back(), "Scanning terminated");
}

// A scan path with no room for its mask, and one that is no folder: each
// reported as not examined. The driver's statistics block ends with their
// count; the summary without that line (krelvon-scan's) is the block alone.
TEST_F(DriverTest, AScanPathThatCannotBeWalkedIsReported) {
  const std::string too_long(257, 'p');
  krelvon::copy_text(g_scan.scan_path, too_long.c_str());
  krelvon::scan_driver();
  std::vector<std::string> want = kZeroStatistics;
  want.push_back("Total files not examined\t:  1");
  EXPECT_EQ(window->lines, want);
  EXPECT_EQ(window->objects.back(), "Scanning completed");
  krelvon::copy_text(g_scan.scan_path, "nonexistent-folder-for-the-driver");
  krelvon::scan_scope();
  EXPECT_EQ(krelvon::test::skipped_entries(),
            (std::vector<krelvon::test::SkippedEntry>{{too_long, krelvon::kSkipTooLong},
                                                      {"nonexistent-folder-for-the-driver", krelvon::kSkipGone}}));
  window->lines.clear();
  krelvon::scan_summary();
  EXPECT_EQ(window->lines, kZeroStatistics);
  window->lines.clear();
  krelvon::scan_summary(true);
  want.back() = "Total files not examined\t:  2";
  EXPECT_EQ(window->lines, want);
}

TEST_F(DriverTest, MemoryPhaseFlagIsClearAfterTheScan) {
  g_scan.memory_phase = true;
  krelvon::copy_text(g_scan.scan_path, "nonexistent-folder-for-the-driver");
  krelvon::scan_driver();
  EXPECT_FALSE(g_scan.memory_phase);
}

}  // namespace

namespace {

int g_handled = 0;
int g_cancel_after = 0;

// Stands for a handler: counts the files it is given and sets the cancel
// flag (as Ctrl-C or the Cancel button would) after the chosen number.
int cancelling_handler(const char*, const char*, krelvon::Examination&) {
  // The memory phase passes the programs of running processes through the
  // table too (under Wine, real ones): only the walks of the scope count.
  if (g_scan.memory_phase) return 0;
  if (++g_handled == g_cancel_after) g_scan.cancel = 1;
  return 0;
}
const krelvon::ThreatEntry kCancellingTable[] = {{"W32/BugBear.B.Worm", &cancelling_handler}, {nullptr, nullptr}};

class DriverPartsTest : public krelvon::test::ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    g_handled = 0;
    g_cancel_after = 0;
    krelvon::set_threat_table(kCancellingTable);
  }
  void TearDown() override {
    krelvon::set_threat_table(nullptr);
    ScanTest::TearDown();
  }
};

TEST_F(DriverPartsTest, SeveralScopesShareOneStatisticsBlock) {
  krelvon::test::TempDir a, b;
  a.write("1.txt", "1");
  b.write("2.txt", "2");
  b.write("s/3.txt", "3");
  for (const auto* dir : {&a, &b}) {
    krelvon::copy_text(g_scan.scan_path, dir->path().c_str());
    krelvon::scan_scope();
  }
  EXPECT_TRUE(window->lines.empty()) << "no statistics before the summary";
  krelvon::scan_summary();
  ASSERT_EQ(window->lines.size(), 6u);
  EXPECT_EQ(window->lines[1], "Total files scanned\t\t:  3");
  EXPECT_EQ(g_handled, 3);
  EXPECT_EQ(window->objects.back(), "Scanning completed");
}

TEST_F(DriverPartsTest, CancelInTheMiddleStopsAtTheNextCheck) {
  krelvon::test::TempDir dir;
  for (int i = 0; i < 10; ++i) dir.write("f" + std::to_string(i) + ".txt", "x");
  dir.write("sub/more.txt", "x");
  g_cancel_after = 3;
  krelvon::copy_text(g_scan.scan_path, dir.path().c_str());
  EXPECT_EQ(krelvon::scan_driver(), 1);
  EXPECT_EQ(g_handled, 3) << "no file after the one that set the flag";
  ASSERT_EQ(window->lines.size(), 6u);
  EXPECT_EQ(window->lines[1], "Total files scanned\t\t:  3");
  EXPECT_EQ(window->objects.back(), "Scanning terminated");
}

TEST_F(DriverPartsTest, AFolderNamedProgramFilesIsWalkedOnce) {
  // Below a drive root nothing is prepared, so a folder scan never walks
  // its Program Files twice.
  krelvon::test::TempDir dir;
  dir.write("Program Files/app/a.exe", "a");
  krelvon::copy_text(g_scan.scan_path, dir.path().c_str());
  krelvon::scan_driver();
  EXPECT_EQ(g_handled, 1);
  EXPECT_EQ(g_scan.program_files_seen, 1);
  EXPECT_EQ(g_scan.program_files_pending, 0);
}

}  // namespace
