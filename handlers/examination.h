// One examination of one file: the opening the handlers of the threat table
// share, and what of the file has been read through it. The walker makes
// one for each file and passes it to every handler in turn; nothing of it
// outlives the file.
#pragma once

#include <array>
#include <cstdint>

namespace krelvon {

// The bytes of a file's start that are read first, with one call.
inline constexpr unsigned kFirstPage = 4096;

// A range of a file: `count` bytes at `position`.
struct FileSpan {
  std::int64_t position = 0;
  unsigned count = 0;
};

// The range an examination reads from the file when it is asked for count
// bytes at position that it does not hold yet: at least kSmallestRead bytes,
// so that the handlers' neighbouring reads are served by one call (the
// signature at a header offset past the first page and the optional header
// and section table behind it; the key windows one byte apart). The read-ahead plans its own
// reads with it, so that it fetches what the examination will read.
inline constexpr unsigned kSmallestRead = 1280;
FileSpan read_span(std::int64_t position, unsigned count);

class Examination {
 public:
  // An examination of the file at path, opened when a handler first asks.
  // With reports_skips, a file that cannot be opened is reported as skipped
  // (report_skipped, with the reason the failure gives) the first time a
  // handler tries, and one whose reads failed when the examination ends
  // without any handler having recognised the file (the threat table's
  // examination); without it nothing is reported (a handler called alone).
  Examination(const char* path, bool reports_skips);
  // The examination of a descriptor opened elsewhere (a disinfection
  // reading back what it wrote): the file as it is now, its length asked of
  // the runtime at each call; the descriptor stays open.
  explicit Examination(int fd);
  ~Examination();
  Examination(const Examination&) = delete;
  Examination& operator=(const Examination&) = delete;

  // The descriptor of the file: the one given back by an earlier handler,
  // or a new binary read-only one (krelvon_open_for_reading: regular files
  // only, never through a link), -1 when the file cannot be opened. What was
  // read through a given-back descriptor stays known; a new opening starts
  // the examination's reads afresh. The caller owns the descriptor: it
  // closes it before acting on the file (on Windows an open descriptor
  // keeps the file from being renamed or deleted), or gives it back.
  int open();
  // Keeps a descriptor from open() for the next handler.
  void give_back(int fd);

  // The first page (the first kFirstPage bytes, or the whole file when
  // shorter), read with one call the first time it is asked: *bytes points
  // at the examination's copy. The count read, or -1.
  int first_page(const std::uint8_t** bytes);
  // Exactly count bytes at position, from what this examination has read
  // already when it holds them (the first page, and a few earlier reads of
  // kSmallestRead bytes), from one read of the file otherwise. False for a
  // negative position, a failed read, or fewer bytes than asked: the length
  // is asked before any read past the first page, and a range that ends
  // past it is not read at all.
  bool read(std::int64_t position, void* buffer, unsigned count);
  // The file's length, asked once (-1 when it cannot be told, or the file
  // is no regular file or longer than 2^31-1 bytes).
  std::int32_t length();
  // Whether the file has a byte at offset: known without a call when the
  // first page reached that far.
  bool reaches(std::uint32_t offset);
  // Compares count bytes at position with the first page, reading nothing:
  // kNotHeld when the page read so far does not hold the whole range; a
  // negative position holds no bytes at all (kDifferent).
  enum class Held { kSame, kDifferent, kNotHeld };
  Held compare_first_page(std::int64_t position, const void* bytes, unsigned count) const;

  // The reads of the file this examination made, for tests.
  int reads() const { return reads_; }

 private:
  // A read of the file, noting a failure (not a short count: the end of the
  // file is no error) for the skipped-entry report.
  int read_file(std::int64_t position, void* buffer, unsigned count);
  void forget_reads();

  static constexpr int kHeldReads = 4;
  static constexpr unsigned kHeldReadCapacity = kSmallestRead;
  struct HeldRead {
    std::int64_t position = 0;
    int got = -1;  // -1: nothing held
    std::array<std::uint8_t, kHeldReadCapacity> bytes;
  };

  const char* path_ = nullptr;
  bool reports_skips_ = false;
  bool owns_ = false;      // opened here (the path's examination)
  int fd_ = -1;            // the descriptor read through
  bool held_ = false;      // fd_ given back, not taken by a handler
  bool open_reported_ = false;
  const char* read_failure_ = nullptr;  // the reason reported for a failed read
  std::int32_t infected_before_ = 0;
  int page_got_ = -1;  // -1: the first page not read yet
  std::int32_t length_ = -1;
  bool length_known_ = false;
  int reads_ = 0;
  int next_held_ = 0;
  std::array<HeldRead, kHeldReads> held_reads_;
  std::array<std::uint8_t, kFirstPage> page_;
};

// The reads past the first page that the header reader will make, as far
// as the first page tells them: for the read-ahead, which fetches them
// beside the first page. page holds got bytes of the file's start, length
// is the file's length. At most kMaxPlanned spans; the count is returned.
inline constexpr int kMaxPlanned = 4;
int plan_later_reads(const std::uint8_t* page, int got, std::int64_t length, FileSpan (&spans)[kMaxPlanned]);

// Told, on the walker's thread, before the examination's read of a first
// page waits for the disk (the page is not in the page cache), and once
// when the file system cannot tell; null: none. Looked at for one first
// page in four, with no extra call: the read itself is made so that it
// does not wait (the POSIX build; elsewhere it is never called).
void set_first_page_miss_listener(void (*listener)());

}  // namespace krelvon
