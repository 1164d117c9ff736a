// Whether a disinfection would give back a program that can exist. The worm
// appends to its host and never moves it: it adds three sections behind the
// host's own (in the image and in the file), adds their virtual sizes to
// SizeOfImage, keeps the host's entry point and import and relocation
// directories in a record behind the section table, and writes its body
// after the host's last byte. Every rule below holds for every host the worm
// infected; a record or headers that break one were not left by it alone
// (changed since, damaged, or made to look infected), and the repair would
// write a broken program. The rules run on the headers a repair is about to
// write, before anything is written, and again on what the file holds after
// the repair, before the repair is reported.
#pragma once

#include <array>
#include <cstdint>

#include "handlers/header_image.h"
#include "handlers/signatures.h"

namespace krelvon {

// [start, start + size) lies inside [outer_start, outer_end). All figures
// are 64-bit, so no sum of two 32-bit fields can wrap.
constexpr bool range_inside(std::uint64_t start, std::uint64_t size, std::uint64_t outer_start,
                            std::uint64_t outer_end) {
  return outer_start <= start && start <= outer_end && size <= outer_end - start;
}

// The most a disinfection cuts off and keeps meanwhile: the worm's appended
// body is about 70 KB; a file that would lose more than this is not a host
// carrying only the worm behind it.
inline constexpr std::uint32_t kMaxCutTail = 1u << 20;

// The 32-byte record the worm leaves behind the section table.
struct InfectionRecord {
  std::uint32_t entry_point = 0;
  std::uint32_t reloc_address = 0;
  std::uint32_t reloc_size = 0;
  std::uint32_t import_address = 0;
  std::uint32_t import_size = 0;
};
InfectionRecord parse_infection_record(const std::uint8_t* bytes);

// The first rule a repair or a repaired host breaks.
enum class RepairFault {
  kNone,
  kSectionCount,         // no host section before the worm's three, or more entries than the image holds
  kHeaderPlacement,      // the loader would find other headers than the header image reads
  kEntryPoint,           // the entry point lies in no section (and is not a DLL's 0)
  kImportDirectory,      // the import directory reaches outside the image
  kRelocDirectory,       // the relocation directory reaches outside the image
  kImageSizeWraps,       // SizeOfImage is smaller than the worm's sections
  kImageSize,            // SizeOfImage ends before the sections do
  kImageSizeTooLarge,    // SizeOfImage reaches into the worm's sections
  kSectionOrder,         // the headers and sections overlap or go backwards in the image
  kWormNotLastVirtually, // a worm section starts inside or below a host section
  kWormNotLastInFile,    // a worm section's data starts inside or before a host section's
  kCutBeforeFileStart,   // the entry offset is not past the cut distance
  kCutRemovesNothing,    // the cut length is not below the file's length
  kCutTooLong,           // the cut would take off more than kMaxCutTail
  kSectionDataOutside,   // a section's raw data reaches past the (cut) file's end
  kHeadersOutside,       // the headers reach past the (cut) file's end
  kHeadersSize,          // SizeOfHeaders does not hold the section table
};
const char* repair_fault_text(RepairFault fault);

// The rules any PE32 host meets in a file of file_length bytes: the headers
// where the header image reads them ("MZ", a header offset below 64 KiB, a PE32
// optional header of 224 bytes, so the section table follows it); the entry
// point inside a section, or 0 in a DLL; the import and relocation
// directories, where their size is not 0, inside the image; SizeOfImage
// reaching the end of every section; the headers, then each section in
// table order, one after the other in the image; every section's raw data
// inside the file; the section table inside SizeOfHeaders, and SizeOfHeaders
// inside the file. Sections are the first NumberOfSections entries of the
// image.
RepairFault check_host_layout(const HeaderImage& host, std::uint64_t file_length);

// check_host_layout on the file open on fd, its headers read through the
// header image (into an image of its own); unreadable headers are
// kHeaderPlacement.
RepairFault check_host_file(int fd);

// A repair as planned from the infected headers: what it writes and where.
struct RepairPlan {
  HeaderImage host;           // the headers the repair leaves
  std::uint32_t cut_length = 0;
  // The stretch of the file the repair rewrites: from the file header to the
  // end of the record's wipe. Only its bytes and the file's length change.
  std::uint32_t stretch_from = 0;
  std::uint32_t stretch_to = 0;
  std::uint32_t record_at = 0;
};

// The largest stretch: the file header, the optional header, 20 section
// entries and the wiped record.
inline constexpr std::uint32_t kMaxRepairStretch =
    kSectionTableDistance - 4 + kSectionEntrySize * kMaxSections + kInfectionRecordWipe;

// Plans the repair of the infected headers (at least four sections, the last
// three the worm's) with its record, for a file of file_length bytes whose
// entry offset is entry_offset, and checks it: the worm's sections behind
// the host's, SizeOfImage larger than the worm's sections and the host's
// image ending where the worm's sections begin or before, a cut that lies
// inside the file, removes something and at most kMaxCutTail, and the
// repaired host meeting check_host_layout in the cut file with the whole
// rewritten stretch inside it. The plan is filled either way.
RepairFault plan_repair(const HeaderImage& infected, const InfectionRecord& record, std::uint32_t entry_offset,
                        std::uint64_t file_length, RepairPlan* plan);

// The bytes of the rewritten stretch after the repair, given its bytes
// before (stretch_to - stretch_from of each).
void repaired_stretch(const RepairPlan& plan, const std::uint8_t* before, std::uint8_t* after);

}  // namespace krelvon
