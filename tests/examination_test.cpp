// One examination through both handlers, as the threat table runs them, on
// every kind of file a disk holds: how often each is read, that what the
// read-ahead plans from the first page is what the examination then reads,
// and that the handlers decide as they do each on its own. Runs natively
// and under Wine.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/scan_context.h"
#include "handlers/examination.h"
#include "handlers/header_image.h"
#include "handlers/infected_file.h"
#include "handlers/worm_file.h"
#include "tests/support.h"
#include "tools/samples.h"

using krelvon::g_scan;
namespace s = krelvon::samples;

namespace {

constexpr char kB[] = "W32/BugBear.B.Worm";

class ExaminationTest : public krelvon::test::ScanTest {
 protected:
  void SetUp() override {
    krelvon::test::ScanTest::SetUp();
    g_scan.handling_automatic = 1;
    g_scan.action_ignore = 1;
  }
  krelvon::test::TempDir dir;
};

s::Bytes noise(std::size_t n, std::uint32_t seed) {
  s::Bytes b(n);
  for (auto& c : b) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<std::uint8_t>(seed >> 16);
  }
  return b;
}

void put16(s::Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

struct Kind {
  std::string name;
  s::Bytes bytes;
  int reads;       // the reads of the file, both handlers together
  int planned;     // spans the read-ahead plans from the first page
  int recognised;  // what the table's handlers return: 1 for the first, 2 for the second, 0 none
};

TEST_F(ExaminationTest, EachKindOfFileIsReadOnlyAsFarAsTheRulesNeed) {
  std::vector<Kind> kinds;
  // Data: a header offset past the end of the file, past the first page
  // but inside the file, inside the first page; a file shorter than a page.
  s::Bytes past_end = noise(20000, 1);
  put16(past_end, 60, 30000);
  kinds.push_back({"data, header offset past its end", past_end, 1, 0, 0});
  s::Bytes past_page = noise(20000, 2);
  put16(past_page, 60, 9000);
  kinds.push_back({"data, header offset past the first page", past_page, 2, 1, 0});
  s::Bytes at_end = noise(20000, 3);
  put16(at_end, 60, 20000 - 23);  // the file header would end one byte past the file
  kinds.push_back({"data, file header one byte past its end", at_end, 1, 0, 0});
  s::Bytes in_page = noise(20000, 4);
  put16(in_page, 60, 100);
  kinds.push_back({"data, header offset in the first page", in_page, 1, 0, 0});
  s::Bytes short_file = noise(3000, 5);
  put16(short_file, 60, 2990);
  kinds.push_back({"data shorter than a page", short_file, 1, 0, 0});
  // Programs: a clean one, the worm's files, an infected host.
  kinds.push_back({"clean program", s::build_pe(s::typical_host(4)), 1, 0, 0});
  // Record 1's first page holds one pattern, the other lies 9 KiB on; the
  // first page of a 5632-byte worm file holds both of its patterns.
  kinds.push_back({"worm file, record 1", s::make_worm_file(0, 50688), 2, 0, 1});
  kinds.push_back({"worm file, record 2", s::make_worm_file(1, 5632), 1, 0, 1});
  kinds.push_back({"worm file, record 3", s::make_worm_file(2, 5632), 1, 0, 1});
  // The host: its first page, then the key windows and the body before
  // them, each read once for all 25 attempts' worth of windows.
  kinds.push_back({"infected host", s::infect(s::build_pe(s::typical_host(4))), 3, 0, 2});

  for (const Kind& k : kinds) {
    SCOPED_TRACE(k.name);
    const std::string path = dir.write(k.name + ".bin", k.bytes);
    int recognised = 0;
    int reads = 0;
    {
      krelvon::Examination file(path.c_str(), true);
      if (krelvon::handle_worm_file(kB, path.c_str(), file) != 0) recognised = 1;
      else if (krelvon::handle_infected_file(kB, path.c_str(), file) != 0 || g_scan.files_infected > 0) recognised = 2;
      reads = file.reads();
    }
    EXPECT_EQ(reads, k.reads);
    EXPECT_EQ(recognised, k.recognised);
    // The plan from the first page, as the readers make it.
    krelvon::FileSpan spans[krelvon::kMaxPlanned];
    const int got = static_cast<int>(std::min<std::size_t>(k.bytes.size(), krelvon::kFirstPage));
    const auto length = static_cast<std::int64_t>(k.bytes.size());
    const int planned = krelvon::plan_later_reads(k.bytes.data(), got, length, spans);
    EXPECT_EQ(planned, k.planned);
    if (k.name == "data, header offset past the first page") {
      ASSERT_EQ(planned, 1);
      EXPECT_EQ(spans[0].position, 9000);
      EXPECT_EQ(spans[0].count, krelvon::kSmallestRead);
    }
    // Each handler on its own decides the same.
    const int infected = g_scan.files_infected;
    const int alone = krelvon::handle_worm_file(kB, path.c_str()) != 0 ? 1
                      : (krelvon::handle_infected_file(kB, path.c_str()), g_scan.files_infected > infected) ? 2
                                                                                                             : 0;
    EXPECT_EQ(alone, k.recognised);
    g_scan.files_infected = 0;
  }
  EXPECT_TRUE(krelvon::test::skipped_entries().empty());
}

// Reads within one examination come from what it holds; a given-back
// descriptor keeps them, a new opening reads afresh.
TEST_F(ExaminationTest, HeldReadsServeTheSameBytesAndANewOpeningReadsAfresh) {
  s::Bytes b = noise(30000, 9);
  const std::string path = dir.write("data.bin", b);
  krelvon::Examination file(path.c_str(), false);
  const int fd = file.open();
  ASSERT_GE(fd, 0);
  std::uint8_t got[100];
  ASSERT_TRUE(file.read(10000, got, 100));
  EXPECT_EQ(std::memcmp(got, b.data() + 10000, 100), 0);
  ASSERT_TRUE(file.read(10000 + krelvon::kSmallestRead - 100, got, 100));  // inside the same read
  EXPECT_EQ(std::memcmp(got, b.data() + 10000 + krelvon::kSmallestRead - 100, 100), 0);
  EXPECT_EQ(file.reads(), 1);
  EXPECT_FALSE(file.read(29950, got, 100)) << "past the end: not read";
  EXPECT_FALSE(file.read(-1, got, 1));
  EXPECT_EQ(file.reads(), 1);
  const std::uint8_t* page = nullptr;
  EXPECT_EQ(file.first_page(&page), static_cast<int>(krelvon::kFirstPage));
  EXPECT_EQ(std::memcmp(page, b.data(), krelvon::kFirstPage), 0);
  EXPECT_EQ(file.reads(), 2);
  file.give_back(fd);
  EXPECT_EQ(file.open(), fd) << "the given-back descriptor";
  ASSERT_TRUE(file.read(10050, got, 20));
  EXPECT_EQ(file.reads(), 2);
  _close(fd);
  // A new opening (the handler before closed its descriptor to act).
  const int again = file.open();
  ASSERT_GE(again, 0);
  ASSERT_TRUE(file.read(10050, got, 20));
  EXPECT_EQ(std::memcmp(got, b.data() + 10050, 20), 0);
  EXPECT_EQ(file.reads(), 3);
  file.give_back(again);
}

}  // namespace
