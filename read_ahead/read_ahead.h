// Reading ahead of the walker (Linux): a scout walks the scanned folders in
// the walker's own order, a little ahead of it, and reader threads read the
// first page of each file it meets, so that the walker's own reads of the
// file find it in the page cache. Nothing starts while the cache serves the
// walker: reads of the walker's that would wait for the disk
// (walker_missed), three with at most 16 entries from each to the next,
// start the scout and the readers, and once the readers find 16 first pages
// in a row in the cache (of those they probe, one in four) the scout rests
// until the walker misses so again. Only the page cache sees the scout: it
// hands nothing to the engine, never writes, and never opens anything the walker would
// not open (regular files only, looked at without being opened first, no
// links, nothing on another file system or
// beyond the path capacity, each name opened relative to its folder's
// descriptor with O_NOFOLLOW). What the walker decides and prints is the
// same with and without it.
//
// The walker's position is the count of entries it has shown (the object
// notification); the scout counts the entries of its listings the same way
// and stays at most `entries_ahead` of them ahead, so at most that many
// files, and their first pages (4 KiB each), are read before the walker
// reaches them. Behind the walker (after a rest) it counts without reading.
// A folder the scout lists the same as the walker, the two counts agree;
// where a listing changed between the two, they drift by the change, which
// costs cache hits and nothing else.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace krelvon::cli {

class ReadAhead {
 public:
  // The default bound: entries of the walk the scout may be ahead.
  static constexpr std::uint64_t kEntriesAhead = 2048;

  // How the files are read. kKernelQueue: the readers open them and one
  // thread reads them through the kernel's submission queue (io_uring), the
  // first pages of many files, and the later reads they plan, handed to the
  // kernel with one call and one wake-up of the disk for each batch; where
  // the kernel offers no such queue (or refuses it to this process) as with
  // kEachReader: each reader reads the files it opened, one call each.
  enum class Reads { kKernelQueue, kEachReader };

  // The scout and `readers` reader threads over `roots` (the scan paths,
  // walked in turn), started by the walker's misses; `readers` below 2
  // never starts anything.
  ReadAhead(const std::vector<std::string>& roots, int readers, std::uint64_t entries_ahead = kEntriesAhead,
            Reads reads = Reads::kKernelQueue);
  // Stops and joins every thread.
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The walker has shown one more entry. Called on the walker's thread; no
  // system call unless the scout waits for it.
  void walker_showed();
  // The walker's read is about to wait for the disk. The third such miss,
  // with at most 16 entries from each to the next, starts the scout and the
  // readers the first time, wakes the scout from a rest after. Called on the
  // walker's thread.
  void walker_missed();
  // Stops the scout and the readers (the walker stopped, or was cancelled)
  // and waits for them; reads under way end first. Idempotent.
  void stop();

  // What the scout did, for tests: entries counted, files whose first page
  // the readers read, the most entries it was ever ahead of the walker, how
  // often it went to rest, and the later reads it asked for.
  struct Counts {
    std::uint64_t entries = 0;
    std::uint64_t files_read = 0;
    std::uint64_t most_ahead = 0;
    std::uint64_t rests = 0;
    // Reads past a first page asked of the kernel ahead of the scan.
    std::uint64_t later_reads = 0;
    // Reads made through the kernel's submission queue (a probe asked again
    // counts twice).
    std::uint64_t queued_reads = 0;
  };
  Counts counts() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace krelvon::cli
