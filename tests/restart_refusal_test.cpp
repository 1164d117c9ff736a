// A file in use whose operation cannot be left for the next start of
// Windows (the scheduling made to fail, as for a user without the right to
// write the system's pending operations): the finding stays "Delete failed"
// or "Rename failed", nothing is pending, the file is as it was, and the
// front end's restart_refused callback hears why. The file is held open
// by this process, sharing reading only, so the plain delete and rename
// fail for real.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/front_end.h"
#include "handlers/at_restart.h"
#include "platform/faults.h"
#include "tests/handler_scenarios.h"
#include "tests/support.h"
#include "tools/samples.h"

namespace s = krelvon::samples;
namespace t = krelvon::test;
namespace faults = krelvon::faults;
using krelvon::g_scan;

namespace {

std::vector<std::string> g_refusals;

class RestartRefusalTest : public t::ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    saved_ = krelvon::front_end();
    krelvon::FrontEnd surface = saved_;
    surface.restart_refused = [](const char* path, const char* why) {
      g_refusals.push_back(std::string(path) + ": " + why);
    };
    krelvon::set_front_end(surface);
  }
  void TearDown() override {
    faults::disarm();
    krelvon::set_front_end(saved_);
    ScanTest::TearDown();
  }
  krelvon::FrontEnd saved_;
  t::TempDir dir;
};

TEST_F(RestartRefusalTest, WithoutTheRightToScheduleTheActionFailsAsBefore) {
  const s::Bytes worm = s::make_worm_file(0, 50688);
  for (const auto& sc : t::kScenarios) {
    if (!sc.worm_file) continue;
    g_refusals.clear();
    g_scan.restart_pending = false;
    const std::string path = dir.write(std::string("held") + std::to_string(sc.action) + ".exe", worm);
    const HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    faults::arm(faults::Call::kScheduleAtRestart, 1);
    window->lines.clear();
    t::run_scenario(sc, path);
    const int scheduling_calls = faults::calls(faults::Call::kScheduleAtRestart);
    faults::disarm();
    CloseHandle(held);
    const char* failed = sc.action == krelvon::kActionRename ? " Rename failed" : " Delete failed";
    EXPECT_EQ(window->lines, std::vector<std::string>{path + "     W32/BugBear.B.Worm" + failed}) << sc.name;
    EXPECT_EQ(scheduling_calls, 1) << sc.name;
    EXPECT_FALSE(g_scan.restart_pending) << sc.name;
    ASSERT_EQ(g_refusals.size(), 1u) << sc.name;
    EXPECT_NE(g_refusals[0].find("no right to write the Session Manager's pending operations"), std::string::npos);
    EXPECT_EQ(s::read_file(path), worm) << sc.name;
  }
}

}  // namespace
