// Every failure point of a scan with the backup installed, and of the
// restore after it: the Nth call of each file function fails in turn (the
// handlers' calls and the backup's own: fsync, metadata, mode and times).
// A scan must end either with the action complete and the original kept
// (the restore brings it back byte for byte), or with the file as it was
// and a failure line (or none). A restore must leave each path holding
// either the original, whole, or what the scan left, never anything in
// between nor a temporary file; it says 0 only when the original is back.
// The tables of both sweeps are printed.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "backup/backup.h"
#include "engine/change_guard.h"
#include "engine/scan_context.h"
#include "platform/faults.h"
#include "tests/handler_scenarios.h"
#include "tests/support.h"
#include "tools/samples.h"

namespace fs = std::filesystem;
namespace s = krelvon::samples;
namespace faults = krelvon::faults;
using krelvon::test::claims_success;
using krelvon::test::ends_with;
using krelvon::test::Scenario;

namespace {

bool present(const std::string& path) { return _access(path.c_str(), 0) == 0; }

// No temporary file of the restore is left beside the files.
bool no_leftovers(const std::string& folder) {
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().filename().string().find(".krelvon-restore-") != std::string::npos) return false;
  return true;
}

class BackupFaultTest : public krelvon::test::ScanTest {
 protected:
  void TearDown() override {
    faults::disarm();
    krelvon::set_change_guard(nullptr);
    ScanTest::TearDown();
  }

  struct Files {
    krelvon::test::TempDir dir;
    s::Bytes original, cleaned;
    std::string folder, path, renamed, backup;
  };

  void prepare(const Scenario& sc, Files& f) {
    const s::Bytes host = s::build_pe(s::typical_host(4));
    f.original = sc.worm_file ? s::make_worm_file(0, 50688) : s::infect(host);
    f.cleaned = s::with_infection_flags(host);
    f.folder = f.dir.mkdir("data");
    f.path = f.dir.write("data/target.exe", f.original);
    f.renamed = f.dir / "data/target.Vxe";
    f.backup = f.dir / "B";
  }

  // The scenario with the backup installed and the nth call of `call`
  // failing (nth 0: none).
  void scan(const Scenario& sc, Files& f, faults::Call call, int nth, int* calls_seen) {
    krelvon::cli::Backup backup;
    std::string error;
    faults::disarm();
    ASSERT_TRUE(backup.open(f.backup, {f.folder}, &error)) << error;
    krelvon::set_change_guard(&backup);
    window->lines.clear();
    if (nth > 0)
      faults::arm(call, nth);
    else
      faults::disarm();
    krelvon::test::run_scenario(sc, f.path);
    if (calls_seen) *calls_seen = faults::calls(call);
    faults::disarm();
    krelvon::set_change_guard(nullptr);
    backup.finish();
  }

  // What a scan left: the action complete, or the file as it was.
  enum class State { kComplete, kUnchanged, kOther };
  static State state(const Scenario& sc, const Files& f, const std::string& line) {
    const bool at_path = present(f.path);
    if (at_path && s::read_file(f.path) == f.original && !present(f.renamed) && !claims_success(line))
      return State::kUnchanged;
    bool complete;
    if (sc.action == krelvon::kActionDisinfect && !sc.worm_file)
      complete = ends_with(line, " Disinfected") && at_path && s::read_file(f.path) == f.cleaned;
    else if (sc.action == krelvon::kActionRename)
      complete = ends_with(line, " renamed") && !at_path && s::read_file(f.renamed) == f.original;
    else
      complete = ends_with(line, " deleted") && !at_path;
    return complete ? State::kComplete : State::kOther;
  }

  int restore(const Files& f) {
    std::FILE* sink = std::tmpfile();
    const int status = krelvon::cli::restore(f.backup, {}, false, sink, sink);
    std::fclose(sink);
    return status;
  }

  bool original_back(const Files& f) {
    return present(f.path) && s::read_file(f.path) == f.original && !present(f.renamed) && no_leftovers(f.folder);
  }
};

const char* text(bool ok) { return ok ? "ok" : "BROKEN"; }

TEST_F(BackupFaultTest, EveryFailingCallOfAScanEndsBackedUpOrUnchanged) {
  std::printf("%-26s | %-24s | %-9s | %s\n", "scenario", "failure point", "outcome", "finding line");
  int points = 0, backed_up = 0;
  for (const Scenario& sc : krelvon::test::kScenarios) {
    for (int c = 0; c < static_cast<int>(faults::Call::kCount); ++c) {
      const auto call = static_cast<faults::Call>(c);
      int total = 0;
      {
        Files f;
        prepare(sc, f);
        scan(sc, f, call, 0, &total);
        ASSERT_EQ(state(sc, f, window->lines.back()), State::kComplete) << sc.name;
      }
      for (int nth = 1; nth <= total; ++nth) {
        Files f;
        prepare(sc, f);
        scan(sc, f, call, nth, nullptr);
        const std::string line = window->lines.empty() ? "" : window->lines.back();
        const State st = state(sc, f, line);
        // Complete: the original must come back; unchanged: the restore
        // must leave it so.
        const int status = restore(f);
        const bool ok = st != State::kOther && original_back(f) && (st == State::kUnchanged || status == 0);
        ++points;
        if (st == State::kComplete) ++backed_up;
        const std::string point = std::string(faults::name(call)) + " #" + std::to_string(nth);
        const auto cut = line.rfind("     ");
        std::printf("%-26s | %-24s | %-9s | %s\n", sc.name, point.c_str(),
                    st == State::kComplete ? "complete" : st == State::kUnchanged ? "unchanged" : text(false),
                    cut == std::string::npos ? "(none)" : line.substr(cut + 5).c_str());
        EXPECT_TRUE(ok) << sc.name << ", " << point << ": " << line << " (restore " << status << ")";
      }
    }
  }
  std::printf("%d failure points, %d of them complete and put back by the restore\n", points, backed_up);
  EXPECT_GT(points, 150);
}

TEST_F(BackupFaultTest, EveryFailingCallOfARestoreLeavesTheOriginalOrWhatTheScanLeft) {
  std::printf("%-26s | %-24s | %s\n", "scenario", "failure point", "restore");
  int points = 0;
  for (const Scenario& sc : krelvon::test::kScenarios) {
    for (int c = 0; c < static_cast<int>(faults::Call::kCount); ++c) {
      const auto call = static_cast<faults::Call>(c);
      int total = -1;
      for (int nth = 0; nth <= total || total < 0; ++nth) {
        Files f;
        prepare(sc, f);
        scan(sc, f, call, 0, nullptr);
        const std::string line = window->lines.back();
        ASSERT_EQ(state(sc, f, line), State::kComplete) << sc.name;
        faults::arm(call, nth);
        const int status = restore(f);
        if (nth == 0) total = faults::calls(call);
        faults::disarm();
        // Each path holds the original or what the scan left there; the
        // status is 0 only when the original is back and nothing else.
        const bool back = original_back(f);
        const bool scan_left_path = sc.action == krelvon::kActionDisinfect && !sc.worm_file
                                        ? s::read_file(f.path) == f.cleaned
                                        : !present(f.path);
        const bool path_ok = (present(f.path) && s::read_file(f.path) == f.original) || scan_left_path;
        const bool renamed_ok = !present(f.renamed) || s::read_file(f.renamed) == f.original;
        const bool left = scan_left_path && renamed_ok;
        const bool ok = no_leftovers(f.folder) && (status == 0 ? back : path_ok && renamed_ok);
        if (nth == 0) {
          EXPECT_EQ(status, 0) << sc.name;
          EXPECT_TRUE(back) << sc.name;
          continue;
        }
        ++points;
        const std::string point = std::string(faults::name(call)) + " #" + std::to_string(nth);
        std::printf("%-26s | %-24s | status %d, %s%s\n", sc.name, point.c_str(), status,
                    back                      ? "original back"
                    : left                    ? "as the scan left it"
                    : path_ok && renamed_ok ? "original back, renamed file kept"
                                              : "neither the original nor what the scan left",
                    ok ? "" : " BROKEN");
        EXPECT_TRUE(ok) << sc.name << ", " << point << ": status " << status;
      }
    }
  }
  std::printf("%d failure points of the restore\n", points);
  EXPECT_GT(points, 50);
}

}  // namespace
