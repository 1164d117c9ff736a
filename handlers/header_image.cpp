#include "handlers/header_image.h"

#include <cstring>

#include "handlers/examination.h"
#include "handlers/handler_support.h"
#include "platform/platform.h"

namespace krelvon {

HeaderImage g_header;

std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool HeaderImage::section_named(int i, const char* name) const {
  const auto& s = sections[static_cast<std::size_t>(i)];
  const std::size_t len = std::strlen(name);
  if (len >= 8) return false;
  return std::memcmp(s.data(), name, len) == 0 && s[len] == 0;
}

namespace {

bool seek(int fd, std::uint32_t offset) {
  if (offset > 0x7FFFFFFFu) return false;
  return _lseek(fd, static_cast<long>(offset), SEEK_SET) == static_cast<long>(offset);
}

bool write_exact(int fd, const void* buffer, unsigned count) {
  return _write(fd, buffer, count) == static_cast<int>(count);
}

}  // namespace

// Step one takes the start of the file, its first page, with one call (for
// the handlers, the one their examination shares); the signature and the
// file header come from it when they lie inside it (the header offset of
// almost every program is small), and from a read of their own otherwise.
// The optional header and the section table follow one another and come
// from the first page too when they lie inside it, from one read otherwise
// (or from the read of the signature, which takes enough bytes for them
// when it has to be made: read_span). A descriptor opened to act on the
// file (a disinfection reading back what it wrote) reads the file as it is
// at that moment.
static_assert(kSectionTableDistance == 24u + kOptionalHeaderSize, "the section table follows the optional header");

namespace {

bool read_step_one(Examination& file, HeaderImage& image) {
  image.header_offset = 0;
  image.dos_signature = 0;
  image.header_offset_high = 0;
  image.file_header.fill(0);
  const std::uint8_t* start = nullptr;
  const int got = file.first_page(&start);
  if (got < 62) return false;
  image.dos_signature = get16(start);
  image.header_offset = get16(start + 60);
  if (got >= 64) image.header_offset_high = get16(start + 62);
  std::uint8_t bytes[4 + kFileHeaderSize];
  // Past a first page that ended short, the file has ended; past the
  // file's length nothing is read at all.
  if (!file.read(image.header_offset, bytes, sizeof bytes)) return false;
  if (get32(bytes) != 17744) return false;  // "PE\0\0"
  std::memcpy(image.file_header.data(), bytes + 4, kFileHeaderSize);
  return true;
}

bool read_step_two(Examination& file, HeaderImage& image) {
  const unsigned n = image.number_of_sections();
  // More entries than the image holds: only the optional header is read.
  const unsigned entries = n <= kMaxSections ? n : 0;
  std::uint8_t bytes[kOptionalHeaderSize + kSectionEntrySize * kMaxSections];
  if (!file.read(image.header_offset + 24u, bytes, kOptionalHeaderSize + kSectionEntrySize * entries)) return false;
  std::memcpy(image.optional_header.data(), bytes, kOptionalHeaderSize);
  if (n > kMaxSections) return false;
  for (auto& s : image.sections) s.fill(0);
  for (unsigned i = 0; i < n; ++i)
    std::memcpy(image.sections[i].data(), bytes + kOptionalHeaderSize + kSectionEntrySize * i, kSectionEntrySize);
  return true;
}

}  // namespace

bool read_headers_step_one(Examination& examination) { return read_step_one(examination, g_header); }
bool read_headers_step_two(Examination& examination) { return read_step_two(examination, g_header); }
bool read_headers_step_one(int fd) {
  Examination file(fd);
  return read_step_one(file, g_header);
}
bool read_headers_step_two(int fd) {
  Examination file(fd);
  return read_step_two(file, g_header);
}
bool read_headers(int fd, HeaderImage& image) {
  Examination file(fd);
  return read_step_one(file, image) && read_step_two(file, image);
}

bool write_headers(int fd) {
  if (!seek(fd, g_header.header_offset + 4u) ||
      !write_exact(fd, g_header.file_header.data(), kFileHeaderSize))
    return false;
  if (!seek(fd, g_header.header_offset + 24u) ||
      !write_exact(fd, g_header.optional_header.data(), kOptionalHeaderSize))
    return false;
  const unsigned n = g_header.number_of_sections();
  if (n > kMaxSections) return false;  // never more than the image holds
  if (!seek(fd, g_header.header_offset + kSectionTableDistance)) return false;
  for (unsigned i = 0; i < n; ++i)
    if (!write_exact(fd, g_header.sections[i].data(), kSectionEntrySize)) return false;
  return true;
}

std::uint32_t map_address_to_offset(std::uint32_t address, int fd) {
  Examination file(fd);
  return map_address_to_offset(address, file);
}

std::uint32_t map_address_to_offset(std::uint32_t address, Examination& examination) {
  // The first section (in table order) that ends above the address; none
  // gives an all-zero entry.
  std::uint32_t virtual_address = 0;
  std::uint32_t raw = 0;
  const int n = g_header.number_of_sections() <= kMaxSections ? g_header.number_of_sections() : kMaxSections;
  for (int i = 0; i < n; ++i) {
    const std::uint32_t va = g_header.section(i, kSectionVirtualAddress);
    const std::uint32_t vs = g_header.section(i, kSectionVirtualSize);
    if (static_cast<std::uint32_t>(va + vs) > address) {
      virtual_address = va;
      raw = g_header.section(i, kSectionPointerToRawData);
      break;
    }
  }
  std::uint32_t offset = address + raw - virtual_address;
  // Past the end of the file, or a length that cannot be told (as for an
  // empty file): the address itself.
  if (!examination.reaches(offset)) offset = address;
  if (offset == 0) return g_header.optional(kSizeOfHeaders);
  return offset;
}

}  // namespace krelvon
