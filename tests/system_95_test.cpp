// The 95-line routes under Wine reporting Windows 98 to this program: the
// memory phase with the runnable worm sample, and terminate processes by
// file on a real Toolhelp snapshot. Wine's Toolhelp gives a process's file
// name without its folder, so each test works in the folder of the programs
// it runs, where that name resolves.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/scan_context.h"
#include "handlers/signatures.h"
#include "system/memory_phase.h"
#include "system/processes.h"
#include "system/terminate.h"
#include "system/version.h"
#include "tests/support.h"
#include "tests/system_support.h"

using krelvon::g_scan;
using krelvon::test::file_exists;
using krelvon::test::prompted_objects;
using krelvon::test::RunningProgram;
using krelvon::test::TempDir;

namespace {

// The current folder for the length of a test.
class InFolder {
 public:
  explicit InFolder(const std::string& folder) {
    GetCurrentDirectoryA(sizeof saved_, saved_);
    SetCurrentDirectoryA(folder.c_str());
  }
  ~InFolder() { SetCurrentDirectoryA(saved_); }
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  char saved_[MAX_PATH] = {};
};

class MemoryPhase95 : public krelvon::test::WormSampleTest {
 protected:
  void SetUp() override {
    WormSampleTest::SetUp();
    ASSERT_EQ(krelvon::platform_line(), krelvon::kPlatform95);
    write_sample("");
  }
};

TEST_F(MemoryPhase95, RenameEndsTheProcessByFileNameAndTheSecondPassRenamesTheFile) {
  InFolder here(dir.path());
  RunningProgram worm(path);
  ASSERT_TRUE(worm.ok());
  ASSERT_FALSE(worm.ended(100)) << "the runnable sample does not run";
  krelvon::test::answer_prompt_with(krelvon::kActionRename);
  krelvon::memory_phase();
  EXPECT_EQ(prompted_objects(), std::vector<std::string>{"System Memory"});
  EXPECT_TRUE(worm.ended());
  EXPECT_FALSE(file_exists(path));
  std::string renamed = file_name;
  renamed[renamed.rfind('.') + 1] = 'V';
  EXPECT_TRUE(file_exists(dir / renamed));
  EXPECT_EQ(window->lines, (std::vector<std::string>{krelvon::kSystemMemoryLine,
                                                     file_name + "     W32/BugBear.B.Worm renamed"}));
  EXPECT_EQ(g_scan.files_scanned, 0);
  EXPECT_EQ(g_scan.files_renamed, 1);
  EXPECT_FALSE(g_scan.memory_phase);
}

TEST_F(MemoryPhase95, DeleteEndsTheProcessAndTheSecondPassDeletesTheFile) {
  InFolder here(dir.path());
  RunningProgram worm(path);
  ASSERT_TRUE(worm.ok());
  krelvon::test::answer_prompt_with(krelvon::kActionDelete);
  krelvon::memory_phase();
  EXPECT_EQ(prompted_objects(), std::vector<std::string>{"System Memory"});
  EXPECT_TRUE(worm.ended());
  EXPECT_FALSE(file_exists(path));
  EXPECT_EQ(window->lines, (std::vector<std::string>{krelvon::kSystemMemoryLine,
                                                     file_name + "     W32/BugBear.B.Worm deleted"}));
  EXPECT_EQ(g_scan.files_deleted, 1);
  EXPECT_EQ(g_scan.files_scanned, 0);
}

TEST_F(MemoryPhase95, IgnoreLeavesItRunning) {
  InFolder here(dir.path());
  RunningProgram worm(path);
  ASSERT_TRUE(worm.ok());
  krelvon::test::answer_prompt_with(krelvon::kActionIgnore);
  krelvon::memory_phase();
  EXPECT_EQ(prompted_objects(), std::vector<std::string>{"System Memory"});
  EXPECT_FALSE(worm.ended(100));
  EXPECT_TRUE(file_exists(path));
  EXPECT_TRUE(window->lines.empty());
}

// A prompt ended without an answer, after an earlier Delete: the process
// runs on and its file stays, as with Ignore.
TEST_F(MemoryPhase95, APromptWithoutAnAnswerLeavesItRunning) {
  InFolder here(dir.path());
  RunningProgram worm(path);
  ASSERT_TRUE(worm.ok());
  g_scan.chosen_action = krelvon::kActionDelete;
  krelvon::test::answer_prompt_with(IDCANCEL);
  krelvon::memory_phase();
  EXPECT_EQ(prompted_objects(), std::vector<std::string>{"System Memory"});
  EXPECT_FALSE(worm.ended(100));
  EXPECT_TRUE(file_exists(path));
  EXPECT_TRUE(window->lines.empty());
}

TEST_F(MemoryPhase95, AFileNameThatDoesNotResolveIsNeverAskedAbout) {
  TempDir elsewhere;
  InFolder there(elsewhere.path());
  RunningProgram worm(path);
  ASSERT_TRUE(worm.ok());
  krelvon::test::answer_prompt_with(krelvon::kActionRename);
  krelvon::memory_phase();
  EXPECT_TRUE(prompted_objects().empty());
  EXPECT_FALSE(worm.ended(100));
  EXPECT_TRUE(file_exists(path));
}

// Copies of the sleeper in a folder of the test, which is also the current
// folder.
class Terminate95 : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(krelvon::platform_line(), krelvon::kPlatform95);
    here = std::make_unique<InFolder>(dir.path());
  }
  std::string copy(const std::string& name) {
    const std::string p = dir / name;
    EXPECT_TRUE(krelvon::test::copy_sleeper(p));
    return p;
  }
  TempDir dir;
  std::unique_ptr<InFolder> here;
};

// Position of a process in a fresh snapshot, -1 when absent.
int snapshot_position(DWORD id) {
  krelvon::ProcessList list;
  krelvon::toolhelp_process_list(&list);
  int i = 0;
  for (const krelvon::ProcessRecord* r = list.first(); r != nullptr; r = r->next, ++i)
    if (r->id == id) return i;
  return -1;
}

TEST_F(Terminate95, OfTwoCopiesOnlyTheFirstInSnapshotOrderEnds) {
  const std::string wormy = copy("wormy.exe");
  RunningProgram a(wormy), b(wormy), other(copy("other.exe"));
  ASSERT_TRUE(a.ok() && b.ok() && other.ok());
  const int pa = snapshot_position(a.id()), pb = snapshot_position(b.id());
  ASSERT_GE(pa, 0);
  ASSERT_GE(pb, 0);
  const RunningProgram& first = pa < pb ? a : b;
  const RunningProgram& second = pa < pb ? b : a;
  // Folders and case do not count: the file name does.
  EXPECT_EQ(krelvon::terminate_processes_by_file("Q:\\elsewhere\\WORMY.EXE"), 1);
  EXPECT_TRUE(first.ended());
  EXPECT_FALSE(second.ended(100));
  EXPECT_EQ(krelvon::terminate_processes_by_file(wormy.c_str()), 1);
  EXPECT_TRUE(second.ended());
  EXPECT_EQ(krelvon::terminate_processes_by_file(wormy.c_str()), 0);
  EXPECT_FALSE(other.ended(100));
}

TEST_F(Terminate95, NamesAreComparedWholeNotAsPrefixes) {
  RunningProgram longer(copy("wormy2.exe"));
  ASSERT_TRUE(longer.ok());
  EXPECT_EQ(krelvon::terminate_processes_by_file("C:\\wormy.exe"), 0);
  EXPECT_EQ(krelvon::terminate_processes_by_file("C:\\wormy"), 0);
  EXPECT_FALSE(longer.ended(100));
}

TEST(Lists95, TheToolhelpListHoldsTheRunningPrograms) {
  TempDir dir;
  const std::string p = dir / "listed.exe";
  ASSERT_TRUE(krelvon::test::copy_sleeper(p));
  RunningProgram running(p);
  ASSERT_TRUE(running.ok());
  krelvon::ProcessList list;
  krelvon::toolhelp_process_list(&list);
  bool found = false;
  for (const krelvon::ProcessRecord* r = list.first(); r != nullptr; r = r->next)
    if (r->id == running.id()) {
      found = true;
      // Wine gives the file name alone; Windows 95 gave the full path.
      const std::string got = r->path;
      EXPECT_TRUE(got == "listed.exe" || got == p) << got;
    }
  EXPECT_TRUE(found);
}

}  // namespace
