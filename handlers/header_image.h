// One in-memory copy of a file's portable-executable headers, with the two
// reading steps, the writer and the address-to-offset mapping that both
// file handlers use. Every field is decoded from the bytes explicitly, little
// endian; no structure is laid over file data.
#pragma once

#include <array>
#include <cstdint>

namespace krelvon {

class Examination;

inline constexpr int kMaxSections = 20;
inline constexpr int kFileHeaderSize = 20;
inline constexpr int kOptionalHeaderSize = 224;
inline constexpr int kSectionEntrySize = 40;
// The section table is read at header offset + 248 (4 signature bytes, the
// file header and a 32-bit optional header), whatever the optional header's
// declared size.
inline constexpr std::uint32_t kSectionTableDistance = 248;

// Offsets inside the optional header.
enum OptionalField : int {
  kAddressOfEntryPoint = 16,
  kSizeOfImage = 56,
  kSizeOfHeaders = 60,
  kImportDirectoryAddress = 104,
  kImportDirectorySize = 108,
  kRelocDirectoryAddress = 136,
  kRelocDirectorySize = 140,
};

// Offsets inside a section entry.
enum SectionField : int {
  kSectionName = 0,
  kSectionVirtualSize = 8,
  kSectionVirtualAddress = 12,
  kSectionSizeOfRawData = 16,
  kSectionPointerToRawData = 20,
  kSectionCharacteristics = 36,
};

inline constexpr std::uint32_t kScnMemRead = 0x40000000;
// File header Characteristics: the image is a library (a DLL).
inline constexpr std::uint16_t kFileDll = 0x2000;
inline constexpr std::uint32_t kScnMemWrite = 0x80000000;

std::uint16_t get16(const std::uint8_t* p);
std::uint32_t get32(const std::uint8_t* p);
void put16(std::uint8_t* p, std::uint16_t v);
void put32(std::uint8_t* p, std::uint32_t v);

struct HeaderImage {
  std::uint16_t header_offset = 0;
  // The first two bytes of the file ("MZ") and the high half of the header
  // offset field, which the header image does not use (the loader does).
  std::uint16_t dos_signature = 0;
  std::uint16_t header_offset_high = 0;
  std::array<std::uint8_t, kFileHeaderSize> file_header{};
  std::array<std::uint8_t, kOptionalHeaderSize> optional_header{};
  std::array<std::array<std::uint8_t, kSectionEntrySize>, kMaxSections> sections{};

  std::uint16_t number_of_sections() const { return get16(&file_header[2]); }
  std::uint16_t size_of_optional_header() const { return get16(&file_header[16]); }
  std::uint16_t characteristics() const { return get16(&file_header[18]); }
  std::uint16_t magic() const { return get16(&optional_header[0]); }
  void set_number_of_sections(std::uint16_t n) { put16(&file_header[2], n); }
  std::uint32_t optional(OptionalField f) const { return get32(&optional_header[static_cast<std::size_t>(f)]); }
  void set_optional(OptionalField f, std::uint32_t v) { put32(&optional_header[static_cast<std::size_t>(f)], v); }
  std::uint32_t section(int i, SectionField f) const {
    return get32(&sections[static_cast<std::size_t>(i)][static_cast<std::size_t>(f)]);
  }
  void set_section(int i, SectionField f, std::uint32_t v) {
    put32(&sections[static_cast<std::size_t>(i)][static_cast<std::size_t>(f)], v);
  }
  // The section's name field as a terminated text equals name.
  bool section_named(int i, const char* name) const;
};

// The header image of the program: each handler refills it for the file it
// checks, so it describes the most recently read file only.
extern HeaderImage g_header;

// Step one: header offset (the low 16 bits of the field at 60), the "PE\0\0"
// signature there, and the file header behind it. Through an examination
// (the handlers'), the bytes come from what it has read already where it
// holds them; through a descriptor, from the file as it is now.
bool read_headers_step_one(Examination& examination);
bool read_headers_step_one(int fd);
// Step two: the optional header and NumberOfSections (at most 20) entries of
// the section table; the other entries are zero.
bool read_headers_step_two(Examination& examination);
bool read_headers_step_two(int fd);
// Both steps into an image of the caller's own (a disinfection reads what it
// wrote back this way, without disturbing the image it repaired from).
bool read_headers(int fd, HeaderImage& image);
// Writes the file header, the optional header and NumberOfSections entries.
// What was written before a failure stays written.
bool write_headers(int fd);
// The file offset of a relative virtual address (see the section mapping
// rules in the implementation).
std::uint32_t map_address_to_offset(std::uint32_t address, Examination& examination);
std::uint32_t map_address_to_offset(std::uint32_t address, int fd);

}  // namespace krelvon
