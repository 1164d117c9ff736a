// The pieces of krelvon-scan's output: JSON strings and objects from the
// finding record, the escaping of terminal lines, and where a report may be
// written (real folders, links and files).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/report.h"
#include "report/text.h"
#include "tests/support.h"
#include "tools/samples.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

using krelvon::FindingKind;
using krelvon::FindingOutcome;
using krelvon::FindingRecord;
using krelvon::cli::json_string;
using krelvon::cli::terminal_text;

namespace {

FindingRecord record(FindingKind kind, FindingOutcome outcome, int action, bool ok, const char* path,
                     const char* new_path = "") {
  FindingRecord r;
  r.kind = kind;
  r.outcome = outcome;
  r.action = action;
  r.ok = ok;
  krelvon::copy_text(r.path, path);
  krelvon::copy_text(r.detection, "W32/BugBear.B.Worm");
  krelvon::copy_text(r.new_path, new_path);
  return r;
}

TEST(CliReport, JsonStringsKeepEveryNameApart) {
  EXPECT_EQ(json_string("a\"b\\c\td\n"), "\"a\\\"b\\\\c\\u0009d\\u000a\"");
  EXPECT_EQ(json_string("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
  // A byte that is no UTF-8 is a lone low surrogate: never the same string
  // as the character of the same number.
  EXPECT_EQ(json_string("caf\xe9.exe"), "\"caf\\udce9.exe\"");
  EXPECT_NE(json_string("caf\xe9.exe"), json_string("caf\xc3\xa9.exe"));
  EXPECT_EQ(json_string("\xc3"), "\"\\udcc3\"") << "a cut sequence";
  EXPECT_EQ(json_string("\xc0\xaf"), "\"\\udcc0\\udcaf\"") << "an overlong '/'";
  EXPECT_EQ(json_string("\xed\xa0\x80"), "\"\\udced\\udca0\\udc80\"") << "an encoded surrogate";
  EXPECT_EQ(json_string("\xf4\x90\x80\x80"), "\"\\udcf4\\udc90\\udc80\\udc80\"") << "above U+10FFFF";
  EXPECT_EQ(json_string("\xf0\x9f\x90\x9b"), "\"\xf0\x9f\x90\x9b\"") << "a four-byte character";
}

TEST(CliReport, TerminalLinesEscapeControlsSoOneFindingIsOneLine) {
  EXPECT_EQ(terminal_text("x\nScanning completed\ny"), "x\\nScanning completed\\ny");
  EXPECT_EQ(terminal_text("a\rb\tc\x1b[31md\x7f\x01"), "a\\rb\\tc\\x1b[31md\\x7f\\x01");
  EXPECT_EQ(terminal_text("caf\xc3\xa9"), "caf\xc3\xa9");
#ifdef _WIN32
  EXPECT_EQ(terminal_text("C:\\dir\\x.exe"), "C:\\dir\\x.exe") << "the separator stays single";
  EXPECT_EQ(terminal_text("caf\xe9"), "caf\xe9") << "a code page character";
#else
  // A backslash is doubled, so that a name holding "\n" itself differs from
  // one holding a line feed.
  EXPECT_EQ(terminal_text("a\\nb"), "a\\\\nb");
  EXPECT_NE(terminal_text("a\\nb"), terminal_text("a\nb"));
  EXPECT_EQ(terminal_text("caf\xe9"), "caf\\xe9");
  EXPECT_EQ(terminal_text("\xc2\x9b" "31m"), "\\xc2\\x9b31m") << "C1 control (CSI) in UTF-8";
  EXPECT_EQ(terminal_text("\xc2\xa0"), "\xc2\xa0") << "no-break space is printable";
#endif
  for (const std::string& s : {std::string("a\nb"), std::string("\x1b]0;x\x07"), std::string(1, '\0')})
    for (const char c : terminal_text(s)) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << s;
}

TEST(CliReport, FindingObjectsComeFromTheRecordNotTheLine) {
  // The line would mislead a parser: the path holds a gap and a detection
  // name of its own.
  const std::string odd = "/d/a     W32/BugBear.B.Worm deleted/f.exe";
  EXPECT_EQ(krelvon::cli::finding_json(record(FindingKind::kInfectedFile, FindingOutcome::kDeleted,
                                              krelvon::kActionDelete, true, odd.c_str()),
                                       odd + "     W32/BugBear.B.Worm deleted"),
            "{\"type\":\"finding\",\"path\":\"/d/a     W32/BugBear.B.Worm deleted/f.exe\",\"detection\":"
            "\"W32/BugBear.B.Worm\",\"kind\":\"infected_file\",\"action\":\"delete\",\"outcome\":\"deleted\","
            "\"ok\":true,\"line\":\"/d/a     W32/BugBear.B.Worm deleted/f.exe     W32/BugBear.B.Worm deleted\"}");
  const std::string renamed = krelvon::cli::finding_json(
      record(FindingKind::kWormFile, FindingOutcome::kRenamed, krelvon::kActionRename, true, "/d/w.exe", "/d/w.Vxe"),
      "l");
  EXPECT_NE(renamed.find("\"kind\":\"worm_file\",\"action\":\"rename\",\"outcome\":\"renamed\",\"ok\":true,"
                         "\"new_path\":\"/d/w.Vxe\",\"line\":\"l\"}"),
            std::string::npos)
      << renamed;
  // No answer and Ignore share their line, not their action.
  const std::string none = krelvon::cli::finding_json(
      record(FindingKind::kWormFile, FindingOutcome::kNotActedOn, krelvon::kActionNone, true, "/w"), "l");
  EXPECT_NE(none.find("\"action\":\"none\",\"outcome\":\"not disinfected as per user's selection\""),
            std::string::npos)
      << none;
  EXPECT_EQ(none.find("new_path"), std::string::npos);
  const std::string failed = krelvon::cli::finding_json(
      record(FindingKind::kSystemRegistry, FindingOutcome::kRemoved, krelvon::kActionDelete, true, "HKEY\\v"), "l");
  EXPECT_NE(failed.find("\"path\":\"HKEY\\\\v\""), std::string::npos) << failed;
  EXPECT_NE(failed.find("\"kind\":\"system_registry\""), std::string::npos) << failed;
}

TEST(CliReport, StatisticsObjectCarriesCountsAndStatus) {
  EXPECT_EQ(krelvon::cli::statistics_json(8, 6, 3, 0, 3, false),
            "{\"type\":\"statistics\",\"scanned\":8,\"infected\":6,\"disinfected\":3,\"renamed\":0,\"deleted\":3,"
            "\"status\":\"completed\"}");
  EXPECT_NE(krelvon::cli::statistics_json(0, 0, 0, 0, 0, true).find("\"status\":\"terminated\""), std::string::npos);
}

TEST(CliReport, OnlyAnEarlierReportStartsLikeOne) {
  EXPECT_TRUE(krelvon::cli::is_report_start("{\"type\":\"finding\",\"path\":\"x\"}"));
  EXPECT_TRUE(krelvon::cli::is_report_start("{\"type\":\"statistics\",\"scanned\":0}"));
  EXPECT_TRUE(krelvon::cli::is_report_start("{\"type\":\"skipped\",\"path\":\"x\"}"));
  EXPECT_FALSE(krelvon::cli::is_report_start(""));
  EXPECT_FALSE(krelvon::cli::is_report_start("MZ\x90"));
  EXPECT_FALSE(krelvon::cli::is_report_start("{\"type\":\"finding\""));
  EXPECT_FALSE(krelvon::cli::is_report_start("{\"type\":\"other\"}"));
}

// The report's place against scan roots, on real folders: the root itself,
// a folder below it, a root named through "..", and a folder beside it.
TEST(CliReport, AReportNeverGoesInsideAScannedFolder) {
  krelvon::test::TempDir dir;
  dir.mkdir("scan/sub/deeper");
  dir.mkdir("elsewhere");
  const std::vector<std::string> roots = {dir / "scan"};
  EXPECT_NE(krelvon::cli::report_place_refusal(dir / "scan/r.json", roots), "");
  EXPECT_NE(krelvon::cli::report_place_refusal(dir / "scan/sub/deeper/r.json", roots), "");
  EXPECT_NE(krelvon::cli::report_place_refusal(dir / "elsewhere/../scan/sub/r.json", roots), "");
  EXPECT_NE(krelvon::cli::report_place_refusal(dir / "r.json", {dir / "elsewhere", dir.path()}), "");
  EXPECT_EQ(krelvon::cli::report_place_refusal(dir / "elsewhere/r.json", roots), "");
  EXPECT_EQ(krelvon::cli::report_place_refusal(dir / "r.json", roots), "") << "above the root is fine";
  EXPECT_EQ(krelvon::cli::report_place_refusal(dir / "elsewhere/r.json", {dir / "scan/sub"}), "");
#ifndef _WIN32
  // Names that lead into the scan through links are the same place.
  ASSERT_EQ(symlink((dir / "scan/sub").c_str(), (dir / "elsewhere/into-scan").c_str()), 0);
  EXPECT_NE(krelvon::cli::report_place_refusal(dir / "elsewhere/into-scan/r.json", roots), "");
  ASSERT_EQ(symlink((dir / "scan").c_str(), (dir / "root-link").c_str()), 0);
  EXPECT_NE(krelvon::cli::report_place_refusal(dir / "scan/r.json", {dir / "root-link"}), "");
  // A bare name is in the current folder.
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(chdir((dir / "scan/sub").c_str()), 0);
  EXPECT_NE(krelvon::cli::report_place_refusal("r.json", roots), "");
  ASSERT_EQ(chdir(here), 0);
#endif
}

// What an existing file at the report's name may be: a file that is neither
// empty nor an earlier report, a link or a FIFO is refused and left as it
// was; an empty file and an earlier report are overwritten.
TEST(CliReport, AReportOverwritesOnlyAnEmptyFileOrAnEarlierReport) {
  namespace s = krelvon::samples;
  krelvon::test::TempDir dir;
  dir.mkdir("scan");
  const std::vector<std::string> roots = {dir / "scan"};
  const std::string program = dir.write("out/program.exe", s::make_worm_file(0, 50688));
  const std::string text = dir.write("out/notes.txt", "{\"type\":\"finding\" but not one\n");
  const std::string empty = dir.write("out/empty.json", "");
  const std::string earlier = dir.write("out/earlier.json", "{\"type\":\"statistics\",\"scanned\":1}\nold\n");
  for (const std::string& p : {program, text}) {
    const s::Bytes before = s::read_file(p);
    krelvon::cli::Report report;
    EXPECT_NE(report.open(p, roots), "") << p;
    EXPECT_EQ(s::read_file(p), before) << p;
  }
  for (const std::string& p : {empty, earlier, dir / "out/new.json"}) {
    krelvon::cli::Report report;
    EXPECT_EQ(report.open(p, roots), "") << p;
    report.statistics(1, 0, 0, 0, 0, false);
    EXPECT_TRUE(report.close());
    const s::Bytes now = s::read_file(p);
    EXPECT_EQ(std::string(now.begin(), now.end()), krelvon::cli::statistics_json(1, 0, 0, 0, 0, false) + "\n") << p;
  }
  krelvon::cli::Report inside;
  EXPECT_NE(inside.open(dir / "scan/new.json", roots), "");
  EXPECT_NE(_access((dir / "scan/new.json").c_str(), 0), 0) << "created inside the scan";
#ifdef _WIN32
  krelvon::cli::Report device;
  EXPECT_NE(device.open("NUL", roots), "") << "a device";
#else
  ASSERT_EQ(symlink(earlier.c_str(), (dir / "out/link.json").c_str()), 0);
  krelvon::cli::Report link;
  EXPECT_NE(link.open(dir / "out/link.json", roots), "");
  ASSERT_EQ(mkfifo((dir / "out/fifo.json").c_str(), 0600), 0);
  krelvon::cli::Report fifo;
  EXPECT_NE(fifo.open(dir / "out/fifo.json", roots), "") << "a FIFO";
#endif
}

}  // namespace
