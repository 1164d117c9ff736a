// The report's placement check on the 95 line, under Wine reporting
// Windows 98 to this program: that line opens no folder, so a folder is
// told by its long full path, in any case and by its short name alike.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "report/report.h"
#include "platform/held_folder.h"
#include "tests/support.h"

namespace {

using krelvon::cli::report_place_refusal;

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

TEST(CliReport95, FoldersAreToldByTheirLongFullPath) {
  ASSERT_FALSE(krelvon_nt_line()) << "Wine reports the NT line to this program";
  krelvon::test::TempDir dir;
  dir.mkdir("scan/a long folder name/deeper");
  dir.mkdir("scanner");
  dir.mkdir("elsewhere");
  const std::vector<std::string> roots = {dir / "scan"};
  EXPECT_NE(report_place_refusal(dir / "scan/r.json", roots), "");
  EXPECT_NE(report_place_refusal(dir / "scan/a long folder name/deeper/r.json", roots), "");
  EXPECT_NE(report_place_refusal(upper(dir / "scan/a long folder name/r.json"), roots), "") << "case";
  EXPECT_NE(report_place_refusal(dir / "elsewhere/../scan/r.json", roots), "");
  EXPECT_NE(report_place_refusal(dir / "r.json", {dir / "elsewhere", dir.path()}), "");
  // Beside the root, above it, and a folder whose name only begins the same.
  EXPECT_EQ(report_place_refusal(dir / "elsewhere/r.json", roots), "");
  EXPECT_EQ(report_place_refusal(dir / "r.json", roots), "");
  EXPECT_EQ(report_place_refusal(dir / "scanner/r.json", roots), "");
  // The short name of a folder names the same folder.
  char short_name[MAX_PATH];
  const std::string long_name = dir / "scan/a long folder name";
  const DWORD n = GetShortPathNameA(long_name.c_str(), short_name, sizeof short_name);
  ASSERT_GT(n, 0u);
  ASSERT_NE(upper(short_name), upper(long_name)) << "no short name";
  EXPECT_NE(report_place_refusal(std::string(short_name) + "\\r.json", roots), "") << short_name;
  EXPECT_NE(report_place_refusal(dir / "scan/a long folder name/deeper/r.json", {short_name}), "") << short_name;
  EXPECT_EQ(report_place_refusal(dir / "scan/r.json", {short_name}), "") << "above a short-named root";
}

}  // namespace
