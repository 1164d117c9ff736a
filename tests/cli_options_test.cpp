// krelvon-scan's exit status, its patterns and its lists of paths.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/exit_status.h"
#include "cli/options.h"
#include "tests/support.h"

namespace {

using krelvon::FindingOutcome;
using krelvon::cli::ScanOutcome;

// Every combination of what a scan can come to: the code of the first
// condition that holds in the order 2, 130, 4, 5, 3, 1, 0 wins.
TEST(ExitStatus, OneCodeWinsInItsOrder) {
  for (unsigned bits = 0; bits < 64; ++bits) {
    ScanOutcome o;
    o.found = (bits & 1) ? 3 : 0;
    o.left_infected = (bits & 2) && o.found ? 1 : 0;
    o.restart_pending = (bits & 4) != 0;
    o.not_examined = (bits & 8) ? 2 : 0;
    o.interrupted = (bits & 16) != 0;
    o.failed = (bits & 32) != 0;
    const std::vector<std::pair<bool, int>> order = {
        {o.failed, 2},         {o.interrupted && o.found == 0, 130},
        {o.left_infected > 0, 4}, {o.restart_pending, 5},
        {o.not_examined > 0 || o.interrupted, 3}, {o.found > 0, 1}};
    int expected = 0;
    for (const auto& [holds, code] : order)
      if (holds) {
        expected = code;
        break;
      }
    EXPECT_EQ(krelvon::cli::exit_status(o), expected) << "combination " << bits;
  }
  // The cases a deployment tool tells apart, by name.
  ScanOutcome interrupted_with_findings;
  interrupted_with_findings.found = 1;
  interrupted_with_findings.interrupted = true;
  EXPECT_EQ(krelvon::cli::exit_status(interrupted_with_findings), krelvon::cli::kExitNotAllExamined);
  ScanOutcome restart_and_ignored;
  restart_and_ignored.found = 2;
  restart_and_ignored.left_infected = 1;
  restart_and_ignored.restart_pending = true;
  EXPECT_EQ(krelvon::cli::exit_status(restart_and_ignored), krelvon::cli::kExitLeftInfected);
}

TEST(ExitStatus, FindingsCountedByOutcome) {
  ScanOutcome o;
  auto count = [&o](FindingOutcome outcome, bool ok) {
    krelvon::FindingRecord r;
    r.outcome = outcome;
    r.ok = ok;
    krelvon::cli::count_finding(o, r);
  };
  count(FindingOutcome::kDisinfected, true);
  count(FindingOutcome::kRemoved, true);  // the system lines: dealt with
  count(FindingOutcome::kRenamedEarlier, true);
  EXPECT_EQ(o.found, 2);
  EXPECT_EQ(o.left_infected, 0);
  EXPECT_EQ(krelvon::cli::exit_status(o), 1);
  count(FindingOutcome::kNotActedOn, true);
  count(FindingOutcome::kIgnored, true);
  count(FindingOutcome::kRenameFailed, false);
  count(FindingOutcome::kCouldNotDisinfect, false);
  EXPECT_EQ(o.found, 6);
  EXPECT_EQ(o.left_infected, 4);
  EXPECT_EQ(krelvon::cli::exit_status(o), 4);
}

TEST(ExcludePatterns, GlobsOnNamesAndOnPathsWithASeparator) {
  using krelvon::cli::glob_matches;
  EXPECT_TRUE(glob_matches("*.dll", "worm-helper.dll"));
  EXPECT_FALSE(glob_matches("*.dll", "worm-helper.dll.txt"));
  EXPECT_TRUE(glob_matches("to?l.exe", "tool.exe"));
  EXPECT_FALSE(glob_matches("to?l.exe", "tol.exe"));
  EXPECT_TRUE(glob_matches("[a-c]*[!x]", "calc.exe"));
  EXPECT_FALSE(glob_matches("[a-c]*[!e]", "calc.exe"));
  EXPECT_TRUE(glob_matches("a*b*c", "aXbYbZc"));
  EXPECT_FALSE(glob_matches("a*b*c", "aXbYbZ"));
  EXPECT_TRUE(glob_matches("[x", "[x"));  // no closing ']': an ordinary '['
  EXPECT_TRUE(glob_matches("*", ""));
#ifdef _WIN32
  EXPECT_TRUE(glob_matches("*.DLL", "a.dll"));
#else
  EXPECT_FALSE(glob_matches("*.DLL", "a.dll"));
  EXPECT_TRUE(glob_matches("\\*.exe", "*.exe"));
  EXPECT_FALSE(glob_matches("\\*.exe", "a.exe"));
#endif

  krelvon::cli::Options o;
  o.exclude = {"*.txt"};
  o.exclude_dir = {"cache", "*/keep/deep"};
  const std::string s(1, krelvon::kSep);
  EXPECT_TRUE(excluded(o, ("d" + s + "readme.txt").c_str(), "readme.txt", false));
  EXPECT_FALSE(excluded(o, ("d" + s + "cache").c_str(), "cache", false));  // a file named like the folder
  EXPECT_TRUE(excluded(o, ("d" + s + "cache").c_str(), "cache", true));
  // With a separator: the whole path ('*' crosses separators).
  EXPECT_TRUE(excluded(o, "/x/y/keep/deep", "deep", true));
  EXPECT_FALSE(excluded(o, "/x/y/keep/deeper", "deeper", true));
  EXPECT_FALSE(excluded(o, "deep", "deep", true));
}

TEST(PathLists, LinesAndNulSeparatedNamesWithLineFeeds) {
  krelvon::test::TempDir dir;
  const std::string lines = dir.write("lines.txt", std::string("a.exe\r\n\nsub dir/b.exe\nlast"));
  const std::string nul = dir.write("names0.list", std::string("one\nname.exe\0two\r.exe\0\0three", 28));
  std::vector<std::string> got;
  std::string error;
  ASSERT_TRUE(krelvon::cli::read_path_list(lines, false, &got, &error)) << error;
  EXPECT_EQ(got, (std::vector<std::string>{"a.exe", "sub dir/b.exe", "last"}));
  got.clear();
  ASSERT_TRUE(krelvon::cli::read_path_list(nul, true, &got, &error)) << error;
  EXPECT_EQ(got, (std::vector<std::string>{"one\nname.exe", "two\r.exe", "three"}));
  EXPECT_FALSE(krelvon::cli::read_path_list(dir / "missing", false, &got, &error));
  EXPECT_NE(error.find("cannot read the list"), std::string::npos) << error;
}

TEST(Options, MisusesOfTheInputOptions) {
  auto parse = [](std::vector<const char*> args) {
    args.insert(args.begin(), "krelvon-scan");
    krelvon::cli::Options o;
    std::vector<char*> argv;
    for (const char* a : args) argv.push_back(const_cast<char*>(a));
    return krelvon::cli::parse(static_cast<int>(argv.size()), argv.data(), o);
  };
  EXPECT_EQ(parse({"--null"}), 2);
  EXPECT_EQ(parse({"--file-list=-", "--prompt"}), 2);
  EXPECT_EQ(parse({"--file-list=-", "--file-list=-"}), 2);
  EXPECT_EQ(parse({"--format=xml"}), 2);
  EXPECT_EQ(parse({"--exclude="}), 2);
  EXPECT_EQ(parse({"--restore=B", "--exclude=x"}), 2);
  EXPECT_EQ(parse({"--restore=B", "--format=jsonl"}), 2);
  EXPECT_EQ(parse({"--file-list=l", "--null", "--format=jsonl", "--exclude=a", "--exclude-dir=b", "d"}), -1);
}

}  // namespace
