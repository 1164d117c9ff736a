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

TEST_F(DriverTest, MemoryPhaseFlagIsClearAfterTheScan) {
  g_scan.memory_phase = true;
  krelvon::copy_text(g_scan.scan_path, "nonexistent-folder-for-the-driver");
  krelvon::scan_driver();
  EXPECT_FALSE(g_scan.memory_phase);
}

}  // namespace
