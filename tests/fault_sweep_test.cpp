// Every failure point of Disinfect, Rename and Delete: the Nth call of each
// file function fails in turn. Each run must end either complete and
// reported as such, or with the file as it was (at its own path, byte for
// byte) and a failure line or none; never a changed file reported as
// unchanged, nor an unchanged one reported as cleaned. The sweep's table is
// printed.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/scan_context.h"
#include "platform/faults.h"
#include "tests/handler_scenarios.h"
#include "tests/support.h"
#include "tools/samples.h"

using krelvon::g_scan;
namespace s = krelvon::samples;
namespace faults = krelvon::faults;

namespace {

using krelvon::test::claims_success;
using krelvon::test::ends_with;
using krelvon::test::Scenario;

enum class Outcome { kComplete, kUnchanged, kBroken };

const char* text(Outcome o) {
  return o == Outcome::kComplete ? "complete" : o == Outcome::kUnchanged ? "unchanged" : "BROKEN";
}

class FaultSweepTest : public krelvon::test::ScanTest {
 protected:
  // Runs one scenario with the nth call of `call` failing (nth 0: none).
  Outcome run(const Scenario& sc, faults::Call call, int nth, std::string* line, int* calls_seen) {
    krelvon::test::TempDir dir;
    const s::Bytes host = s::build_pe(s::typical_host(4));
    const s::Bytes original = sc.worm_file ? s::make_worm_file(0, 50688) : s::infect(host);
    const std::string path = dir.write("target.exe", original);
    const std::string renamed = dir / "target.Vxe";
    window->lines.clear();
    if (nth > 0)
      faults::arm(call, nth);
    else
      faults::disarm();
    krelvon::test::run_scenario(sc, path);
    if (calls_seen) *calls_seen = faults::calls(call);
    faults::disarm();

    *line = window->lines.empty() ? "" : window->lines.back();
    const bool at_path = _access(path.c_str(), 0) == 0;
    const bool unchanged = at_path && s::read_file(path) == original && _access(renamed.c_str(), 0) != 0;
    bool complete = false;
    if (sc.action == krelvon::kActionDisinfect && !sc.worm_file)
      complete = ends_with(*line, " Disinfected") && at_path && s::read_file(path) == s::with_infection_flags(host);
    else if (sc.action == krelvon::kActionRename)
      complete = ends_with(*line, " renamed") && !at_path && s::read_file(renamed) == original;
    else
      complete = ends_with(*line, " deleted") && !at_path;
    if (complete) return Outcome::kComplete;
    if (unchanged && !claims_success(*line)) return Outcome::kUnchanged;
    return Outcome::kBroken;
  }
};

TEST_F(FaultSweepTest, EveryFailurePointEndsCompleteOrUnchanged) {
  std::printf("%-26s | %-20s | %-9s | %s\n", "scenario", "failure point", "outcome", "finding line");
  int points = 0;
  for (const auto& sc : krelvon::test::kScenarios) {
    std::string line;
    ASSERT_EQ(run(sc, faults::Call::kOpen, 0, &line, nullptr), Outcome::kComplete) << sc.name << ": " << line;
    for (int c = 0; c < static_cast<int>(faults::Call::kCount); ++c) {
      const auto call = static_cast<faults::Call>(c);
      int total = 0;
      run(sc, call, 0, &line, &total);
      for (int nth = 1; nth <= total; ++nth) {
        const Outcome o = run(sc, call, nth, &line, nullptr);
        ++points;
        const std::string point = std::string(faults::name(call)) + " #" + std::to_string(nth);
        const auto cut = line.rfind("     ");
        std::printf("%-26s | %-20s | %-9s | %s\n", sc.name, point.c_str(), text(o),
                    cut == std::string::npos ? "(none)" : line.substr(cut + 5).c_str());
        EXPECT_NE(o, Outcome::kBroken) << sc.name << ", " << point << ": " << line;
      }
    }
  }
  EXPECT_GT(points, 30);
}

}  // namespace

namespace {

// Through the threat table a file is opened once for looking at, whichever
// handler recognises it; only the disinfection opens it again, for writing.
TEST_F(FaultSweepTest, TheHandlersShareOneOpeningOfTheFile) {
  struct Case {
    const char* name;
    s::Bytes bytes;
    int action;
    int opens;
  };
  const s::Bytes host = s::build_pe(s::typical_host(4));
  const Case cases[] = {
      {"text file", s::Bytes(5000, 'x'), krelvon::kActionIgnore, 1},
      {"clean program", host, krelvon::kActionIgnore, 1},
      {"infected host, Ignore", s::infect(host), krelvon::kActionIgnore, 1},
      {"infected host, Disinfect", s::infect(host), krelvon::kActionDisinfect, 2},
      {"worm file, Delete", s::make_worm_file(0, 50688), krelvon::kActionDelete, 1},
  };
  for (const Case& c : cases) {
    krelvon::test::TempDir dir;
    const std::string path = dir.write("target.exe", c.bytes);
    window->lines.clear();
    krelvon::test::automatic(c.action);
    faults::disarm();
    krelvon::run_threat_table(path.c_str());
    EXPECT_EQ(faults::calls(faults::Call::kOpen), c.opens) << c.name;
    EXPECT_EQ(faults::calls(faults::Call::kOpen), faults::calls(faults::Call::kClose)) << c.name << ": left open";
    if (c.action == krelvon::kActionDisinfect) {
      EXPECT_EQ(s::read_file(path), s::with_infection_flags(host)) << c.name;
    } else if (c.action == krelvon::kActionDelete) {
      EXPECT_NE(_access(path.c_str(), 0), 0) << c.name;
    } else {
      EXPECT_EQ(s::read_file(path), c.bytes) << c.name;
    }
  }
}

// Looking at a file, and leaving it alone (Ignore, or no answer at all),
// calls nothing that changes a file: no attributes or mode set, nothing
// written, cut, moved or removed. Read-only files, whose attributes a check
// that set them to archive-only and back would touch.
TEST_F(FaultSweepTest, LeavingAFileAloneCallsNothingThatChangesIt) {
  const s::Bytes host = s::build_pe(s::typical_host(4));
  const struct {
    const char* name;
    s::Bytes bytes;
  } files[] = {{"text file", s::Bytes(5000, 'x')},
               {"clean program", host},
               {"infected host", s::infect(host)},
               {"worm file", s::make_worm_file(0, 50688)}};
  for (const int action : {krelvon::kActionIgnore, krelvon::kActionNone}) {
    for (const auto& f : files) {
      krelvon::test::TempDir dir;
      const std::string path = dir.write("target.exe", f.bytes);
      ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
      const DWORD attributes = GetFileAttributesA(path.c_str());
      window->lines.clear();
      // No answer: Prompt handling without a prompt to answer.
      krelvon::test::automatic(action);
      g_scan.handling_prompt = action == krelvon::kActionNone;
      faults::disarm();
      krelvon::run_threat_table(path.c_str());
      const std::string what = std::string(f.name) + (action == krelvon::kActionNone ? ", no answer" : ", Ignore");
      for (const faults::Call call : {faults::Call::kSetAttributes, faults::Call::kChmod, faults::Call::kWrite,
                                      faults::Call::kChsize, faults::Call::kMove, faults::Call::kDelete,
                                      faults::Call::kUnlink})
        EXPECT_EQ(faults::calls(call), 0) << what << ": " << faults::name(call);
      EXPECT_EQ(faults::calls(faults::Call::kOpen), 1) << what;
      EXPECT_EQ(s::read_file(path), f.bytes) << what;
      EXPECT_EQ(GetFileAttributesA(path.c_str()), attributes) << what;
      const bool threat = f.bytes.size() != 5000 && f.bytes != host;
      EXPECT_EQ(window->lines.size(), threat ? 1u : 0u) << what;
      if (threat) {
        EXPECT_EQ(g_scan.finding.action, action) << what;
      }
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
  }
}

}  // namespace
