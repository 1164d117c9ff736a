#include "handlers/examination.h"

#include <cerrno>
#include <cstring>

#include "engine/scan_context.h"
#include "engine/walker.h"
#include "handlers/header_image.h"
#include "platform/platform.h"

namespace krelvon {

namespace {

void (*g_first_page_miss_listener)() = nullptr;
#ifndef _WIN32
bool g_nowait_reads = true;  // false once the file system refuses them
// A read that may not wait costs a little more than a plain one: one first
// page in kProbeEvery is read so, enough to notice a cold disk within a
// few files.
constexpr unsigned kProbeEvery = 4;
unsigned g_first_pages = 0;
#endif

}  // namespace

void set_first_page_miss_listener(void (*listener)()) { g_first_page_miss_listener = listener; }

FileSpan read_span(std::int64_t position, unsigned count) {
  return FileSpan{position, count < kSmallestRead ? kSmallestRead : count};
}

Examination::Examination(const char* path, bool reports_skips)
    : path_(path), reports_skips_(reports_skips), owns_(true), infected_before_(g_scan.files_infected) {}

Examination::Examination(int fd) : fd_(fd) {}

Examination::~Examination() {
  if (owns_ && held_) _close(fd_);
  if (reports_skips_ && read_failure_ && !open_reported_ && g_scan.files_infected == infected_before_)
    report_skipped(path_, read_failure_);
}

int Examination::open() {
  if (!owns_) return fd_;
  if (held_) {
    held_ = false;
    return fd_;
  }
  fd_ = krelvon_open_for_reading(path_);
  forget_reads();
  if (fd_ < 0 && reports_skips_ && !open_reported_) {
    open_reported_ = true;
    report_skipped(path_, skip_reason_of_errno(errno));
  }
  return fd_;
}

void Examination::give_back(int fd) {
  if (owns_ && fd == fd_ && fd >= 0 && !held_) {
    held_ = true;
    return;
  }
  if (fd >= 0) _close(fd);
}

void Examination::forget_reads() {
  page_got_ = -1;
  length_known_ = false;
  for (HeldRead& r : held_reads_) r.got = -1;
}

int Examination::read_file(std::int64_t position, void* buffer, unsigned count) {
  if (position < 0 || position > INT32_MAX || _lseek(fd_, static_cast<std::int32_t>(position), SEEK_SET) != position)
    return -1;
  ++reads_;
  const int got = _read(fd_, buffer, count);
  if (got < 0 && !read_failure_) read_failure_ = errno == ENXIO || errno == EISDIR ? kSkipNotRegular : kSkipReadError;
  return got;
}

int Examination::first_page(const std::uint8_t** bytes) {
  *bytes = page_.data();
  if (page_got_ >= 0) return page_got_;
  int got = -1;
  bool read = false;
#ifndef _WIN32
  // One first page in kProbeEvery is read only if the page cache holds it:
  // a page the disk must serve is told to the listener before the read
  // waits for it.
  if (owns_ && g_first_page_miss_listener && g_nowait_reads && g_first_pages++ % kProbeEvery == 0) {
    ++reads_;
    got = krelvon_read_cached(fd_, page_.data(), kFirstPage, 0);
    read = got >= 0 || (errno != EAGAIN && errno != EOPNOTSUPP && errno != EINTR);
    // A file system that cannot tell: the listener hears so once, and
    // reads are plain from then on.
    if (!read && errno == EOPNOTSUPP) g_nowait_reads = false;
    if (!read && errno != EINTR) g_first_page_miss_listener();
    if (read && got < 0 && !read_failure_)
      read_failure_ = errno == ENXIO || errno == EISDIR ? kSkipNotRegular : kSkipReadError;
  }
#endif
  if (!read) got = read_file(0, page_.data(), kFirstPage);
  if (got >= 0) page_got_ = got;
  return got;
}

std::int32_t Examination::length() {
  if (!owns_) return _filelength(fd_);
  if (!length_known_) {
#ifdef _WIN32
    length_ = _filelength(fd_);
#else
    // Asked once of the runtime, which also tells a regular file from
    // anything else put in its place (no length: nothing to examine).
    std::int64_t length = -1;
    length_ = krelvon_opened_length(fd_, &length) && length <= INT32_MAX ? static_cast<std::int32_t>(length) : -1;
#endif
    length_known_ = true;
  }
  return length_;
}

bool Examination::reaches(std::uint32_t offset) {
  if (page_got_ >= 0 && offset < static_cast<std::uint32_t>(page_got_)) return true;
  const std::int32_t n = length();
  return n >= 0 && offset < static_cast<std::uint32_t>(n);
}

Examination::Held Examination::compare_first_page(std::int64_t position, const void* bytes, unsigned count) const {
  if (position < 0) return Held::kDifferent;  // no byte of a file lies there
  if (page_got_ < 0 || position + count > page_got_) return Held::kNotHeld;
  return std::memcmp(page_.data() + position, bytes, count) == 0 ? Held::kSame : Held::kDifferent;
}

bool Examination::read(std::int64_t position, void* buffer, unsigned count) {
  if (position < 0) return false;
  const std::int64_t end = position + count;
  if (page_got_ < 0 && end <= kFirstPage) {
    const std::uint8_t* page = nullptr;
    first_page(&page);
  }
  if (page_got_ >= 0 && end <= page_got_) {
    std::memcpy(buffer, page_.data() + position, count);
    return true;
  }
  // The file ended within the first page: nothing lies past it. (A range
  // the page would hold, had the file been longer, is past its end too.)
  if (page_got_ >= 0 && page_got_ < static_cast<int>(kFirstPage) && end > page_got_) return false;
  for (const HeldRead& r : held_reads_)
    if (r.got >= 0 && position >= r.position && end <= r.position + r.got) {
      std::memcpy(buffer, r.bytes.data() + (position - r.position), count);
      return true;
    }
  // Nothing past the end of the file is read.
  const std::int32_t n = length();
  if (n >= 0 && end > n) return false;
  const FileSpan span = read_span(position, count);
  if (!owns_ || span.count > kHeldReadCapacity) return read_file(position, buffer, count) == static_cast<int>(count);
  HeldRead& r = held_reads_[static_cast<std::size_t>(next_held_)];
  next_held_ = (next_held_ + 1) % kHeldReads;
  r.position = position;
  r.got = read_file(position, r.bytes.data(), span.count);
  if (r.got < static_cast<int>(count)) return false;
  std::memcpy(buffer, r.bytes.data(), count);
  return true;
}

int plan_later_reads(const std::uint8_t* page, int got, std::int64_t length, FileSpan (&spans)[kMaxPlanned]) {
  // As the header reader reads: the header offset at 60, the signature and
  // file header there, then the optional header and the section table.
  if (got < 62) return 0;
  const std::uint32_t header = get16(page + 60);
  const std::int64_t first_end = header + 4 + kFileHeaderSize;
  if (first_end > got) {
    if (got < static_cast<int>(kFirstPage) || first_end > length) return 0;
    spans[0] = read_span(header, 4 + kFileHeaderSize);
    return 1;
  }
  if (get32(page + header) != 17744) return 0;  // "PE\0\0"
  const unsigned n = get16(page + header + 6);
  const unsigned count = kOptionalHeaderSize + kSectionEntrySize * (n <= kMaxSections ? n : 0);
  const std::int64_t second = header + 24;
  if (second + count <= got || got < static_cast<int>(kFirstPage) || second + count > length) return 0;
  spans[0] = read_span(second, count);
  return 1;
}

}  // namespace krelvon
