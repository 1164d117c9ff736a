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

#ifdef KRELVON_IO_URING
#include <liburing.h>
#endif

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
// and go on until kHitsToRest probed first pages in a row are found in
// the cache again; the scout then rests until the walker's next miss.
constexpr std::uint64_t kHitsToRest = 16;
// A read that may not wait costs a call more where it must: each reader
// reads one first page in kProbeEvery so, and the probes found in the
// cache are those counted for the rest.
constexpr unsigned kProbeEvery = 4;
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

// A file opened by a reader, for the kernel queue to read.
struct Opened {
  int fd;
  std::int64_t length;
  std::uint64_t entry;
};

// The kernel queue: at most kQueueDepth files are read through it at once,
// and at most as many more wait, opened, for their turn (the descriptors
// the read-ahead holds stay far below the usual limit of 1,024).
constexpr unsigned kQueueDepth = 64;

#ifdef KRELVON_IO_URING
// One file's reads through the kernel queue: its first page, then what
// the page says the examination will read past it.
struct QueuedFile {
  Opened file{-1, 0, 0};
  bool probe = false;    // the first page asked without waiting for the disk
  bool planned = false;  // the first page read, its later reads asked
  int pending = 0;       // reads submitted, not yet completed
  std::uint8_t page[kFirstPage];
};
#endif

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

  // Files the readers opened, waiting for the kernel queue (its thread
  // alone reads them when there is one).
  std::mutex opened_mutex;
  std::condition_variable opened_ready;  // a file opened, or the last reader done
  std::condition_variable opened_room;   // room for another
  std::deque<Opened> opened;
  int readers_running = 0;
  bool wants_queue = false;
  std::atomic<std::uint64_t> queued_reads{0};
#ifdef KRELVON_IO_URING
  bool queue_ready_to_use = false;
  io_uring ring {};
  std::thread queue_thread;
#endif

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
  void fetch_later_reads(int fd, const std::uint8_t* page, int got, std::int64_t length) {
    if (got < static_cast<int>(kFirstPage)) return;  // the whole file is read
    FileSpan spans[kMaxPlanned];
    const int n = plan_later_reads(page, got, length, spans);
    for (int i = 0; i < n; ++i) {
      const auto at = static_cast<off_t>(spans[i].position);
      ::posix_fadvise(fd, at, static_cast<off_t>(spans[i].count), POSIX_FADV_WILLNEED);
      ++later_reads;
    }
  }

  void reader() {
    std::uint8_t page[kFirstPage];
    for (unsigned n = 1;; ++n) {
      Item item;
      {
        std::unique_lock<std::mutex> lock(queue_mutex);
        queue_ready.wait(lock, [&] { return stopping.load() || walk_done || !queue.empty(); });
        if (stopping.load() || queue.empty()) break;
        item = std::move(queue.front());
        queue.pop_front();
      }
      // The walker is there already: reading it now helps nobody.
      if (item.entry <= shown.load()) continue;
      // Only a name that is still a regular file is opened at all.
      std::int64_t length = 0;
      const int fd = posix::open_regular_file(item.folder->fd, item.name.c_str(), &length);
      if (fd < 0) continue;
#ifdef KRELVON_IO_URING
      if (queue_ready_to_use) {
        hand_to_queue(Opened{fd, length, item.entry});
        continue;
      }
#endif
      // One first page in kProbeEvery is read first without waiting for
      // the disk: that tells a page in the cache from one that is not.
      ssize_t got = -1;
      if (n % kProbeEvery == 0) {
        iovec span{page, sizeof page};
        got = ::preadv2(fd, &span, 1, 0, RWF_NOWAIT);
        note(got >= 0);
      }
      if (got < 0) got = ::pread(fd, page, sizeof page, 0);
      if (got >= 0) {
        ++files_read;
        fetch_later_reads(fd, page, static_cast<int>(got), length);
      }
      ::close(fd);
    }
    {
      std::lock_guard<std::mutex> lock(opened_mutex);
      --readers_running;
    }
    opened_ready.notify_all();
  }

#ifdef KRELVON_IO_URING
  void hand_to_queue(const Opened& file) {
    {
      std::unique_lock<std::mutex> lock(opened_mutex);
      opened_room.wait(lock, [&] { return stopping.load() || opened.size() < kQueueDepth; });
      if (stopping.load()) {
        ::close(file.fd);
        return;
      }
      opened.push_back(file);
    }
    opened_ready.notify_one();
  }

  // One read of `count` bytes at `at` into the file's page, submitted with
  // the next batch.
  void queue_read(QueuedFile* f, std::int64_t at, unsigned count, bool nowait) {
    io_uring_sqe* sqe = io_uring_get_sqe(&ring);
    if (!sqe) {
      io_uring_submit(&ring);
      sqe = io_uring_get_sqe(&ring);
    }
    io_uring_prep_read(sqe, f->file.fd, f->page, count < kFirstPage ? count : kFirstPage, static_cast<__u64>(at));
    if (nowait) sqe->rw_flags = RWF_NOWAIT;
    io_uring_sqe_set_data(sqe, f);
    ++f->pending;
    ++queued_reads;
  }

  // The kernel queue's thread: takes the opened files in batches, reads
  // their first pages with one submission for the batch, and the later
  // reads they plan likewise; ends when the readers are done and every
  // read has completed (reads under way always end first).
  void read_through_queue() {
    std::vector<std::unique_ptr<QueuedFile>> files;
    std::vector<QueuedFile*> free;
    for (unsigned i = 0; i < kQueueDepth; ++i) {
      files.push_back(std::make_unique<QueuedFile>());
      free.push_back(files.back().get());
    }
    bool probing = true;
    unsigned n = 0;
    unsigned in_flight = 0;  // files with reads pending
    std::vector<Opened> taken;
    taken.reserve(kQueueDepth);
    for (;;) {
      taken.clear();
      {
        std::unique_lock<std::mutex> lock(opened_mutex);
        if (in_flight == 0)
          opened_ready.wait(lock, [&] { return stopping.load() || !opened.empty() || readers_running == 0; });
        while (!opened.empty() && taken.size() < free.size()) {
          taken.push_back(opened.front());
          opened.pop_front();
        }
        if (in_flight == 0 && taken.empty() && (stopping.load() || readers_running == 0)) break;
      }
      if (!taken.empty()) opened_room.notify_all();
      unsigned submitted = 0;
      for (const Opened& o : taken) {
        // Stopping, or the walker is there already: not read.
        if (stopping.load() || o.entry <= shown.load()) {
          ::close(o.fd);
          continue;
        }
        QueuedFile* f = free.back();
        free.pop_back();
        f->file = o;
        f->pending = 0;
        f->planned = false;
        f->probe = probing && ++n % kProbeEvery == 0;
        queue_read(f, 0, kFirstPage, f->probe);
        ++in_flight;
        ++submitted;
      }
      if (submitted) io_uring_submit(&ring);
      if (in_flight == 0) continue;
      io_uring_cqe* cqe = nullptr;
      // Nothing new to submit: wait for a read to complete.
      if (!submitted && io_uring_wait_cqe(&ring, &cqe) != 0) continue;
      bool more = false;
      while (io_uring_peek_cqe(&ring, &cqe) == 0) {
        auto* f = static_cast<QueuedFile*>(io_uring_cqe_get_data(cqe));
        const int result = cqe->res;
        io_uring_cqe_seen(&ring, cqe);
        if (on_completion(f, result, &probing)) {
          more = true;
          continue;
        }
        ::close(f->file.fd);
        f->file.fd = -1;
        free.push_back(f);
        --in_flight;
      }
      if (more) io_uring_submit(&ring);
    }
    io_uring_queue_exit(&ring);
  }

  // What a completed read means for its file; true while it has reads
  // pending (a probe that missed, asked again; the later reads its first
  // page plans).
  bool on_completion(QueuedFile* f, int result, bool* probing) {
    --f->pending;
    if (f->probe) {
      f->probe = false;
      if (result == -EAGAIN || result == -EOPNOTSUPP) {
        // A file system that cannot read without waiting: no probes more.
        if (result == -EOPNOTSUPP) *probing = false;
        else note(false);
        if (stopping.load()) return f->pending > 0;
        queue_read(f, 0, kFirstPage, false);
        return true;
      }
      if (result >= 0) note(true);
    }
    if (f->pending == 0 && !f->planned) {
      f->planned = true;
      if (result >= 0) {
        ++files_read;
        if (!stopping.load() && result == static_cast<int>(kFirstPage)) {
          FileSpan spans[kMaxPlanned];
          const int count = plan_later_reads(f->page, result, f->file.length, spans);
          for (int i = 0; i < count; ++i) {
            queue_read(f, spans[i].position, spans[i].count, false);
            ++later_reads;
          }
        }
      }
    }
    return f->pending > 0;
  }
#endif
};

ReadAhead::ReadAhead(const std::vector<std::string>& roots, int readers, std::uint64_t entries_ahead, Reads reads)
    : state_(std::make_unique<State>()) {
  if (readers < 2 || entries_ahead == 0) return;
  state_->roots = roots;
  state_->ahead = entries_ahead;
  state_->reader_count = readers;
  state_->readers_running = readers;
  state_->wants_queue = reads == Reads::kKernelQueue;
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
#ifdef KRELVON_IO_URING
    // Each read in the queue may plan kMaxPlanned more before the next
    // submission. Without the kernel's queue (an older kernel, or one that
    // refuses it to this process) each reader reads its own files.
    if (s.wants_queue && io_uring_queue_init(kQueueDepth * (1 + kMaxPlanned), &s.ring, 0) == 0) {
      // A kernel with the queue but not its plain read (before 5.6) reads
      // nothing through it.
      io_uring_probe* probe = io_uring_get_probe_ring(&s.ring);
      if (probe && io_uring_opcode_supported(probe, IORING_OP_READ)) {
        s.queue_ready_to_use = true;
        s.queue_thread = std::thread([state] { state->read_through_queue(); });
      } else {
        io_uring_queue_exit(&s.ring);
      }
      if (probe) io_uring_free_probe(probe);
    }
#endif
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
  {
    std::lock_guard<std::mutex> lock(s.opened_mutex);
    s.opened_room.notify_all();
    s.opened_ready.notify_all();
  }
  s.scout_thread.join();
  for (std::thread& t : s.readers) t.join();
  s.readers.clear();
#ifdef KRELVON_IO_URING
  if (s.queue_thread.joinable()) s.queue_thread.join();
  for (const Opened& o : s.opened) ::close(o.fd);
  s.opened.clear();
#endif
  std::lock_guard<std::mutex> lock(s.queue_mutex);
  s.queue.clear();
}

ReadAhead::Counts ReadAhead::counts() const {
  return Counts{state_->entries.load(), state_->files_read.load(), state_->most_ahead.load(), state_->rests.load(),
                state_->later_reads.load(), state_->queued_reads.load()};
}

}  // namespace krelvon::cli
