// The memory phase on the NT line (Wine's default version), with a real
// process running the runnable worm sample of the sample factory, and the
// virus-found prompt answered by a script.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/scan_context.h"
#include "handlers/signatures.h"
#include "system/memory_phase.h"
#include "system/runonce.h"
#include "system/version.h"
#include "tests/support.h"
#include "tests/system_support.h"
#include "tools/samples.h"

using krelvon::g_scan;
using krelvon::test::file_exists;
using krelvon::test::prompted_objects;
using krelvon::test::RunningProgram;

namespace {

class MemoryPhaseNt : public krelvon::test::WormSampleTest {
 protected:
  void SetUp() override {
    WormSampleTest::SetUp();
    ASSERT_EQ(krelvon::platform_line(), krelvon::kPlatformNT);
    write_sample("run");
  }
  void add_runonce_value(const std::string& data) {
    runonce_name = krelvon::test::unique_name("krelvon-test-");
    RegSetKeyValueA(HKEY_LOCAL_MACHINE, krelvon::kRunOnceKey, runonce_name.c_str(), REG_SZ, data.c_str(),
                    static_cast<DWORD>(data.size() + 1));
  }
  ~MemoryPhaseNt() override {
    if (!runonce_name.empty())
      RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, krelvon::kRunOnceKey, runonce_name.c_str());
  }

  std::string runonce_name;
};

TEST_F(MemoryPhaseNt, TheRunnableSampleSleepsForItsTimeAndExits) {
  const std::string short_run = dir.write("short.exe", krelvon::samples::make_runnable_worm_file(2, 300));
  RunningProgram sample(short_run);
  ASSERT_TRUE(sample.ok());
  EXPECT_TRUE(sample.ended(10000));
  EXPECT_EQ(sample.exit_code(), 0u);  // ExitProcess(0), not a fault
}

TEST_F(MemoryPhaseNt, DisinfectEndsTheProcessAndTheSecondPassDeletesTheFile) {
  add_runonce_value("C:\\WINDOWS\\" + file_name);
  RunningProgram worm(path);
  ASSERT_TRUE(worm.ok());
  ASSERT_FALSE(worm.ended(100)) << "the runnable sample does not run";
  krelvon::test::answer_prompt_with(krelvon::kActionDisinfect);
  krelvon::memory_phase();
  EXPECT_EQ(prompted_objects(), std::vector<std::string>{path});
  EXPECT_TRUE(worm.ended());
  EXPECT_FALSE(file_exists(path));
  // The first pass removes the RunOnce value; the second writes the memory
  // line and the action's line.
  EXPECT_EQ(window->lines, (std::vector<std::string>{krelvon::kSystemRegistryLine, krelvon::kSystemMemoryLine,
                                                     path + "     W32/BugBear.B.Worm deleted"}));
  // Their records: the RunOnce value deleted, the process's file with the
  // action it was ended for, and the file itself.
  ASSERT_EQ(window->findings.size(), 3u);
  EXPECT_EQ(window->findings[0].kind, krelvon::FindingKind::kSystemRegistry);
  EXPECT_EQ(std::string(window->findings[0].path),
            std::string("HKEY_LOCAL_MACHINE\\") + krelvon::kRunOnceKey + "\\" + runonce_name);
  EXPECT_EQ(window->findings[1].kind, krelvon::FindingKind::kSystemMemory);
  EXPECT_EQ(window->findings[1].action, krelvon::kActionDisinfect);
  EXPECT_EQ(std::string(window->findings[1].path), path);
  EXPECT_EQ(window->findings[2].kind, krelvon::FindingKind::kWormFile);
  EXPECT_EQ(window->findings[2].action, krelvon::kActionDelete);
  EXPECT_EQ(g_scan.files_scanned, 0);
  EXPECT_EQ(g_scan.files_deleted, 1);
  EXPECT_FALSE(g_scan.memory_phase);
  EXPECT_EQ(g_scan.memory_action, krelvon::kActionNone);
}

TEST_F(MemoryPhaseNt, RenameDeleteAndIgnoreLeaveItRunningAndWriteNoLine) {
  RunningProgram worm(path);
  ASSERT_TRUE(worm.ok());
  for (int action : {krelvon::kActionRename, krelvon::kActionDelete, krelvon::kActionIgnore}) {
    SCOPED_TRACE(action);
    krelvon::test::answer_prompt_with(action);
    krelvon::memory_phase();
    // Found again by every run: asked once each time.
    EXPECT_EQ(prompted_objects(), std::vector<std::string>{path});
    EXPECT_FALSE(worm.ended(100));
    EXPECT_TRUE(file_exists(path));
  }
  EXPECT_TRUE(window->lines.empty());
  EXPECT_EQ(g_scan.files_scanned, 0);
  EXPECT_EQ(g_scan.files_renamed + g_scan.files_deleted, 0);
}

TEST_F(MemoryPhaseNt, AProcessRunningNoWormIsNotAskedAbout) {
  const std::string sleeper = dir / ("run/" + krelvon::test::unique_name("krvclean") + ".exe");
  ASSERT_TRUE(krelvon::test::copy_sleeper(sleeper));
  RunningProgram clean(sleeper);
  ASSERT_TRUE(clean.ok());
  krelvon::test::answer_prompt_with(krelvon::kActionDisinfect);
  krelvon::memory_phase();
  EXPECT_TRUE(prompted_objects().empty());
  EXPECT_FALSE(clean.ended(100));
  EXPECT_TRUE(window->lines.empty());
}

}  // namespace
