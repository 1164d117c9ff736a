// The sample factory's writer of portable-executable files: minimal, valid
// PE32 and PE32+ images with chosen sections, entry point, SizeOfHeaders and
// overall length, built in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace krelvon::samples {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t kCode = 0x60000020;   // code, execute, read
inline constexpr std::uint32_t kData = 0xC0000040;   // initialised data, read, write
inline constexpr std::uint32_t kRData = 0x40000040;  // initialised data, read

struct SectionLayout {
  std::string name;  // up to 8 characters
  std::uint32_t virtual_address = 0;
  std::uint32_t virtual_size = 0;
  std::uint32_t raw_offset = 0;
  std::uint32_t raw_size = 0;
  std::uint32_t characteristics = kCode;
};

struct PeLayout {
  bool pe32_plus = false;
  std::uint32_t header_offset = 0x80;  // e_lfanew
  std::uint32_t entry_point = 0x1000;
  std::uint32_t size_of_headers = 0x400;
  std::uint32_t size_of_image = 0;  // 0: end of the last section, aligned
  std::uint32_t section_alignment = 0x1000;
  std::uint32_t file_alignment = 0x200;
  std::uint64_t image_base = 0x400000;
  std::uint16_t subsystem = 2;  // GUI
  std::uint32_t import_rva = 0, import_size = 0;
  std::uint32_t reloc_rva = 0, reloc_size = 0;
  std::vector<SectionLayout> sections;
  std::uint32_t file_length = 0;  // 0: end of the last section's raw data
  std::uint8_t fill_seed = 1;     // section contents are a pattern from it
};

// A typical host: ".text", ".rdata", ".data" with the entry point in .text.
PeLayout typical_host(int sections = 3);

// Lays the layout out: DOS header with e_lfanew, signature, file header,
// optional header (224 or 240 bytes), section table, then the raw data of
// each section filled with a deterministic pattern.
Bytes build_pe(const PeLayout& layout);

// Offsets of the layout build_pe uses.
std::uint32_t section_table_offset(const PeLayout& layout);

void put16(Bytes& b, std::size_t at, std::uint16_t v);
void put32(Bytes& b, std::size_t at, std::uint32_t v);
std::uint32_t get32(const Bytes& b, std::size_t at);

// Whole-file helpers for tests and the tools.
bool write_file(const std::string& path, const Bytes& bytes);
Bytes read_file(const std::string& path);

}  // namespace krelvon::samples
