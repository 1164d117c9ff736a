#include "handlers/repair_check.h"

#include <cstring>

#include "platform/platform.h"

namespace krelvon {

namespace {

int section_count(const HeaderImage& h) {
  return h.number_of_sections() <= kMaxSections ? h.number_of_sections() : kMaxSections;
}

// The loader maps VirtualSize bytes of a section, or SizeOfRawData where
// VirtualSize is 0.
std::uint64_t virtual_end(const HeaderImage& h, int i) {
  const std::uint32_t size = h.section(i, kSectionVirtualSize);
  return std::uint64_t{h.section(i, kSectionVirtualAddress)} +
         (size != 0 ? size : h.section(i, kSectionSizeOfRawData));
}

// A section whose SizeOfRawData is 0 has no data in the file, wherever its
// PointerToRawData points.
bool has_raw_data(const HeaderImage& h, int i) { return h.section(i, kSectionSizeOfRawData) != 0; }

std::uint64_t raw_end(const HeaderImage& h, int i) {
  return std::uint64_t{h.section(i, kSectionPointerToRawData)} + h.section(i, kSectionSizeOfRawData);
}

bool directory_inside_image(const HeaderImage& h, OptionalField address, OptionalField size) {
  return h.optional(size) == 0 || range_inside(h.optional(address), h.optional(size), 0, h.optional(kSizeOfImage));
}

}  // namespace

InfectionRecord parse_infection_record(const std::uint8_t* bytes) {
  InfectionRecord r;
  r.entry_point = get32(bytes + 0);
  r.reloc_address = get32(bytes + 4);
  r.reloc_size = get32(bytes + 8);
  r.import_address = get32(bytes + 12);
  r.import_size = get32(bytes + 16);
  return r;
}

const char* repair_fault_text(RepairFault fault) {
  switch (fault) {
    case RepairFault::kNone: return "none";
    case RepairFault::kSectionCount: return "section count";
    case RepairFault::kHeaderPlacement: return "headers not where the header image reads them";
    case RepairFault::kEntryPoint: return "entry point outside every section";
    case RepairFault::kImportDirectory: return "import directory outside the image";
    case RepairFault::kRelocDirectory: return "relocation directory outside the image";
    case RepairFault::kImageSizeWraps: return "SizeOfImage smaller than the worm's sections";
    case RepairFault::kImageSize: return "SizeOfImage below the end of the sections";
    case RepairFault::kImageSizeTooLarge: return "SizeOfImage reaching into the worm's sections";
    case RepairFault::kSectionOrder: return "headers and sections overlap in the image";
    case RepairFault::kWormNotLastVirtually: return "worm section not behind the host's in the image";
    case RepairFault::kWormNotLastInFile: return "worm section data not behind the host's in the file";
    case RepairFault::kCutBeforeFileStart: return "cut before the start of the file";
    case RepairFault::kCutRemovesNothing: return "cut removes nothing";
    case RepairFault::kCutTooLong: return "cut removes too much";
    case RepairFault::kSectionDataOutside: return "section data past the end of the file";
    case RepairFault::kHeadersOutside: return "headers past the end of the file";
    case RepairFault::kHeadersSize: return "section table past SizeOfHeaders";
  }
  return "?";
}

RepairFault check_host_layout(const HeaderImage& host, std::uint64_t file_length) {
  // The worm reads and writes the headers as the header image does: behind
  // an "MZ" header, at the low 16 bits of the header offset, the section
  // table 224 bytes behind a PE32 optional header. Elsewhere the loader
  // would read other headers than the ones repaired, or none.
  if (host.dos_signature != 0x5A4D || host.header_offset_high != 0 || host.magic() != 0x10B ||
      host.size_of_optional_header() != kOptionalHeaderSize)
    return RepairFault::kHeaderPlacement;
  const int n = section_count(host);
  // The loader starts a program at its entry point, which lies in its code;
  // a library without initialisation code (a resource-only DLL) has none and
  // says so with 0. The worm keeps the host's value in its record unchanged.
  const std::uint32_t entry = host.optional(kAddressOfEntryPoint);
  bool entry_inside = entry == 0 && (host.characteristics() & kFileDll) != 0;
  for (int i = 0; i < n && !entry_inside; ++i)
    entry_inside = range_inside(entry, 1, host.section(i, kSectionVirtualAddress), virtual_end(host, i));
  if (!entry_inside) return RepairFault::kEntryPoint;
  // The loader reads the imports and applies the relocations inside the
  // mapped image; the record holds the host's own directories.
  if (!directory_inside_image(host, kImportDirectoryAddress, kImportDirectorySize))
    return RepairFault::kImportDirectory;
  if (!directory_inside_image(host, kRelocDirectoryAddress, kRelocDirectorySize))
    return RepairFault::kRelocDirectory;
  // The image holds every section, and the loader maps the headers, then
  // each section in table order, above the one before it.
  for (int i = 0; i < n; ++i)
    if (virtual_end(host, i) > host.optional(kSizeOfImage)) return RepairFault::kImageSize;
  std::uint64_t mapped = host.optional(kSizeOfHeaders);
  for (int i = 0; i < n; ++i) {
    if (host.section(i, kSectionVirtualAddress) < mapped) return RepairFault::kSectionOrder;
    mapped = virtual_end(host, i);
  }
  // The loader maps each section's data and the headers from the file.
  for (int i = 0; i < n; ++i)
    if (has_raw_data(host, i) &&
        !range_inside(host.section(i, kSectionPointerToRawData), host.section(i, kSectionSizeOfRawData), 0,
                      file_length))
      return RepairFault::kSectionDataOutside;
  const std::uint64_t table_end = std::uint64_t{host.header_offset} + kSectionTableDistance +
                                  std::uint64_t{kSectionEntrySize} * static_cast<std::uint64_t>(n);
  if (host.optional(kSizeOfHeaders) > file_length) return RepairFault::kHeadersOutside;
  if (table_end > host.optional(kSizeOfHeaders)) return RepairFault::kHeadersSize;
  return RepairFault::kNone;
}

RepairFault check_host_file(int fd) {
  HeaderImage image;
  const std::int32_t length = _filelength(fd);
  if (length < 0 || !read_headers(fd, image)) return RepairFault::kHeaderPlacement;
  return check_host_layout(image, static_cast<std::uint64_t>(length));
}

RepairFault plan_repair(const HeaderImage& infected, const InfectionRecord& record, std::uint32_t entry_offset,
                        std::uint64_t file_length, RepairPlan* plan) {
  const int n = infected.number_of_sections();
  plan->host = infected;
  plan->stretch_from = infected.header_offset + 4u;
  plan->record_at = infected.header_offset + kSectionTableDistance + kSectionEntrySize * static_cast<std::uint32_t>(n);
  plan->stretch_to = plan->record_at + kInfectionRecordWipe;
  plan->cut_length = entry_offset - kCutDistance;
  if (n < 4 || n > kMaxSections) return RepairFault::kSectionCount;
  const int hosts = n - 3;

  // The repaired headers, exactly as the disinfection leaves them.
  HeaderImage& host = plan->host;
  host.set_optional(kAddressOfEntryPoint, record.entry_point);
  host.set_optional(kRelocDirectoryAddress, record.reloc_address);
  host.set_optional(kRelocDirectorySize, record.reloc_size);
  host.set_optional(kImportDirectoryAddress, record.import_address);
  host.set_optional(kImportDirectorySize, record.import_size);
  std::int64_t image = infected.optional(kSizeOfImage);
  for (int w = hosts; w < n; ++w) {
    image -= infected.section(w, kSectionVirtualSize);
    host.sections[static_cast<std::size_t>(w)].fill(0);
  }
  host.set_optional(kSizeOfImage, static_cast<std::uint32_t>(image));
  host.set_number_of_sections(static_cast<std::uint16_t>(hosts));
  if (host.optional(kSizeOfHeaders) > kHeadersGrowth)
    host.set_optional(kSizeOfHeaders, host.optional(kSizeOfHeaders) - kHeadersGrowth);

  // The worm added exactly its sections' virtual sizes to the host's
  // SizeOfImage, so taking them off cannot go below zero.
  if (image < 0) return RepairFault::kImageSizeWraps;
  // The worm's sections are appended: in the image they start where the
  // host's sections end or later, and their data lies behind the host's in
  // the file.
  for (int w = hosts; w < n; ++w)
    for (int h = 0; h < hosts; ++h) {
      if (infected.section(w, kSectionVirtualAddress) < virtual_end(infected, h))
        return RepairFault::kWormNotLastVirtually;
      if (has_raw_data(infected, w) && has_raw_data(infected, h) &&
          infected.section(w, kSectionPointerToRawData) < raw_end(infected, h))
        return RepairFault::kWormNotLastInFile;
    }
  // A host's SizeOfImage is the aligned end of its sections, and a section
  // added behind them starts there or later: the host's image ends before
  // the worm's sections begin.
  for (int w = hosts; w < n; ++w)
    if (infected.section(w, kSectionVirtualAddress) < static_cast<std::uint64_t>(image))
      return RepairFault::kImageSizeTooLarge;
  // The worm's body begins where the host ended, 69920 bytes before the
  // entry offset: the cut lies inside the file, takes something off, and no
  // more than the worm appends.
  if (entry_offset <= kCutDistance) return RepairFault::kCutBeforeFileStart;
  if (plan->cut_length >= file_length) return RepairFault::kCutRemovesNothing;
  if (file_length - plan->cut_length > kMaxCutTail) return RepairFault::kCutTooLong;
  // The record stands in the host's own headers, so the whole stretch the
  // repair rewrites lies inside the host's bytes.
  if (plan->stretch_to > plan->cut_length) return RepairFault::kHeadersOutside;
  // The host as it was before the worm came: a program the loader accepts,
  // in the file the cut leaves.
  return check_host_layout(host, plan->cut_length);
}

void repaired_stretch(const RepairPlan& plan, const std::uint8_t* before, std::uint8_t* after) {
  const std::uint32_t size = plan.stretch_to - plan.stretch_from;
  std::memcpy(after, before, size);
  std::memcpy(after, plan.host.file_header.data(), kFileHeaderSize);
  std::memcpy(after + kFileHeaderSize, plan.host.optional_header.data(), kOptionalHeaderSize);
  // The host's own section entries stay; the worm's three entries and the
  // record become zeros.
  const std::uint32_t worm_entries = plan.host.header_offset + kSectionTableDistance +
                                     kSectionEntrySize * plan.host.number_of_sections() - plan.stretch_from;
  std::memset(after + worm_entries, 0, size - worm_entries);
}

}  // namespace krelvon
