// The scout of krelvon-scan --jobs: started by the walker's first miss, it
// counts the entries of the walk as the walker shows them, stays within its
// bound ahead of the walker, reads the first page of regular files only (no
// link, FIFO, nor anything in a folder reached through a link), rests while
// the cache serves, and stops at once when told, even while it waits.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <linux/io_uring.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "read_ahead/read_ahead.h"
#include "platform/posix/beneath.h"
#include "tests/support.h"

namespace {

using krelvon::cli::ReadAhead;
using Clock = std::chrono::steady_clock;

// Waits (up to 10 s) until the scout has counted `entries` entries and its
// readers have read `files` files, then a little longer to see that they go
// no further.
ReadAhead::Counts settle(const ReadAhead& ahead, std::uint64_t entries, std::uint64_t files = 0) {
  const auto until = Clock::now() + std::chrono::seconds(10);
  while ((ahead.counts().entries < entries || ahead.counts().files_read < files) && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return ahead.counts();
}

// Three misses of the walker's in a row: what starts the scout.
void miss(ReadAhead& ahead) {
  for (int i = 0; i < 3; ++i) ahead.walker_missed();
}

// Takes the file's pages out of the page cache, as on a cold disk.
void evict(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0) << path;
  fdatasync(fd);
  EXPECT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
  close(fd);
}

// The file's first page is not in the cache (a file system whose cache
// cannot be emptied, such as tmpfs, keeps it).
bool cold(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  char page[4096];
  iovec span{page, sizeof page};
  const bool out = fd >= 0 && preadv2(fd, &span, 1, 0, RWF_NOWAIT) < 0 && errno == EAGAIN;
  if (fd >= 0) close(fd);
  return out;
}

// root: a.exe, b.txt, link.exe (to a.exe), pipe.exe (a FIFO), sub/ with
// c.exe, and out/ (a link to a folder with 20 files): the walker shows 8
// entries of root (".", "..", 6 names) and 3 of sub, and examines 3 files.
void make_tree(krelvon::test::TempDir& dir, krelvon::test::TempDir& elsewhere) {
  // Not in the cache: the scout's first look sets the readers going.
  for (const char* name : {"root/a.exe", "root/b.txt", "root/sub/c.exe"}) evict(dir.write(name, "MZ"));
  for (int i = 0; i < 20; ++i) elsewhere.write("f" + std::to_string(i), "x");
  ASSERT_EQ(symlink("a.exe", (dir / "root/link.exe").c_str()), 0);
  ASSERT_EQ(symlink(elsewhere.path().c_str(), (dir / "root/out").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "root/pipe.exe").c_str(), 0644), 0);
}

// Every test of the scout runs with both ways of reading: through the
// kernel's queue and by each reader itself.
class ReadAheadBoth : public ::testing::TestWithParam<ReadAhead::Reads> {};

std::string reads_name(const ::testing::TestParamInfo<ReadAhead::Reads>& info) {
  return info.param == ReadAhead::Reads::kKernelQueue ? "KernelQueue" : "EachReader";
}

INSTANTIATE_TEST_SUITE_P(Reads, ReadAheadBoth,
                         ::testing::Values(ReadAhead::Reads::kKernelQueue, ReadAhead::Reads::kEachReader), reads_name);

// Whether this kernel gives this process a submission queue at all.
bool kernel_queue_offered() {
  io_uring_params params{};
  const long fd = syscall(__NR_io_uring_setup, 1, &params);
  if (fd < 0) return false;
  close(static_cast<int>(fd));
  return true;
}

TEST_P(ReadAheadBoth, CountsAsTheWalkerShowsAndReadsRegularFilesOnly) {
  krelvon::test::TempDir dir, elsewhere;
  make_tree(dir, elsewhere);
  if (!cold(dir / "root/a.exe")) GTEST_SKIP() << "the page cache of " << dir.path() << " cannot be emptied";
  ReadAhead ahead({dir / "root"}, 4, 1000, GetParam());
  miss(ahead);
  const ReadAhead::Counts c = settle(ahead, 11, 3);
  EXPECT_EQ(c.entries, 11u);
  EXPECT_EQ(c.files_read, 3u);  // a.exe, b.txt, c.exe: no link, no FIFO, nothing beyond out
  EXPECT_EQ(c.most_ahead, 11u);
  ahead.stop();
}

// 300 files in the cache: nothing starts before the misses, and misses far
// apart start nothing; three close together start the scout, the readers
// find 64 first pages in a row in the cache and the scout rests while the
// walker goes on; misses wake it, and it counts up to the walker without
// reading what the walker has passed.
TEST_P(ReadAheadBoth, StartsAtMissesAndRestsWhileTheCacheServes) {
  krelvon::test::TempDir dir;
  for (int i = 0; i < 300; ++i) dir.write("root/f" + std::to_string(i), "x");
  ReadAhead ahead({dir / "root"}, 8, 10, GetParam());
  for (int i = 0; i < 5; ++i) {
    for (int k = 0; k < 17; ++k) ahead.walker_showed();
    ahead.walker_missed();  // a page refused for a moment, 17 entries apart
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ahead.counts().entries, 0u);

  miss(ahead);
  const auto until = Clock::now() + std::chrono::seconds(10);
  const std::uint64_t start = 5 * 17;
  std::uint64_t shown = start;
  // The walker follows the scout and its readers at a few entries' distance
  // (it reaches the scout's half-bound mark, so the scout goes on).
  while (ahead.counts().rests == 0 && shown < 302 && Clock::now() < until) {
    const ReadAhead::Counts now = ahead.counts();
    if (now.entries >= shown + 5 && start + now.files_read + 5 >= shown) {
      ahead.walker_showed();
      ++shown;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ReadAhead::Counts c = settle(ahead, 0);
  ASSERT_EQ(c.rests, 1u);
  EXPECT_GE(c.files_read, 64u);
  EXPECT_LT(c.entries, 300u);
  const std::uint64_t read_before = c.files_read;
  while (shown < 302) {
    ahead.walker_showed();
    ++shown;
  }
  c = settle(ahead, 0);
  EXPECT_LT(c.entries, 300u) << "the scout stays at rest until a miss";

  miss(ahead);
  c = settle(ahead, 302);
  EXPECT_EQ(c.entries, 302u);
  EXPECT_EQ(c.files_read, read_before) << "nothing the walker has passed is read";
  ahead.stop();
}

TEST_P(ReadAheadBoth, StaysWithinItsBoundAndStopsWhileWaiting) {
  krelvon::test::TempDir dir;
  for (int f = 0; f < 3; ++f)
    for (int i = 0; i < 40; ++i) evict(dir.write("root/d" + std::to_string(f) + "/f" + std::to_string(i), "x"));
  if (!cold(dir / "root/d0/f0")) GTEST_SKIP() << "the page cache of " << dir.path() << " cannot be emptied";
  // 2 + 3 entries of root, 42 of each folder: 131 in all.
  ReadAhead ahead({dir / "root"}, 2, 20, GetParam());
  miss(ahead);
  ReadAhead::Counts c = settle(ahead, 20);
  EXPECT_EQ(c.entries, 20u);
  EXPECT_LE(c.files_read, 20u);
  // The walker moves on by 11 (past half the bound, where the scout is
  // woken): the scout runs to 20 ahead of it again, no further.
  for (int i = 0; i < 11; ++i) ahead.walker_showed();
  c = settle(ahead, 31);
  EXPECT_EQ(c.entries, 31u);
  EXPECT_EQ(c.most_ahead, 20u);
  EXPECT_LE(c.files_read, 31u);
  // Stopped while it waits for the walker: at once, and it stays stopped.
  const auto before = Clock::now();
  ahead.stop();
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(1));
  for (int i = 0; i < 100; ++i) ahead.walker_showed();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ahead.counts().entries, 31u);
  ahead.stop();
}

// What a first page says the scan will read past it is read ahead too, and
// only that: the signature at a header offset past the first page inside
// the file, nothing for one past the file's end or in a file shorter than a
// page. Through the kernel's queue those are all its reads.
TEST_P(ReadAheadBoth, ReadsWhatTheFirstPagePlans) {
  krelvon::test::TempDir dir;
  const auto header_at = [](std::size_t size, unsigned offset) {
    std::string bytes(size, 'x');
    bytes[60] = static_cast<char>(offset & 0xff);
    bytes[61] = static_cast<char>(offset >> 8);
    return bytes;
  };
  evict(dir.write("root/inside", header_at(65536, 40000)));
  evict(dir.write("root/past-end", header_at(30000, 40000)));
  evict(dir.write("root/short", header_at(1000, 500)));
  if (!cold(dir / "root/inside")) GTEST_SKIP() << "the page cache of " << dir.path() << " cannot be emptied";
  ReadAhead ahead({dir / "root"}, 2, 100, GetParam());
  miss(ahead);
  const ReadAhead::Counts c = settle(ahead, 5, 3);
  EXPECT_EQ(c.files_read, 3u);
  EXPECT_EQ(c.later_reads, 1u);
  // The queue reads each first page once (none of three is a probe) and the
  // one later range.
  if (GetParam() == ReadAhead::Reads::kEachReader) {
    EXPECT_EQ(c.queued_reads, 0u);
  } else if (kernel_queue_offered()) {
    EXPECT_EQ(c.queued_reads, 4u);
  }
  // The range is in the cache before anything else reads it.
  const int fd = open((dir / "root/inside").c_str(), O_RDONLY);
  char bytes[24];
  iovec span{bytes, sizeof bytes};
  bool cached = false;
  for (int i = 0; i < 200 && !(cached = preadv2(fd, &span, 1, 40000, RWF_NOWAIT) == 24); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  close(fd);
  EXPECT_TRUE(cached);
  ahead.stop();
}

// The readers open a listed name only while it is a regular file: a FIFO,
// device or link put in place of a listed file is never opened (an open of
// a FIFO for reading would wake a writer waiting for one; a device's open
// may do anything), as the folder's open notifications show.
TEST(ReadAhead, OpensNothingButRegularFiles) {
  krelvon::test::TempDir dir;
  dir.write("f/a.exe", "MZ-a");
  ASSERT_EQ(mkfifo((dir / "f/pipe.exe").c_str(), 0644), 0);
  ASSERT_EQ(symlink("a.exe", (dir / "f/link.exe").c_str()), 0);
  const bool device = mknod((dir / "f/null.exe").c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0;
  const int folder = open((dir / "f").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(folder, 0);
  const int notes = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(notes, 0);
  ASSERT_GE(inotify_add_watch(notes, (dir / "f").c_str(), IN_OPEN), 0);

  for (const char* name : {"pipe.exe", "link.exe", "null.exe", "missing.exe"})
    EXPECT_EQ(krelvon::posix::open_regular_file(folder, name), -1) << name;
  const int fd = krelvon::posix::open_regular_file(folder, "a.exe");
  ASSERT_GE(fd, 0);
  char bytes[8] = {};
  EXPECT_EQ(pread(fd, bytes, sizeof bytes, 0), 4);
  EXPECT_STREQ(bytes, "MZ-a");
  close(fd);
  close(folder);

  std::string opened;
  alignas(inotify_event) char events[4096];
  for (ssize_t n; (n = read(notes, events, sizeof events)) > 0;)
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(events + at);
      opened += std::string(e->len ? e->name : ".") + " ";
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  close(notes);
  EXPECT_EQ(opened, "a.exe ") << (device ? "with a device node" : "without a device node (no rights to make one)");
}

TEST(ReadAhead, OneReaderOrNoneStartsNothing) {
  krelvon::test::TempDir dir;
  dir.write("root/a.exe", "MZ");
  for (int readers : {0, 1}) {
    ReadAhead ahead({dir / "root"}, readers);
    miss(ahead);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ahead.counts().entries, 0u) << readers;
    ahead.walker_showed();
  }
}

}  // namespace
