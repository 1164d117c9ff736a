#include "handlers/host_repair.h"

#include <array>
#include <cstring>

#include "handlers/handler_support.h"
#include "handlers/header_image.h"
#include "handlers/repair_check.h"
#include "platform/platform.h"

namespace krelvon {

// The order of the writes. The repair changes one stretch of the headers
// (file header, optional header, the worm's three section entries and the
// record behind them) and the file's length. A process that dies between
// two writes leaves the file as the last write left it, so each write is
// chosen to leave a program that runs as the host, or the file as it was:
//
//   1. One write of the file header and the optional header: the host's
//      entry point, directories, SizeOfImage, SizeOfHeaders and its own
//      number of sections. From here the loader sees the host alone; the
//      worm's entries and record lie unused behind the host's section
//      table, and the worm's body is trailing data no section maps, never
//      run. A crash here leaves a host that runs, 70 KB too long, and the
//      worm's entries still behind its table tell the interrupted repair.
//   2. The cut: the worm's body goes. A crash here leaves the host byte for
//      byte but for the worm's entries and record in its header slack,
//      which the loader never reads.
//   3. One write of zeros over the worm's entries and the record.
//
// The other orders are worse: cutting first leaves headers whose entry
// point and sections lie past the end of the file (a program that no longer
// loads, and that the next scan, finding no body, leaves as it is); wiping
// the record first leaves an infected file whose next disinfection restores
// zeros. The result is the same byte for byte whatever the order.
//
// Putting the file back runs the other way: the cut-off tail first (the
// file is then as after write 1), the saved header stretch last.

namespace {

// The cut-off tail, kept until the repaired file has been read back and
// checked. The engine disinfects one file at a time.
std::uint8_t g_cut_tail[kMaxCutTail];

// The file header, the optional header and the section entries in the
// stretch read from the file are those of the header image.
bool stretch_holds_image(const HeaderImage& image, const std::uint8_t* stretch) {
  if (std::memcmp(stretch, image.file_header.data(), kFileHeaderSize) != 0 ||
      std::memcmp(stretch + kFileHeaderSize, image.optional_header.data(), kOptionalHeaderSize) != 0)
    return false;
  const std::uint8_t* entries = stretch + kFileHeaderSize + kOptionalHeaderSize;
  for (int i = 0; i < image.number_of_sections(); ++i)
    if (std::memcmp(entries + kSectionEntrySize * i, image.sections[static_cast<std::size_t>(i)].data(),
                    kSectionEntrySize) != 0)
      return false;
  return true;
}

auto at(std::uint32_t position) { return static_cast<std::int32_t>(position); }

class Repair {
 public:
  Repair(int fd, std::int32_t length) : fd_(fd), length_(length) {}

  // Reads what the repair overwrites and removes, and plans it; false, with
  // nothing written, when the plan breaks a rule or cannot be read.
  bool prepare(std::uint32_t entry_offset) {
    const int n = g_header.number_of_sections();
    if (n < 4 || n > kMaxSections) return false;
    const std::uint32_t from = g_header.header_offset + 4u;
    const std::uint32_t record_at =
        g_header.header_offset + kSectionTableDistance + kSectionEntrySize * static_cast<std::uint32_t>(n);
    stretch_size_ = record_at + kInfectionRecordWipe - from;
    if (!read_at(fd_, at(from), saved_.data(), stretch_size_) || !stretch_holds_image(g_header, saved_.data()))
      return false;
    const InfectionRecord record = parse_infection_record(saved_.data() + (record_at - from));
    if (plan_repair(g_header, record, entry_offset, static_cast<std::uint32_t>(length_), &plan_) != RepairFault::kNone)
      return false;
    repaired_stretch(plan_, saved_.data(), repaired_.data());
    tail_size_ = static_cast<std::uint32_t>(length_) - plan_.cut_length;
    return read_at(fd_, at(plan_.cut_length), g_cut_tail, tail_size_);
  }

  // The three writes; false at the first that fails.
  bool write() {
    const std::uint32_t headers = kFileHeaderSize + kOptionalHeaderSize;
    if (!write_at(fd_, at(plan_.stretch_from), repaired_.data(), headers)) return false;
    cut_tried_ = true;
    if (_chsize(fd_, static_cast<krelvon_offset_t>(plan_.cut_length)) != 0) return false;
    const std::uint32_t worm_entries = headers + kSectionEntrySize * plan_.host.number_of_sections();
    return write_at(fd_, at(plan_.stretch_from + worm_entries), repaired_.data() + worm_entries,
                    stretch_size_ - worm_entries);
  }

  // What the file holds now, read back through the header image: the
  // planned headers and stretch, a host that meets the layout rules in the
  // planned length, and that length, taken last so that a file grown while
  // it was read back is seen.
  bool verify() const {
    HeaderImage disk;
    if (!read_headers(fd_, disk) || disk.header_offset != plan_.host.header_offset ||
        disk.file_header != plan_.host.file_header || disk.optional_header != plan_.host.optional_header ||
        disk.sections != plan_.host.sections)
      return false;
    std::array<std::uint8_t, kMaxRepairStretch> back;
    if (!read_at(fd_, at(plan_.stretch_from), back.data(), stretch_size_) ||
        std::memcmp(back.data(), repaired_.data(), stretch_size_) != 0)
      return false;
    return check_host_layout(disk, plan_.cut_length) == RepairFault::kNone &&
           _filelength(fd_) == static_cast<std::int32_t>(plan_.cut_length);
  }

  // The file as it was: the tail first, then the headers. Without its tail
  // the infected headers would describe sections that are not in the file,
  // so when the tail cannot be written back the host's headers stay. A file
  // that has become shorter than the cut meanwhile (cut by someone else)
  // lost bytes that were never kept: it is left as it is.
  void put_back() const {
    const std::int32_t now = _filelength(fd_);
    if (cut_tried_) {
      if (now < static_cast<std::int32_t>(plan_.cut_length) ||
          !write_at(fd_, at(plan_.cut_length), g_cut_tail, tail_size_))
        return;
      if (_filelength(fd_) != length_) _chsize(fd_, length_);
    } else if (now < static_cast<std::int32_t>(plan_.stretch_from + stretch_size_)) {
      return;
    }
    write_at(fd_, at(plan_.stretch_from), saved_.data(), stretch_size_);
  }

 private:
  int fd_;
  std::int32_t length_;
  RepairPlan plan_;
  std::array<std::uint8_t, kMaxRepairStretch> saved_{};
  std::array<std::uint8_t, kMaxRepairStretch> repaired_{};
  std::uint32_t stretch_size_ = 0;
  std::uint32_t tail_size_ = 0;
  bool cut_tried_ = false;
};

}  // namespace

bool repair_host(int fd, std::int32_t examined_length, std::uint32_t entry_offset) {
  const std::int32_t length = _filelength(fd);
  if (length < 0 || length != examined_length) return false;
  Repair repair(fd, length);
  if (!repair.prepare(entry_offset)) return false;
  if (repair.write() && repair.verify()) return true;
  repair.put_back();
  return false;
}

}  // namespace krelvon
