// A file that changes between the handler's check and its action: another
// file is put at the path (the examined one moved away, a copy renamed onto
// its name), or the file is cut short or grows between two reads. A hook of
// the fault-injection layer makes the change right before the chosen call
// of a file function. The file put at the path must stay exactly as it was,
// a changed file must not be written, and no line may claim an action that
// did not happen to the examined file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "engine/scan_context.h"
#include "platform/faults.h"
#include "tests/handler_scenarios.h"
#include "tests/support.h"
#include "tools/samples.h"

using krelvon::g_scan;
namespace fs = std::filesystem;
namespace s = krelvon::samples;
namespace faults = krelvon::faults;

namespace {

using krelvon::test::kScenarios;
using krelvon::test::Scenario;

bool claims_success(const std::vector<std::string>& lines) {
  for (const auto& l : lines)
    if (krelvon::test::claims_success(l)) return true;
  return false;
}

// What the hooks work on; set before each run.
struct Change {
  std::string path, moved, substitute;
  s::Bytes appended;
  bool done = false;
  bool gone = false;  // nothing at the path any more (renamed or deleted)
} g_change;

// The examined file goes to another name and a copy of it, made earlier and
// read-only, takes its place: same bytes, another file.
void swap_files() {
  std::error_code ec;
  g_change.gone = !fs::exists(fs::symlink_status(g_change.path, ec));
  fs::rename(g_change.path, g_change.moved, ec);
  if (ec) return;  // gone, or held open (Windows): the file cannot be moved now
  fs::rename(g_change.substitute, g_change.path, ec);
  g_change.done = !ec;
}

void shrink_file() {
  std::error_code ec;
  fs::resize_file(g_change.path, 100, ec);
  g_change.done = !ec;
}

void grow_file() {
  // Through a stream of the runtime: the handler's descriptor stays open.
  FILE* f = std::fopen(g_change.path.c_str(), "ab");
  if (f == nullptr) return;
  g_change.done = std::fwrite(g_change.appended.data(), 1, g_change.appended.size(), f) == g_change.appended.size();
  g_change.done = std::fclose(f) == 0 && g_change.done;
}

class ChangedFileTest : public krelvon::test::ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    host = s::build_pe(s::typical_host(4));
  }
  void TearDown() override {
    faults::disarm();
    ScanTest::TearDown();
  }
  s::Bytes original(const Scenario& sc) const { return sc.worm_file ? s::make_worm_file(0, 50688) : s::infect(host); }

  // Runs the scenario on a fresh file with `hook` before the nth call of
  // `call` (nth 0: no hook); returns the number of such calls seen.
  int run(const Scenario& sc, faults::Call call, int nth, void (*hook)()) {
    window->lines.clear();
    reset_counters();
    name = "run" + std::to_string(++run_count);
    const s::Bytes bytes = original(sc);
    g_change = Change{};
    g_change.path = dir.write(name + "/target.exe", bytes);
    g_change.moved = dir / (name + "/moved.exe");
    g_change.substitute = dir.write(name + "/substitute.exe", bytes);
    g_change.appended = s::Bytes(4096, 0x5A);
    SetFileAttributesA(g_change.substitute.c_str(), FILE_ATTRIBUTE_READONLY);
    substitute_attributes = GetFileAttributesA(g_change.substitute.c_str());
    if (nth > 0)
      faults::hook(call, nth, hook);
    else
      faults::disarm();
    krelvon::test::run_scenario(sc, g_change.path);
    const int seen = faults::calls(call);
    faults::disarm();
    return seen;
  }
  void reset_counters() {
    g_scan.files_infected = g_scan.files_disinfected = g_scan.files_renamed = g_scan.files_deleted = 0;
  }
  int done_count() const { return g_scan.files_disinfected + g_scan.files_renamed + g_scan.files_deleted; }
  std::string context(const Scenario& sc, faults::Call call, int nth) const {
    std::string lines;
    for (const auto& l : window->lines) lines += "\n  " + l;
    return std::string(sc.name) + ", before " + faults::name(call) + " #" + std::to_string(nth) + lines;
  }

  krelvon::test::TempDir dir;
  std::string name;  // the folder of the current run
  int run_count = 0;
  s::Bytes host;
  DWORD substitute_attributes = 0;
};

// The swap at every point after the file was opened for examination: before
// each identity check, each close and the opening for writing.
TEST_F(ChangedFileTest, AFileSwappedInAfterTheCheckIsNeverTouched) {
  for (const auto& sc : kScenarios) {
    int swaps = 0;
    for (const faults::Call call : {faults::Call::kPathIdentity, faults::Call::kClose, faults::Call::kOpen}) {
      const int total = run(sc, call, 0, nullptr);
      for (int nth = call == faults::Call::kOpen ? 2 : 1; nth <= total; ++nth) {
        run(sc, call, nth, &swap_files);
        const std::string where = context(sc, call, nth);
        if (!g_change.done) {
          // The action already took the file away, or (Windows only) the
          // handler's own descriptor keeps it in place.
#ifndef _WIN32
          EXPECT_TRUE(g_change.gone) << "no swap: " << where;
#endif
          continue;
        }
        ++swaps;
        // The file at the path now is the substitute, exactly as it was.
        EXPECT_EQ(s::read_file(g_change.path), original(sc)) << where;
        EXPECT_EQ(GetFileAttributesA(g_change.path.c_str()), substitute_attributes) << where;
        EXPECT_NE(_access((dir / (name + "/target.Vxe")).c_str(), 0), 0) << where;
        const s::Bytes examined = s::read_file(g_change.moved);
        if (claims_success(window->lines)) {
          // Only an action completed before the swap may be reported: then
          // the examined file, now moved, is the disinfected host.
          EXPECT_EQ(sc.action, krelvon::kActionDisinfect) << where;
          EXPECT_EQ(examined, s::with_infection_flags(host)) << where;
          EXPECT_EQ(g_scan.files_disinfected, 1) << where;
        } else {
          EXPECT_EQ(examined, original(sc)) << where;
          EXPECT_EQ(done_count(), 0) << where;
        }
      }
    }
    // At least the swaps after the last close reach every scenario.
    EXPECT_GT(swaps, 0) << sc.name;
  }
}

// A shrink before each read of the check or of the disinfection: the read
// comes up short and nothing is done; the handler writes nothing. (The
// worm file is examined with two reads: its first page, which holds the
// headers and one of the patterns, and the other pattern; the host with
// seven, its key windows and body among them, each read once.)
TEST_F(ChangedFileTest, AFileCutShortBetweenReadsIsLeftAlone) {
  int shrunk = 0;
  for (const auto& sc : {kScenarios[0], kScenarios[4]}) {
    const int total = run(sc, faults::Call::kRead, 0, nullptr);
    ASSERT_GT(total, 1);
    for (int nth = 1; nth <= total; ++nth) {
      run(sc, faults::Call::kRead, nth, &shrink_file);
      const std::string where = context(sc, faults::Call::kRead, nth);
      ASSERT_TRUE(g_change.done) << where;
      ++shrunk;
      const s::Bytes whole = original(sc);
      EXPECT_EQ(s::read_file(g_change.path), s::Bytes(whole.begin(), whole.begin() + 100)) << where;
      EXPECT_FALSE(claims_success(window->lines)) << where;
      EXPECT_EQ(done_count(), 0) << where;
    }
  }
  EXPECT_GE(shrunk, 9);
}

// Growth before any read, and before the opening for writing: the
// disinfection refuses a file whose length is no longer the one examined,
// and leaves it as it is now. Growth while the repaired file is read back:
// the check of the result sees it, and the file is put back as examined.
TEST_F(ChangedFileTest, AFileThatGrewSinceTheCheckIsNotDisinfected) {
  const Scenario& sc = kScenarios[0];
  const int reads = run(sc, faults::Call::kRead, 0, nullptr);
  struct Point {
    faults::Call call;
    int nth;
  };
  std::vector<Point> points = {{faults::Call::kOpen, 2}};
  for (int nth = 1; nth <= reads; ++nth) points.push_back({faults::Call::kRead, nth});
  int refused = 0, put_back = 0;
  for (const Point& p : points) {
    run(sc, p.call, p.nth, &grow_file);
    const std::string where = context(sc, p.call, p.nth);
    ASSERT_TRUE(g_change.done) << where;
    s::Bytes grown = original(sc);
    grown.insert(grown.end(), g_change.appended.begin(), g_change.appended.end());
    const s::Bytes now = s::read_file(g_change.path);
    if (claims_success(window->lines)) {
      // Grown after the disinfection's own length check: the cut removes
      // what was added, and the result is the host.
      EXPECT_EQ(now, s::with_infection_flags(host)) << where;
    } else {
      ++refused;
      EXPECT_TRUE(now == grown || now == original(sc)) << where;
      put_back += now == original(sc);
      EXPECT_EQ(done_count(), 0) << where;
    }
  }
  // At least every change before the check's last read and the one before
  // the opening for writing are refused, and the read-back saw growth.
  EXPECT_GT(refused, reads / 2);
  EXPECT_GT(put_back, 0);
}

}  // namespace
