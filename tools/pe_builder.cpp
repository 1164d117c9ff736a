#include "tools/pe_builder.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace krelvon::samples {

void put16(Bytes& b, std::size_t at, std::uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t get32(const Bytes& b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | b.at(at + static_cast<std::size_t>(i));
  return v;
}

namespace {
std::uint32_t align_up(std::uint32_t v, std::uint32_t a) { return a ? (v + a - 1) / a * a : v; }
}  // namespace

std::uint32_t section_table_offset(const PeLayout& layout) {
  return layout.header_offset + 24 + (layout.pe32_plus ? 240u : 224u);
}

PeLayout typical_host(int sections) {
  PeLayout layout;
  const char* names[] = {".text", ".rdata", ".data", ".rsrc", ".reloc", ".idata", ".tls", ".bss"};
  std::uint32_t va = 0x1000, raw = 0x400;
  for (int i = 0; i < sections; ++i) {
    SectionLayout s;
    s.name = i < 8 ? names[i] : "S" + std::to_string(i);
    s.virtual_address = va;
    s.virtual_size = 0x1000 - 0x10 * static_cast<std::uint32_t>(i);
    s.raw_offset = raw;
    s.raw_size = 0x1000;
    s.characteristics = i == 0 ? kCode : (i == 1 ? kRData : kData);
    layout.sections.push_back(s);
    va += 0x1000;
    raw += 0x1000;
  }
  layout.entry_point = 0x1010;
  if (sections >= 2) {
    layout.import_rva = 0x2000;
    layout.import_size = 0x28;
  }
  if (sections >= 3) {
    layout.reloc_rva = 0x3000;
    layout.reloc_size = 0x20;
  }
  return layout;
}

Bytes build_pe(const PeLayout& layout) {
  Bytes b(layout.size_of_headers, 0);
  b[0] = 'M';
  b[1] = 'Z';
  put32(b, 60, layout.header_offset);
  const std::size_t pe = layout.header_offset;
  b.resize(std::max<std::size_t>(b.size(), pe + 4));
  b[pe] = 'P';
  b[pe + 1] = 'E';
  b[pe + 2] = 0;
  b[pe + 3] = 0;
  // File header.
  put16(b, pe + 4, layout.pe32_plus ? 0x8664 : 0x014C);
  put16(b, pe + 6, static_cast<std::uint16_t>(layout.sections.size()));
  put16(b, pe + 20, layout.pe32_plus ? 240 : 224);
  put16(b, pe + 22, layout.pe32_plus ? 0x0022 : 0x0102);  // executable; 32-bit or large-address aware
  // Optional header.
  const std::size_t opt = pe + 24;
  put16(b, opt, layout.pe32_plus ? 0x20B : 0x10B);
  std::uint32_t size_of_code = 0, size_of_data = 0;
  for (const auto& s : layout.sections)
    ((s.characteristics & 0x20) ? size_of_code : size_of_data) += s.raw_size;
  put32(b, opt + 4, size_of_code);
  put32(b, opt + 8, size_of_data);
  put32(b, opt + 16, layout.entry_point);
  put32(b, opt + 20, layout.sections.empty() ? 0 : layout.sections[0].virtual_address);
  std::size_t dirs;
  if (layout.pe32_plus) {
    put32(b, opt + 24, static_cast<std::uint32_t>(layout.image_base));
    put32(b, opt + 28, static_cast<std::uint32_t>(layout.image_base >> 32));
    dirs = opt + 112;
  } else {
    put32(b, opt + 24, layout.sections.size() > 1 ? layout.sections[1].virtual_address : 0);
    put32(b, opt + 28, static_cast<std::uint32_t>(layout.image_base));
    dirs = opt + 96;
  }
  put32(b, opt + 32, layout.section_alignment);
  put32(b, opt + 36, layout.file_alignment);
  put16(b, opt + 40, 4);  // operating system version 4.0
  put16(b, opt + 48, layout.pe32_plus ? 5 : 4);  // subsystem version
  std::uint32_t image = layout.size_of_image;
  if (image == 0) {
    image = align_up(layout.size_of_headers, layout.section_alignment);
    for (const auto& s : layout.sections)
      image = std::max(image, align_up(s.virtual_address + s.virtual_size, layout.section_alignment));
  }
  put32(b, opt + 56, image);
  put32(b, opt + 60, layout.size_of_headers);
  put16(b, opt + 68, layout.subsystem);
  if (layout.pe32_plus) {
    put32(b, opt + 72, 0x100000);  // stack reserve (64-bit fields)
    put32(b, opt + 80, 0x1000);
    put32(b, opt + 88, 0x100000);
    put32(b, opt + 96, 0x1000);
    put32(b, opt + 108, 16);
  } else {
    put32(b, opt + 72, 0x100000);
    put32(b, opt + 76, 0x1000);
    put32(b, opt + 80, 0x100000);
    put32(b, opt + 84, 0x1000);
    put32(b, opt + 92, 16);
  }
  put32(b, dirs + 8, layout.import_rva);
  put32(b, dirs + 12, layout.import_size);
  put32(b, dirs + 40, layout.reloc_rva);
  put32(b, dirs + 44, layout.reloc_size);
  // Section table.
  std::size_t at = section_table_offset(layout);
  for (const auto& s : layout.sections) {
    b.resize(std::max<std::size_t>(b.size(), at + 40));
    std::memset(&b[at], 0, 40);
    std::memcpy(&b[at], s.name.data(), std::min<std::size_t>(8, s.name.size()));
    put32(b, at + 8, s.virtual_size);
    put32(b, at + 12, s.virtual_address);
    put32(b, at + 16, s.raw_size);
    put32(b, at + 20, s.raw_offset);
    put32(b, at + 36, s.characteristics);
    at += 40;
  }
  // Raw data: a pattern that differs per section and per seed.
  std::uint32_t end = static_cast<std::uint32_t>(b.size());
  for (std::size_t i = 0; i < layout.sections.size(); ++i) {
    const auto& s = layout.sections[i];
    if (s.raw_size == 0) continue;
    const std::size_t from = s.raw_offset;
    if (b.size() < from + s.raw_size) b.resize(from + s.raw_size, 0);
    std::uint32_t x = 0x9E3779B9u * (layout.fill_seed + 1u) + static_cast<std::uint32_t>(i) * 0x85EBCA6Bu;
    for (std::uint32_t k = 0; k < s.raw_size; ++k) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b[from + k] = static_cast<std::uint8_t>(x);
    }
    end = std::max<std::uint32_t>(end, s.raw_offset + s.raw_size);
  }
  b.resize(layout.file_length ? layout.file_length : end, 0);
  return b;
}

bool write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace krelvon::samples
