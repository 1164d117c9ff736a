// Terminate processes by file on the NT line, with real processes: Wine's
// performance data holds no process object, so the table is built by the
// parser from a crafted block naming the real process ids.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "system/perf_data.h"
#include "system/terminate.h"
#include "system/version.h"
#include "tests/support.h"
#include "tests/system_support.h"
#include "tools/perf_builder.h"

namespace s = krelvon::samples;
using krelvon::PerfTable;
using krelvon::test::RunningProgram;
using krelvon::test::TempDir;

namespace {

constexpr long kIdTitle = 784;

// Copies of the sleeper under the given names, in a folder of the test.
class Sleepers {
 public:
  std::string copy(const std::string& name) {
    const std::string path = dir_ / name;
    if (!krelvon::test::copy_sleeper(path))
      ADD_FAILURE() << "cannot copy the sleeper to " << path;
    return path;
  }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
};

PerfTable& table_of(const std::vector<s::PerfInstance>& instances) {
  static PerfTable table;
  s::PerfLayout layout;
  layout.instances = instances;
  const s::Bytes block = s::perf_block(layout);
  krelvon::parse_perf_block(block.data(), block.size(), kIdTitle, &table);
  return table;
}

TEST(TerminateNt, EndsEveryMatchingSlotAndNothingElse) {
  Sleepers sleepers;
  const std::string wormy = sleepers.copy("wormy.exe");
  const std::string other = sleepers.copy("other.exe");
  RunningProgram first(wormy), second(wormy), unrelated(other);
  ASSERT_TRUE(first.ok() && second.ok() && unrelated.ok());
  const PerfTable& table = table_of({{u"Idle", 0},
                                     {u"wormy", first.id()},
                                     {u"other", unrelated.id()},
                                     {u"wormy", second.id()}});
  ASSERT_EQ(table.count, 4);
  EXPECT_EQ(krelvon::terminate_matching_slots(table, wormy.c_str()), 1);
  EXPECT_TRUE(first.ended());
  EXPECT_TRUE(second.ended());
  EXPECT_FALSE(unrelated.ended(300));
}

TEST(TerminateNt, TheTargetIsAPrefixWithoutRegardToCase) {
  Sleepers sleepers;
  const std::string path = sleepers.copy("wormy2.exe");
  RunningProgram wormy2(path), upper(path), shorter(path), inside(path);
  ASSERT_TRUE(wormy2.ok() && upper.ok() && shorter.ok() && inside.ok());
  // The file C:\DIR\WORMY.EXE gives the target WORMY.
  const PerfTable& table = table_of({{u"wormy2", wormy2.id()},
                                     {u"WoRmY", upper.id()},
                                     {u"worm", shorter.id()},
                                     {u"xwormy", inside.id()}});
  EXPECT_EQ(krelvon::terminate_matching_slots(table, "C:\\DIR\\WORMY.EXE"), 1);
  EXPECT_TRUE(wormy2.ended());
  EXPECT_TRUE(upper.ended());
  EXPECT_FALSE(shorter.ended(300));  // shorter than the target
  EXPECT_FALSE(inside.ended(100));   // contains it, does not begin with it
}

TEST(TerminateNt, ShortPathsAndAnEmptyTargetEndNothing) {
  Sleepers sleepers;
  const std::string path = sleepers.copy("a.exe");
  RunningProgram named(path), unnamed(path);
  ASSERT_TRUE(named.ok() && unnamed.ok());
  // The slot with the 17-character name is empty: an empty target would
  // match it and every other slot.
  const PerfTable& table = table_of({{u"a", named.id()}, {u"abcdefghijklmnopq", unnamed.id()}});
  ASSERT_STREQ(table.slots[1].name, "");
  EXPECT_EQ(krelvon::terminate_matching_slots(table, "a.ex"), 0);        // four characters
  EXPECT_EQ(krelvon::terminate_matching_slots(table, ".exe"), 0);        // four characters
  EXPECT_EQ(krelvon::terminate_matching_slots(table, "C:\\D\\.exe"), 0);  // empty target
  EXPECT_EQ(krelvon::terminate_matching_slots(table, "C:\\D\\"), 0);
  EXPECT_FALSE(named.ended(200));
  EXPECT_FALSE(unnamed.ended(100));
  // The five-character path "a.exe" is long enough: target A.
  EXPECT_EQ(krelvon::terminate_matching_slots(table, "a.exe"), 1);
  EXPECT_TRUE(named.ended());
  EXPECT_FALSE(unnamed.ended(100));
}

TEST(TerminateNt, ASlotThatCannotBeOpenedEndsNothing) {
  Sleepers sleepers;
  RunningProgram running(sleepers.copy("ghost.exe"));
  ASSERT_TRUE(running.ok());
  // Id 0 is stored as 0xFFFFFFFE, which no process has.
  const PerfTable& table = table_of({{u"ghost", 0}});
  ASSERT_EQ(table.slots[0].id, krelvon::kPerfIdZero);
  EXPECT_EQ(krelvon::terminate_matching_slots(table, "C:\\ghost.exe"), 0);
  EXPECT_FALSE(running.ended(200));
}

TEST(TerminateNt, TheSystemsOwnTableDecidesWhatEnds) {
  ASSERT_EQ(krelvon::platform_line(), krelvon::kPlatformNT);
  Sleepers sleepers;
  const std::string path = sleepers.copy("krvsleep.exe");
  RunningProgram running(path);
  ASSERT_TRUE(running.ok());
  static PerfTable table;
  krelvon::read_perf_process_table(&table);
  const int result = krelvon::terminate_processes_by_file(path.c_str());
  if (table.count == 0) {
    // Wine publishes no process object: nothing can be found or ended.
    std::printf("note: the performance data of this system has no process object\n");
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(running.ended(200));
  } else {
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(running.ended());
  }
}

}  // namespace
