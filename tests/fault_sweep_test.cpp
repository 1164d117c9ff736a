// Every failure point of Disinfect, Rename and Delete: the Nth call of each
// file function fails in turn. Each run must end either complete and
// reported as such, or with the file as it was (at its own path, byte for
// byte) and a failure line or none; never a changed file reported as
// unchanged, nor an unchanged one reported as cleaned. The sweep's table is
// printed.
#include <gtest/gtest.h>

#include <algorithm>
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
  // After the run, cut_before_failure tells whether the disinfection's cut
  // went through before the failing call.
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
    cut_before_failure = nth > 0 && faults::calls(faults::Call::kChsize) > (call == faults::Call::kChsize ? 1 : 0);
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
  bool cut_before_failure = false;
};

TEST_F(FaultSweepTest, EveryFailurePointEndsCompleteOrUnchanged) {
  std::printf("%-26s | %-20s | %-9s | %s\n", "scenario", "failure point", "outcome", "finding line");
  int points = 0, after_cut = 0;
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
        if (cut_before_failure && o != Outcome::kComplete) {
          // A failure after the cut that stopped the disinfection: the
          // file, tail and all, is back, and the line says it failed.
          ++after_cut;
          EXPECT_EQ(o, Outcome::kUnchanged) << sc.name << ", " << point;
          EXPECT_TRUE(ends_with(line, " Could not disinfect")) << sc.name << ", " << point << ": " << line;
        }
      }
    }
  }
  std::printf("failure points: %d, of them after the disinfection's cut: %d\n", points, after_cut);
  EXPECT_GT(points, 30);
  // The read-back's reads and the last write at least.
  EXPECT_GE(after_cut, 5);
}

}  // namespace

namespace {

// What the hooks below change in the file being repaired.
struct Corruption {
  std::string path;
  std::uint32_t at = 0;  // the 4 bytes there are inverted
  bool grow = false;     // or 100 bytes are appended
  bool done = false;
} g_corruption;

void corrupt_file() {
  FILE* f = std::fopen(g_corruption.path.c_str(), "r+b");
  if (f == nullptr) return;
  if (g_corruption.grow) {
    const s::Bytes more(100, 0xEE);
    g_corruption.done = std::fseek(f, 0, SEEK_END) == 0 && std::fwrite(more.data(), 1, more.size(), f) == more.size();
  } else {
    std::uint8_t bytes[4] = {};
    g_corruption.done = std::fseek(f, static_cast<long>(g_corruption.at), SEEK_SET) == 0 &&
                        std::fread(bytes, 1, 4, f) == 4;
    for (auto& b : bytes) b = static_cast<std::uint8_t>(~b);
    g_corruption.done = g_corruption.done && std::fseek(f, static_cast<long>(g_corruption.at), SEEK_SET) == 0 &&
                        std::fwrite(bytes, 1, 4, f) == 4;
  }
  g_corruption.done = std::fclose(f) == 0 && g_corruption.done;
}

// A repair whose writes land wrong, or whose result changes before it is
// read back: the check of the result sees it, the file is put back as it
// was (the cut-off tail too) and the failure line written.
TEST_F(FaultSweepTest, ARepairThatReadsBackWrongIsPutBack) {
  const s::Bytes host = s::build_pe(s::typical_host(4));
  const s::Bytes original = s::infect(host);
  const std::uint32_t pe = s::get32(original, 60);
  const Scenario& disinfect = krelvon::test::kScenarios[0];
  ASSERT_EQ(disinfect.action, krelvon::kActionDisinfect);
  // The calls of a repair that goes through: its last write and last read.
  int writes = 0, reads = 0;
  {
    krelvon::test::TempDir dir;
    faults::disarm();
    krelvon::test::run_scenario(disinfect, dir.write("t.exe", original));
    writes = faults::calls(faults::Call::kWrite);
    reads = faults::calls(faults::Call::kRead);
  }
  const int disinfected = g_scan.files_disinfected;
  struct Case {
    const char* name;
    faults::Call call;
    int nth;
    std::uint32_t at;
    bool grow;
  } cases[] = {
      // The header write has landed; its entry point is not what was written.
      {"entry point changed before the cut", faults::Call::kChsize, 1, pe + 24 + 16, false},
      {"SizeOfImage changed before the last write", faults::Call::kWrite, writes, pe + 24 + 56, false},
      {"a host section entry changed before the read-back", faults::Call::kRead, reads - 2, pe + 248 + 20, false},
      {"the wiped record changed before the last read", faults::Call::kRead, reads, pe + 248 + 40 * 4 + 40, false},
      {"the file grown before the last read", faults::Call::kRead, reads, 0, true},
  };
  for (const Case& c : cases) {
    krelvon::test::TempDir dir;
    g_corruption = Corruption{dir.write("target.exe", original), c.at, c.grow};
    window->lines.clear();
    faults::hook(c.call, c.nth, &corrupt_file);
    krelvon::test::run_scenario(disinfect, g_corruption.path);
    faults::disarm();
    ASSERT_TRUE(g_corruption.done) << c.name;
    EXPECT_EQ(window->lines, std::vector<std::string>{g_corruption.path + "     W32/BugBear.B.Worm Could not disinfect"})
        << c.name;
    EXPECT_EQ(s::read_file(g_corruption.path), original) << c.name;
  }
  EXPECT_EQ(g_scan.files_disinfected, disinfected);
}

// What a process killed between two writes of a disinfection leaves: the
// file as it is right before the cut and right before the last write. Both
// are programs that load as the host (the loader sees only its sections),
// neither is taken for infected by a new scan, and the one after the cut is
// the host but for the worm's entries and record in its header slack.
std::string g_snapshot_of;
std::vector<s::Bytes> g_snapshots;
void take_snapshot() { g_snapshots.push_back(s::read_file(g_snapshot_of)); }

TEST_F(FaultSweepTest, AKillBetweenTheWritesLeavesARunnableHost) {
  const s::Bytes host = s::build_pe(s::typical_host(4));
  const s::Bytes original = s::infect(host), repaired = s::with_infection_flags(host);
  const Scenario& disinfect = krelvon::test::kScenarios[0];
  krelvon::test::TempDir dir;
  g_snapshots.clear();
  for (const faults::Call call : {faults::Call::kChsize, faults::Call::kWrite}) {
    g_snapshot_of = dir.write("target.exe", original);
    // The cut is the only _chsize; the worm's entries are the second _write.
    faults::hook(call, call == faults::Call::kChsize ? 1 : 2, &take_snapshot);
    krelvon::test::run_scenario(disinfect, g_snapshot_of);
    faults::disarm();
    EXPECT_EQ(s::read_file(g_snapshot_of), repaired);
  }
  ASSERT_EQ(g_snapshots.size(), 2u);
  const s::Bytes& before_cut = g_snapshots[0];
  const s::Bytes& before_wipe = g_snapshots[1];
  // Before the cut: the host's headers up to its section table, the
  // worm's body still behind the host's data.
  const auto table_end = static_cast<long>(s::get32(host, 60) + 248 + 40 * 4);
  const auto host_end = static_cast<long>(host.size());
  ASSERT_EQ(before_cut.size(), original.size());
  EXPECT_EQ(s::pe32_layout_problem(before_cut), "");
  EXPECT_TRUE(std::equal(before_cut.begin(), before_cut.begin() + table_end, repaired.begin()));
  EXPECT_TRUE(std::equal(before_cut.begin() + host_end, before_cut.end(), original.begin() + host_end));
  // After the cut: the host, but for the 156 bytes behind its section table.
  ASSERT_EQ(before_wipe.size(), repaired.size());
  EXPECT_EQ(s::pe32_layout_problem(before_wipe), "");
  EXPECT_TRUE(std::equal(before_wipe.begin(), before_wipe.begin() + table_end, repaired.begin()));
  EXPECT_TRUE(std::equal(before_wipe.begin() + table_end + 3 * 40 + 36, before_wipe.end(),
                         repaired.begin() + table_end + 3 * 40 + 36));
  EXPECT_NE(s::Bytes(before_wipe.begin() + table_end, before_wipe.begin() + table_end + 4),
            s::Bytes(4, 0)) << "the worm's entries tell the interrupted repair";
  // A new scan: neither is taken for infected.
  for (const s::Bytes& state : g_snapshots) {
    window->lines.clear();
    krelvon::test::automatic(krelvon::kActionIgnore);
    const int infected = g_scan.files_infected;
    krelvon::run_threat_table(dir.write("rescan.exe", state).c_str());
    EXPECT_EQ(g_scan.files_infected, infected);
    EXPECT_TRUE(window->lines.empty());
  }
}

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
