// The one surface between the engine and its front end: a scan whose
// front end is a set of recording callbacks, as krelvon-scan's are.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "engine/ask_for_action.h"
#include "engine/change_guard.h"
#include "engine/driver.h"
#include "engine/front_end.h"
#include "engine/scan_context.h"
#include "engine/walker.h"
#include "tests/support.h"
#include "tools/samples.h"

using krelvon::g_scan;

namespace {

struct Seen {
  std::vector<std::string> lines;
  std::vector<krelvon::FindingOutcome> outcomes;
  int objects = 0;
  std::vector<std::string> skipped;
  std::vector<std::string> asked;
  std::vector<std::string> guarded;
  int polls = 0;
  int cancel_at_poll = 0;  // 0: never
};
Seen g_seen;

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Keeps every change but a delete: the delete is refused, as a backup that
// cannot be made refuses it.
class RefuseDeletes final : public krelvon::ChangeGuard {
 public:
  bool before_change(const char* path, krelvon::ChangeKind kind, const char*) override {
    g_seen.guarded.push_back(std::string(kind == krelvon::ChangeKind::kDelete ? "before delete " : "before ") + path);
    return kind != krelvon::ChangeKind::kDelete;
  }
  void after_change(const char* path, krelvon::ChangeOutcome outcome, const char* new_path) override {
    g_seen.guarded.push_back(std::string(outcome == krelvon::ChangeOutcome::kRenamed ? "renamed " : "after ") + path +
                             (new_path ? std::string(" -> ") + new_path : ""));
  }
};

krelvon::FrontEnd recording_surface(krelvon::ChangeGuard* guard) {
  krelvon::FrontEnd f;
  f.line = [] {
    g_seen.lines.emplace_back(g_scan.line);
    if (g_scan.finding.kind != krelvon::FindingKind::kNone) g_seen.outcomes.push_back(g_scan.finding.outcome);
  };
  f.object = [] { ++g_seen.objects; };
  f.skipped = [](const char* path, const char* reason) { g_seen.skipped.push_back(std::string(path) + ": " + reason); };
  // The worm file named w.exe is renamed, every other finding deleted.
  f.ask = [](const char*, const char* object) {
    g_seen.asked.emplace_back(object);
    krelvon::prompt_command(ends_with(object, "w.exe") ? krelvon::kActionRename : krelvon::kActionDelete, false);
  };
  f.guard = guard;
  f.poll = [] {
    if (++g_seen.polls == g_seen.cancel_at_poll) krelvon::set_cancel(true);
  };
  return f;
}

class FrontEndTest : public krelvon::test::ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    g_seen = Seen{};
  }
  void TearDown() override {
    krelvon::set_front_end(krelvon::window_front_end());
    ScanTest::TearDown();
  }
};

TEST_F(FrontEndTest, EveryCallOfAScanReachesTheSurfaceAndNoneTheWindow) {
  krelvon::test::TempDir dir;
  const std::string renamed = dir.write("w.exe", krelvon::samples::make_worm_file(0, 50688));
  const std::string refused = dir.write("sub/x.dll", krelvon::samples::make_worm_file(2, 5632));
  dir.write("sub/notes.txt", "notes");
  std::vector<std::string> want_skipped;
#ifndef _WIN32
  const std::string fifo = dir / "sub/pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  want_skipped.push_back(fifo + ": " + krelvon::kSkipNotRegular);
#endif
  RefuseDeletes guard;
  krelvon::set_front_end(recording_surface(&guard));
  g_scan.handling_prompt = 1;
  krelvon::copy_text(g_scan.scan_path, dir.path().c_str());
  krelvon::scan_driver();

  // The progress window of the default surface heard nothing.
  EXPECT_TRUE(window->lines.empty());
  EXPECT_TRUE(window->objects.empty());
  // Each finding was asked about once, and acted on as answered: the
  // rename went through the guard, the refused delete failed.
  EXPECT_EQ(g_seen.asked.size(), 2u);
  ASSERT_EQ(g_seen.outcomes.size(), 2u);
  std::vector<krelvon::FindingOutcome> sorted = g_seen.outcomes;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<krelvon::FindingOutcome>{krelvon::FindingOutcome::kRenamed,
                                                          krelvon::FindingOutcome::kDeleteFailed}));
  EXPECT_TRUE(std::find(g_seen.guarded.begin(), g_seen.guarded.end(), "before delete " + refused) !=
              g_seen.guarded.end());
  EXPECT_TRUE(std::find(g_seen.guarded.begin(), g_seen.guarded.end(), "before " + renamed) != g_seen.guarded.end());
  EXPECT_EQ(GetFileAttributesA(refused.c_str()) == INVALID_FILE_ATTRIBUTES, false);
  EXPECT_EQ(GetFileAttributesA(renamed.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(g_seen.skipped, want_skipped);
  // Finding lines, then the statistics block with its blank line first.
  // The FIFO is counted as met, and named as not examined after the block.
  const bool fifo_met = !want_skipped.empty();
  ASSERT_EQ(g_seen.lines.size(), fifo_met ? 10u : 9u);
  EXPECT_EQ(g_seen.lines[2], " ");
  EXPECT_EQ(g_seen.lines[4], fifo_met ? "Total files scanned\t\t:  4" : "Total files scanned\t\t:  3");
  EXPECT_EQ(g_seen.lines[7], "Total files renamed\t\t:  1");
  EXPECT_EQ(g_seen.lines[8], "Total files deleted\t\t:  0");
  EXPECT_GT(g_seen.objects, 3);
  EXPECT_GE(g_seen.polls, 1);
  EXPECT_EQ(g_scan.cancel, 0);

  // The single-callback setters change their callback alone.
  krelvon::set_skip_listener(nullptr);
  krelvon::set_prompt_runner(nullptr);
  krelvon::set_change_guard(nullptr);
  EXPECT_EQ(krelvon::front_end().skipped, nullptr);
  EXPECT_EQ(krelvon::front_end().ask, nullptr);
  EXPECT_EQ(krelvon::front_end().guard, nullptr);
  EXPECT_NE(krelvon::front_end().line, nullptr);
  EXPECT_NE(krelvon::front_end().poll, nullptr);
}

TEST_F(FrontEndTest, ACancelTakenAtThePollEndsTheScan) {
  krelvon::test::TempDir dir;
  for (int i = 0; i < 4; ++i) dir.write("f" + std::to_string(i) + "/a.txt", "a");
  g_seen.cancel_at_poll = 1;
  krelvon::set_front_end(recording_surface(nullptr));
  g_scan.handling_automatic = 1;
  krelvon::copy_text(g_scan.scan_path, dir.path().c_str());
  krelvon::scan_driver();
  EXPECT_EQ(g_scan.cancel, 1);
  EXPECT_GE(g_seen.polls, 1);
  ASSERT_FALSE(g_seen.lines.empty());
  EXPECT_LT(g_scan.files_scanned, 4);
  EXPECT_EQ(std::string(g_scan.object), "Scanning terminated");
  krelvon::set_cancel(false);
  EXPECT_EQ(g_scan.cancel, 0);
}

}  // namespace
