// A file whose reads fail while the handlers examine it is reported as not
// examined, unless a handler recognised it all the same; a file that is only
// short is examined to its end and never reported. Reads are made to fail
// with the fault-injection build.
#include <gtest/gtest.h>

#include <string>

#include "engine/walker.h"
#include "platform/faults.h"
#include "tests/support.h"
#include "tools/samples.h"

namespace s = krelvon::samples;
namespace faults = krelvon::faults;
using krelvon::g_scan;
using krelvon::test::SkippedEntry;

namespace {

class UnreadableFileTest : public krelvon::test::ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    krelvon::set_threat_table(nullptr);
  }
  void TearDown() override {
    faults::disarm();
    ScanTest::TearDown();
  }
  // The table on a file with the nth read failing (0: none).
  std::vector<SkippedEntry> examine(const std::string& path, int failing_read) {
    krelvon::test::skipped_entries().clear();
    if (failing_read > 0)
      faults::arm(faults::Call::kRead, failing_read);
    else
      faults::disarm();
    krelvon::run_threat_table(path.c_str());
    faults::disarm();
    return krelvon::test::skipped_entries();
  }
  krelvon::test::TempDir dir;
};

TEST_F(UnreadableFileTest, AReadErrorIsReportedAndAShortFileIsNot) {
  const std::string program = dir.write("program.exe", s::build_pe(s::typical_host(3)));
  const std::string infected = dir.write("infected.exe", s::infect(s::build_pe(s::typical_host(4))));
  const std::string tiny = dir.write("tiny.exe", "MZ");
  const std::string empty = dir.write("empty.exe", "");
  const std::vector<SkippedEntry> read_error = {{program, krelvon::kSkipReadError}};

  // Read fully: nothing reported. Both handlers take the program's headers
  // from one read of its first page.
  EXPECT_TRUE(examine(program, 0).empty());
  faults::arm(faults::Call::kRead, 0);
  krelvon::run_threat_table(program.c_str());
  EXPECT_EQ(faults::calls(faults::Call::kRead), 1);
  faults::disarm();
  // That read fails for the worm-file handler: the program was not
  // examined by both (the infected-file handler reads it again, the second
  // read, which fails in no case here). No second read of a program read
  // whole at the first.
  EXPECT_EQ(examine(program, 1), read_error);
  EXPECT_TRUE(examine(program, 2).empty());
  EXPECT_EQ(g_scan.entries_skipped, 1);
  // Short files end early without an error.
  EXPECT_TRUE(examine(tiny, 0).empty());
  EXPECT_TRUE(examine(empty, 0).empty());
  // The worm-file handler cannot read the infected host, the infected-file
  // handler recognises it: a finding, not a skipped entry.
  const int infected_before = g_scan.files_infected;
  EXPECT_TRUE(examine(infected, 1).empty());
  EXPECT_EQ(g_scan.files_infected, infected_before + 1);
}

}  // namespace
