#include <gtest/gtest.h>

#include <string>

#include "cli/report.h"

using krelvon::cli::Finding;
using krelvon::cli::parse_finding;

namespace {

TEST(CliReport, FindingLinesSplitIntoTheirFields) {
  struct Case {
    const char* line;
    const char* path;
    const char* detection;
    const char* action;
    bool ok;
  };
  const Case cases[] = {
      {"C:\\A\\x.exe     W32/BugBear.B.Worm Disinfected", "C:\\A\\x.exe", "W32/BugBear.B.Worm", "disinfect", true},
      {"/a/b c/x.exe     W32/BugBear.B.Worm Could not disinfect", "/a/b c/x.exe", "W32/BugBear.B.Worm", "disinfect", false},
      {"/x.exe     W32/BugBear.Worm renamed", "/x.exe", "W32/BugBear.Worm", "rename", true},
      {"/x.exe     W32/BugBear.B.Worm Rename failed", "/x.exe", "W32/BugBear.B.Worm", "rename", false},
      {"/x.exe     W32/BugBear.B.Worm deleted", "/x.exe", "W32/BugBear.B.Worm", "delete", true},
      {"/x.exe     W32/BugBear.B.Worm Delete failed", "/x.exe", "W32/BugBear.B.Worm", "delete", false},
      {"/x.exe     W32/BugBear.B.Worm not disinfected as per user's selection", "/x.exe", "W32/BugBear.B.Worm",
       "ignore", true},
      {"System Memory     W32/BugBear.Worm removed", "System Memory", "W32/BugBear.Worm", "terminate", true},
      {"System Registry     W32/BugBear.Worm removed", "System Registry", "W32/BugBear.Worm", "terminate", true},
      // Five spaces and a detection name inside the path itself.
      {"/d/odd     W32/BugBear.Worm x/f.exe     W32/BugBear.B.Worm deleted",
       "/d/odd     W32/BugBear.Worm x/f.exe", "W32/BugBear.B.Worm", "delete", true},
  };
  for (const Case& c : cases) {
    Finding f;
    ASSERT_TRUE(parse_finding(c.line, f)) << c.line;
    EXPECT_EQ(f.path, c.path) << c.line;
    EXPECT_EQ(f.detection, c.detection) << c.line;
    EXPECT_EQ(f.action, c.action) << c.line;
    EXPECT_EQ(f.ok, c.ok) << c.line;
  }
  Finding f;
  EXPECT_FALSE(parse_finding("Scanning statistics\t\t:", f));
}

TEST(CliReport, JsonStringsEscapeQuotesControlsAndNonUtf8) {
  EXPECT_EQ(krelvon::cli::json_string("a\"b\\c\td"), "\"a\\\"b\\\\c\\u0009d\"");
  EXPECT_EQ(krelvon::cli::json_string("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
  EXPECT_EQ(krelvon::cli::json_string("caf\xe9"), "\"caf\\u00e9\"");
  EXPECT_EQ(krelvon::cli::json_string("\xc3"), "\"\\u00c3\"") << "a cut sequence is not UTF-8";
}

TEST(CliReport, StatisticsObjectCarriesCountsAndStatus) {
  EXPECT_EQ(krelvon::cli::statistics_json(8, 6, 3, 0, 3, false),
            "{\"type\":\"statistics\",\"scanned\":8,\"infected\":6,\"disinfected\":3,\"renamed\":0,\"deleted\":3,"
            "\"status\":\"completed\"}");
  EXPECT_NE(krelvon::cli::statistics_json(0, 0, 0, 0, 0, true).find("\"status\":\"terminated\""), std::string::npos);
  const std::string unknown = krelvon::cli::finding_json("something else");
  EXPECT_EQ(unknown, "{\"type\":\"finding\",\"line\":\"something else\"}");
}

}  // namespace
