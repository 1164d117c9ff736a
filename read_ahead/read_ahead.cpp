#include "read_ahead/read_ahead.h"

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>

#include "engine/scan_context.h"
#include "handlers/examination.h"
#include "platform/posix/beneath.h"

namespace krelvon::cli {

namespace {

// The longest path the walker builds (its buffers hold kPathCapacity
// characters with the terminator).
constexpr std::size_t kLongestPath = static_cast<std::size_t>(kPathCapacity) - 1;
// The walker's mask tail after a folder: "/*.*".
constexpr std::size_t kMaskTail = 4;
// With the page cache warm the walker needs no help, and reading ahead
// would only take processor time from it: nothing starts until the walker
// meets a page the disk must serve. Then the scout and its readers start,
// and go on until kHitsToRest first pages in a row are found in the cache
// again; the scout then rests until the walker's next miss.
constexpr std::uint64_t kHitsToRest = 64;
// A page the machine gave back now and then is no cold disk: a miss counts
// when it is the kMissesToStart-th with at most kMissSpan entries of the
// walk from each to the next (the walker looks at one read in four).
constexpr std::uint64_t kMissesToStart = 3;
constexpr std::uint64_t kMissSpan = 16;

// A listed folder, open while the scout walks it and any read of its files
// is queued.
struct Folder {
  explicit Folder(DIR* d) : dir(d), fd(::dirfd(d)) {}
  ~Folder() { ::closedir(dir); }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  DIR* dir;
  int fd;
};

struct Item {
  std::shared_ptr<Folder> folder;
  std::string name;
  std::uint64_t entry;  // its place in the walker's count of shown entries
};

}  // namespace

struct ReadAhead::State {
  std::vector<std::string> roots;
  std::uint64_t ahead = 0;

  // Each thread writes its own cache line: the walker's count is not moved
  // between the processors by every entry the scout counts.
  alignas(64) std::atomic<std::uint64_t> shown{0};  // entries the walker has shown; the walker's line

  // The scout waits for the walker: it is woken once the walker has shown
  // wake_at entries. Written once per wait, read by the walker.
  alignas(64) std::atomic<bool> scout_waiting{false};
  std::atomic<std::uint64_t> wake_at{0};
  std::atomic<bool> stopping{false};
  std::atomic<bool> resting{false};
  std::mutex scout_mutex;
  std::condition_variable scout_wake;

  std::mutex queue_mutex;
  std::condition_variable queue_ready;
  std::deque<Item> queue;
  bool walk_done = false;

  // The scout's line.
  alignas(64) std::atomic<std::uint64_t> entries{0};
  std::atomic<std::uint64_t> most_ahead{0};
  std::atomic<std::uint64_t> rests{0};
  std::uint64_t shown_seen = 0;  // the walker's count when the scout last looked

  // The readers' line.
  alignas(64) std::atomic<std::uint64_t> files_read{0};
  std::atomic<std::uint64_t> later_reads{0};
  std::atomic<std::uint64_t> hits_in_a_row{0};

  // The walker's, for walker_missed.
  std::uint64_t last_miss_at = 0;
  std::uint64_t misses_near = 0;

  int reader_count = 0;
  std::thread scout_thread;
  std::vector<std::thread> readers;  // started with the scout, joined after it

  // Counts one entry the walker will show; false when the scout must stop.
  bool count_entry(std::uint64_t* entry) {
    const std::uint64_t next = entries.load(std::memory_order_relaxed) + 1;
    // The walker's count is read again only when the last one read would
    // stop the scout: it only grows.
    if (next > shown_seen + ahead) shown_seen = shown.load();
    if (next > shown_seen + ahead) {
      std::unique_lock<std::mutex> lock(scout_mutex);
      // Resumed when half the bound is free again: one wake-up per many
      // entries of the walker, not one each.
      wake_at.store(next - ahead + ahead / 2);
      scout_waiting.store(true);
      scout_wake.wait(lock, [&] { return stopping.load() || next <= shown.load() + ahead; });
      scout_waiting.store(false);
      shown_seen = shown.load();
    }
    if (stopping.load(std::memory_order_relaxed)) return false;
    entries.store(next, std::memory_order_relaxed);
    // At least as far ahead as the scout really is.
    const std::uint64_t lead = next - std::min(next, shown_seen);
    if (lead > most_ahead.load(std::memory_order_relaxed)) most_ahead.store(lead, std::memory_order_relaxed);
    *entry = next;
    return true;
  }

  void queue_file(const std::shared_ptr<Folder>& folder, const char* name, std::uint64_t entry) {
    {
      std::lock_guard<std::mutex> lock(queue_mutex);
      queue.push_back(Item{folder, name, entry});
    }
    queue_ready.notify_one();
  }

  // Walks one folder as the walker does: every entry of its listing in
  // order (counted when its path fits), the regular files queued, then the
  // subfolders, depth first, in listing order. `path` is the folder's path
  // with the separator after it, as the walker builds its entries' paths.
  // False when the scout must stop.
  bool walk(const std::shared_ptr<Folder>& folder, const std::string& path, dev_t device) {
    std::vector<std::string> subfolders;
    for (;;) {
      if (stopping.load()) return false;
      const dirent* e = ::readdir(folder->dir);
      if (!e) break;
      const std::size_t length = std::strlen(e->d_name);
      // The walker's listing passes over names too long for its record, and
      // neither shows nor examines an entry whose path does not fit.
      if (length >= static_cast<std::size_t>(kPathCapacity) || path.size() + length > kLongestPath) continue;
      std::uint64_t entry = 0;
      if (!count_entry(&entry)) return false;
      const unsigned char type = posix::listed_kind(folder->fd, e);
      if (type == DT_REG) {
        if (resting.load(std::memory_order_relaxed) && !rest()) return false;
        // Behind the walker (after a rest) the scout only counts.
        if (entry > shown.load(std::memory_order_relaxed)) queue_file(folder, e->d_name, entry);
      } else if (type == DT_DIR && std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 &&
                 path.size() + length + kMaskTail <= kLongestPath) {
        subfolders.emplace_back(e->d_name);
      }
    }
    for (const std::string& name : subfolders) {
      if (stopping.load()) return false;
      const int fd = ::openat(folder->fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) continue;
      dev_t sub_device = 0;
      bool mount_root = false;
      // Not entered by the walker: another file system, or a mount of this one.
      if (!posix::folder_device(fd, &sub_device, &mount_root) || sub_device != device || mount_root) {
        ::close(fd);
        continue;
      }
      DIR* dir = ::fdopendir(fd);
      if (!dir) {
        ::close(fd);
        continue;
      }
      if (!walk(std::make_shared<Folder>(dir), path + name + '/', device)) return false;
    }
    return true;
  }

  void scout() {
    for (const std::string& root : roots) {
      // The root as the walker holds it: the user's choice, a link followed.
      const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0) continue;
      dev_t device = 0;
      bool mount_root = false;
      DIR* dir = posix::folder_device(fd, &device, &mount_root) ? ::fdopendir(fd) : nullptr;
      if (!dir) {
        ::close(fd);
        continue;
      }
      if (!walk(std::make_shared<Folder>(dir), root + '/', device)) break;
    }
    {
      std::lock_guard<std::mutex> lock(queue_mutex);
      walk_done = true;
    }
    queue_ready.notify_all();
  }

  void note(bool cached) {
    if (!cached)
      hits_in_a_row.store(0);
    else if (hits_in_a_row.fetch_add(1) + 1 >= kHitsToRest)
      resting.store(true);
  }

  // Waits until the walker misses the cache again; false when the scout
  // must stop.
  bool rest() {
    ++rests;
    std::unique_lock<std::mutex> lock(scout_mutex);
    scout_wake.wait(lock, [&] { return stopping.load() || !resting.load(); });
    return !stopping.load();
  }

  // What the scan's examination will read past the first page, as far as
  // the page tells (a signature past it, the headers behind one), is asked
  // of the kernel too, without waiting for it.
  void fetch_later_reads(int fd, const std::uint8_t* page, int got) {
    if (got < static_cast<int>(kFirstPage)) return;  // the whole file is read
    struct stat st {};
    if (::fstat(fd, &st) != 0) return;
    FileSpan spans[kMaxPlanned];
    const int n = plan_later_reads(page, got, st.st_size, spans);
    for (int i = 0; i < n; ++i) {
      const auto at = static_cast<off_t>(spans[i].position);
      ::posix_fadvise(fd, at, static_cast<off_t>(spans[i].count), POSIX_FADV_WILLNEED);
      ++later_reads;
    }
  }

  void reader() {
    std::uint8_t page[kFirstPage];
    for (;;) {
      Item item;
      {
        std::unique_lock<std::mutex> lock(queue_mutex);
        queue_ready.wait(lock, [&] { return stopping.load() || walk_done || !queue.empty(); });
        if (stopping.load() || queue.empty()) return;
        item = std::move(queue.front());
        queue.pop_front();
      }
      // The walker is there already: reading it now helps nobody.
      if (item.entry <= shown.load()) continue;
      // Only a name that is still a regular file is opened at all.
      const int fd = posix::open_regular_file(item.folder->fd, item.name.c_str());
      if (fd < 0) continue;
      // First without waiting for the disk: that tells a page in the cache
      // from one that is not.
      iovec span{page, sizeof page};
      ssize_t got = ::preadv2(fd, &span, 1, 0, RWF_NOWAIT);
      const bool cached = got >= 0;
      if (!cached) got = ::pread(fd, page, sizeof page, 0);
      if (got >= 0) {
        ++files_read;
        fetch_later_reads(fd, page, static_cast<int>(got));
      }
      note(cached);
      ::close(fd);
    }
  }
};

ReadAhead::ReadAhead(const std::vector<std::string>& roots, int readers, std::uint64_t entries_ahead)
    : state_(std::make_unique<State>()) {
  if (readers < 2 || entries_ahead == 0) return;
  state_->roots = roots;
  state_->ahead = entries_ahead;
  state_->reader_count = readers;
}

void ReadAhead::walker_missed() {
  State& s = *state_;
  if (s.reader_count == 0 || s.stopping.load()) return;
  const std::uint64_t at = s.shown.load(std::memory_order_relaxed);
  s.misses_near = at - s.last_miss_at <= kMissSpan ? s.misses_near + 1 : 1;
  s.last_miss_at = at;
  if (s.misses_near < kMissesToStart) return;
  if (!s.scout_thread.joinable()) {
    // The threads take no signal: Ctrl-C stays with the walker's thread,
    // where it ends a prompt's read.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    State* state = &s;
    s.scout_thread = std::thread([state] { state->scout(); });
    for (int i = 0; i < s.reader_count; ++i) s.readers.emplace_back([state] { state->reader(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return;
  }
  if (!s.resting.load(std::memory_order_relaxed)) return;
  s.hits_in_a_row.store(0);
  {
    std::lock_guard<std::mutex> lock(s.scout_mutex);
    s.resting.store(false);
  }
  s.scout_wake.notify_one();
}

ReadAhead::~ReadAhead() { stop(); }

void ReadAhead::walker_showed() {
  State& s = *state_;
  const std::uint64_t now = s.shown.fetch_add(1) + 1;
  if (s.scout_waiting.load() && now >= s.wake_at.load()) {
    std::lock_guard<std::mutex> lock(s.scout_mutex);
    s.scout_wake.notify_one();
  }
}

void ReadAhead::stop() {
  State& s = *state_;
  s.stopping.store(true);
  if (!s.scout_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(s.scout_mutex);
    s.scout_wake.notify_all();
  }
  {
    std::lock_guard<std::mutex> lock(s.queue_mutex);
    s.queue_ready.notify_all();
  }
  s.scout_thread.join();
  for (std::thread& t : s.readers) t.join();
  s.readers.clear();
  std::lock_guard<std::mutex> lock(s.queue_mutex);
  s.queue.clear();
}

ReadAhead::Counts ReadAhead::counts() const {
  return Counts{state_->entries.load(), state_->files_read.load(), state_->most_ahead.load(), state_->rests.load(),
                state_->later_reads.load()};
}

}  // namespace krelvon::cli
