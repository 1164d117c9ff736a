#include "tools/samples.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>

#include "handlers/signatures.h"

namespace fs = std::filesystem;

namespace krelvon::samples {

namespace {

constexpr std::uint32_t kScnRead = 0x40000000, kScnWrite = 0x80000000;

std::uint16_t get16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}

std::uint32_t rotl(std::uint32_t v, unsigned r) { return r ? (v << r) | (v >> (32 - r)) : v; }
std::uint32_t rotr(std::uint32_t v, unsigned r) { return r ? (v >> r) | (v << (32 - r)) : v; }

// Distance of the worm's appended code from the end of the host: the entry
// offset is host length + 69920, and the decryptor and key window follow it.
constexpr std::uint32_t kWormTail = 600;  // bytes after the entry offset

// The key window: pairs read by the recognition, placed after E + 368.
void write_key_window(Bytes& file, std::uint32_t entry, const InfectOptions& o) {
  auto put_pair = [&](std::uint32_t at, std::uint8_t a, std::uint8_t b) {
    file[at] = a;
    file[at + 1] = b;
    file[at + 2] = 0x90;
  };
  const std::uint32_t base = entry + kKeySearchDistance;
  // Rotation and addend stand where every attempt's window sees them.
  const int rotation = o.window_rotation >= 0 ? o.window_rotation : o.rotation;
  if (rotation != 0) {
    put_pair(base + 30, 0xC1, 0x04);
    file[base + 33] = static_cast<std::uint8_t>(rotation);
  }
  put_pair(base + 40, 0x81, 0x04);
  put32(file, base + 43, o.addend);
  // The key pair stands at the last position the chosen attempt examines,
  // so no earlier attempt sees it.
  if (o.key_attempt < kKeyAttempts) {
    const std::uint32_t at = base + static_cast<std::uint32_t>(o.key_attempt) + 89;
    put_pair(at, 0x81, 0x34);
    put32(file, at + 3, o.key);
  }
}

void write_body(Bytes& file, std::uint32_t entry, const InfectOptions& o) {
  std::array<std::uint8_t, 68> body{};
  std::copy(kBodyPattern.begin(), kBodyPattern.end(), body.begin());
  encrypt_body(body.data(), o.key, o.rotation, o.addend);
  std::copy(body.begin(), body.end(), file.begin() + (entry - kBodyDistance));
}

struct Layout {
  std::uint32_t pe, n, table, opt;
};

Layout layout_of(const Bytes& b) {
  Layout l{};
  l.pe = get32(b, 60);
  l.n = get16(b, l.pe + 6);
  l.opt = l.pe + 24;
  l.table = l.pe + 24 + get16(b, l.pe + 20);
  return l;
}

void put_section(Bytes& b, std::size_t at, const char* name, std::uint32_t va, std::uint32_t vs,
                 std::uint32_t raw, std::uint32_t raw_size, std::uint32_t characteristics) {
  std::memset(&b[at], 0, 40);
  std::memcpy(&b[at], name, std::strlen(name));
  put32(b, at + 8, vs);
  put32(b, at + 12, va);
  put32(b, at + 16, raw_size);
  put32(b, at + 20, raw);
  put32(b, at + 36, characteristics);
}

}  // namespace

void encrypt_body(std::uint8_t* body, std::uint32_t key, std::uint8_t rotation, std::uint32_t addend) {
  // Decryption runs j = 67 down to 3 over the dword ending at j; undoing it
  // step by step in the opposite order gives the cipher text.
  const unsigned r = rotation & 31u;
  for (int j = 3; j <= 67; ++j) {
    std::uint8_t* at = body + j - 3;
    std::uint32_t y = static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
                      (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
    y -= addend;
    if (rotation != 0) y = rotr(y, r);  // a rotation of 32 (doubling) has no inverse: left as is
    y ^= key;
    for (int k = 0; k < 4; ++k) at[k] = static_cast<std::uint8_t>(y >> (8 * k));
  }
  (void)rotl;
}

std::uint32_t worm_file_length(int record) { return kWormSignatures[record].expected_length; }

Bytes make_worm_file(int record, std::uint32_t length) {
  const WormSignature& s = kWormSignatures[record];
  // The entry offset lies far enough into the file for both patterns.
  const std::int32_t lowest = std::min(s.first_offset, s.second_offset);
  const std::uint32_t entry = static_cast<std::uint32_t>(-lowest) + 0x400 + 16;
  PeLayout layout;
  layout.sections.push_back(
      {".text", 0x1000, length - 0x400, 0x400, length - 0x400, kCode});
  layout.entry_point = 0x1000 + (entry - 0x400);
  layout.file_length = length;
  layout.fill_seed = static_cast<std::uint8_t>(record + 11);
  Bytes b = build_pe(layout);
  std::copy(s.first_pattern, s.first_pattern + kPatternLength,
            b.begin() + static_cast<long>(entry + static_cast<std::uint32_t>(s.first_offset)));
  std::copy(s.second_pattern, s.second_pattern + kPatternLength,
            b.begin() + static_cast<long>(entry + static_cast<std::uint32_t>(s.second_offset)));
  return b;
}

std::uint32_t header_image_entry_offset(const Bytes& b) {
  const std::uint32_t pe = get32(b, 60) & 0xFFFF;
  const std::uint32_t opt = pe + 24;
  const std::uint32_t address = get32(b, opt + 16);
  const std::uint32_t n = std::min<std::uint32_t>(get16(b, pe + 6), 20);
  std::uint32_t virtual_address = 0, raw = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::size_t entry = pe + 248 + 40 * i;
    if (entry + 40 > b.size()) break;  // the header image reads zeros there
    const std::uint32_t vs = get32(b, entry + 8), va = get32(b, entry + 12);
    if (static_cast<std::uint32_t>(va + vs) > address) {
      virtual_address = va;
      raw = get32(b, entry + 20);
      break;
    }
  }
  std::uint32_t offset = address + raw - virtual_address;
  if (offset >= b.size()) offset = address;
  if (offset == 0) return get32(b, opt + 60);
  return offset;
}

namespace {

// The runnable sample's single section: ".text" at 0x1000, its raw data
// right behind 0x200 bytes of headers, code and imports writable so the
// loader can bind them.
constexpr std::uint32_t kRunnableHeaders = 0x200;
constexpr std::uint32_t kRunnableSection = 0x1000;
constexpr std::uint32_t kRunnableFlags = 0xE0000020;  // code, execute, read, write
constexpr std::uint32_t kImportArea = 0x100;          // import data beside the code
constexpr std::uint32_t kCodeArea = 32;               // the code itself

std::uint32_t rva_of(std::uint32_t file_offset) { return file_offset - kRunnableHeaders + kRunnableSection; }

// Imports of KERNEL32.dll (Sleep, ExitProcess) at file offset at: the
// descriptor and its terminator, the lookup table, the address table, the
// hint/name entries and the library name; thunks of `thunk` bytes (8 in a
// PE32+, 4 in a PE32). Returns the address-table RVA.
std::uint32_t write_kernel32_imports(Bytes& b, std::uint32_t at, std::uint32_t thunk) {
  std::fill(b.begin() + at, b.begin() + at + kImportArea, 0);
  const std::uint32_t lookup = at + 0x28, table = at + 0x40, sleep = at + 0x58, exit = at + 0x60,
                      name = at + 0x70;
  put32(b, at + 0, rva_of(lookup));  // OriginalFirstThunk
  put32(b, at + 12, rva_of(name));   // Name
  put32(b, at + 16, rva_of(table));  // FirstThunk
  for (std::uint32_t thunks : {lookup, table}) {
    put32(b, thunks, rva_of(sleep));
    put32(b, thunks + thunk, rva_of(exit));
  }
  auto text = [&](std::uint32_t where, const char* t) { std::memcpy(&b[where], t, std::strlen(t) + 1); };
  text(sleep + 2, "Sleep");
  text(exit + 2, "ExitProcess");
  text(name, "KERNEL32.dll");
  return rva_of(table);
}

// sub rsp, 40; mov ecx, sleep_ms; call [Sleep]; xor ecx, ecx; call [ExitProcess]; int3
void write_sleep_code(Bytes& b, std::uint32_t at, std::uint32_t sleep_ms, std::uint32_t address_table) {
  const std::uint8_t code[] = {0x48, 0x83, 0xEC, 0x28, 0xB9, 0, 0, 0, 0, 0xFF, 0x15, 0, 0, 0, 0,
                               0x31, 0xC9, 0xFF, 0x15, 0, 0, 0, 0, 0xCC};
  std::memcpy(&b[at], code, sizeof code);
  put32(b, at + 5, sleep_ms);
  // rip-relative: the address after each call instruction.
  put32(b, at + 11, address_table - rva_of(at + 15));
  put32(b, at + 19, address_table + 8 - rva_of(at + 23));
}

// push sleep_ms; call [Sleep]; push 0; call [ExitProcess]; int3 (i386:
// absolute addresses of the address table's entries, at the image base)
void write_sleep_code_i386(Bytes& b, std::uint32_t at, std::uint32_t sleep_ms, std::uint32_t address_table,
                           std::uint32_t image_base) {
  const std::uint8_t code[] = {0x68, 0, 0, 0, 0, 0xFF, 0x15, 0, 0, 0, 0, 0x6A, 0x00, 0xFF, 0x15, 0, 0, 0, 0, 0xCC};
  std::memcpy(&b[at], code, sizeof code);
  put32(b, at + 1, sleep_ms);
  put32(b, at + 7, image_base + address_table);
  put32(b, at + 15, image_base + address_table + 4);
}

}  // namespace

Bytes make_runnable_worm_file(int record, std::uint32_t sleep_ms, RunnableMachine machine) {
  const bool i386 = machine == RunnableMachine::kI386;
  const WormSignature& s = kWormSignatures[record];
  const std::uint32_t length = s.expected_length;
  // The code stands where its RVA, taken as a file offset, leaves room for
  // the farther pattern inside the section's raw data.
  const auto farthest = static_cast<std::uint32_t>(-std::min(s.first_offset, s.second_offset));
  const std::uint32_t wanted_entry = std::max(farthest + kRunnableHeaders, rva_of(kRunnableHeaders + kImportArea));
  // In the PE32 the entry offset is the code's file offset itself: the code
  // stands past the headers by the farther pattern's distance.
  const std::uint32_t code = i386 ? (kRunnableHeaders + farthest + 15) / 16 * 16
                                  : (wanted_entry - rva_of(kRunnableHeaders) + kRunnableHeaders + 15) / 16 * 16;

  PeLayout layout;
  layout.pe32_plus = !i386;
  layout.size_of_headers = kRunnableHeaders;
  layout.sections.push_back({".text", kRunnableSection, length - kRunnableHeaders, kRunnableHeaders,
                             length - kRunnableHeaders, kRunnableFlags});
  layout.entry_point = rva_of(code);
  // The imports stand before the code in the PE32+; in the PE32, whose
  // entry offset is the code's own, the patterns before the entry would
  // cover them there, so they follow the code.
  const std::uint32_t imports = i386 ? code + kCodeArea : code - kImportArea;
  layout.import_rva = rva_of(imports);
  layout.import_size = 40;
  layout.file_length = length;
  layout.fill_seed = static_cast<std::uint8_t>(record + 21);
  Bytes b = build_pe(layout);
  if (i386) {
    write_sleep_code_i386(b, code, sleep_ms, write_kernel32_imports(b, imports, 4),
                          static_cast<std::uint32_t>(layout.image_base));
  } else {
    write_sleep_code(b, code, sleep_ms, write_kernel32_imports(b, imports, 8));
  }
  const std::uint32_t kept_from = std::min(code, imports), kept_to = std::max(code + kCodeArea, imports + kImportArea);

  const std::uint32_t entry = header_image_entry_offset(b);
  for (const auto& [pattern, distance] : {std::pair{s.first_pattern, s.first_offset}, std::pair{s.second_pattern, s.second_offset}}) {
    const std::uint32_t at = entry + static_cast<std::uint32_t>(distance);
    // Never over the headers, the imports or the code.
    if (at < kRunnableHeaders || at + kPatternLength > length || (at < kept_to && at + kPatternLength > kept_from))
      return {};
    std::copy(pattern, pattern + kPatternLength, b.begin() + at);
  }
  return b;
}

std::string infection_refusal(const Bytes& host) {
  if (host.size() < 64 || host[0] != 'M' || host[1] != 'Z') return "no MZ header";
  const std::uint32_t pe = get32(host, 60);
  if (pe > 0xFFFF || pe + 24 + 224 > host.size()) return "header offset out of range";
  if (get32(host, pe) != 0x00004550) return "no PE signature";
  if (get16(host, pe + 24) != 0x10B || get16(host, pe + 20) != 224) return "not a PE32 image with a 224-byte optional header";
  const Layout l = layout_of(host);
  if (l.n == 0 || l.n + 3 > 20) return "section count";
  const std::uint32_t end = l.table + 40 * (l.n + 3) + kInfectionRecordWipe;
  std::uint32_t first_raw = get32(host, l.opt + 60);  // SizeOfHeaders
  for (std::uint32_t i = 0; i < l.n; ++i) {
    const std::uint32_t raw = get32(host, l.table + 40 * i + 20);
    if (get32(host, l.table + 40 * i + 16) != 0 && raw != 0) first_raw = std::min(first_raw, raw);
  }
  if (end > first_raw || end > host.size()) return "no room for three section entries and the record";
  for (std::uint32_t at = l.table + 40 * l.n; at < end; ++at)
    if (host[at] != 0) return "header slack not zero";
  if (host.size() > 0x70000000) return "too large";
  return "";
}

Bytes with_infection_flags(const Bytes& host) {
  Bytes b = host;
  const Layout l = layout_of(b);
  for (std::uint32_t i = 0; i < l.n; ++i) {
    const std::size_t at = l.table + 40 * i + 36;
    put32(b, at, get32(b, at) | kScnRead | kScnWrite);
  }
  return b;
}

Bytes infect(const Bytes& host, const InfectOptions& o) {
  if (!infection_refusal(host).empty()) return {};
  Bytes b = with_infection_flags(host);
  const Layout l = layout_of(b);
  const auto host_length = static_cast<std::uint32_t>(host.size());
  const std::uint32_t entry = host_length + kCutDistance;
  const std::uint32_t opt = l.opt;

  // The worm's sections, after the host's image.
  const std::uint32_t image = get32(b, opt + 56);
  const std::uint32_t align = std::max<std::uint32_t>(get32(b, opt + 32), 0x1000);
  const std::uint32_t upx0 = (image + align - 1) / align * align;
  const std::uint32_t upx0_size = 0x10000, upx1_size = 0x12000, upx2_size = 0x1000;
  const std::uint32_t upx1 = upx0 + upx0_size, upx2 = upx1 + upx1_size;
  const std::uint32_t appended = o.header_check_variant ? 1000 : kCutDistance + kWormTail;
  // In the header-check variant the code section's raw data lies beyond the
  // end of the file, so the entry offset maps to the entry address itself.
  const std::uint32_t upx1_raw = o.header_check_variant ? host_length + 3 * kCutDistance : host_length;
  const std::uint32_t entry_rva = o.header_check_variant ? entry : upx1 + kCutDistance;
  const std::uint32_t rw = kScnRead | kScnWrite | 0x20000000 | 0x20;
  put_section(b, l.table + 40 * l.n, "UPX0", upx0, upx0_size, 0, 0, rw | 0x80);
  put_section(b, l.table + 40 * (l.n + 1), "UPX1", upx1, upx1_size, upx1_raw, appended, rw);
  put_section(b, l.table + 40 * (l.n + 2), "UPX2", upx2, upx2_size, 0, 0, kScnRead | kScnWrite | 0x40);

  // The infection record: what the host had before.
  const std::uint32_t record = l.table + 40 * (l.n + 3);
  put32(b, record + 0, get32(b, opt + 16));
  put32(b, record + 4, get32(b, opt + 136));
  put32(b, record + 8, get32(b, opt + 140));
  put32(b, record + 12, get32(b, opt + 104));
  put32(b, record + 16, get32(b, opt + 108));

  put16(b, l.pe + 6, static_cast<std::uint16_t>(l.n + 3));
  put32(b, opt + 16, entry_rva);
  put32(b, opt + 56, image + upx0_size + upx1_size + upx2_size);
  put32(b, opt + 60, get32(b, opt + 60) + kHeadersGrowth);
  put32(b, opt + 104, upx1 + 0x100);
  put32(b, opt + 108, 0x3C);
  put32(b, opt + 136, 0);
  put32(b, opt + 140, 0);

  // The appended worm: a pseudo-random fill, the encrypted body before the
  // entry offset and a quiet key window after it.
  b.resize(host_length + appended, 0);
  std::uint32_t x = 0x2545F491u ^ o.key;
  for (std::uint32_t i = host_length; i < b.size(); ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b[i] = static_cast<std::uint8_t>(x);
  }
  if (o.header_check_variant) {
    std::copy(kHeaderPattern.begin(), kHeaderPattern.end(), b.begin() + kHeaderPatternOffset);
    return b;
  }
  std::fill(b.begin() + entry, b.end(), 0);
  write_body(b, entry, o);
  write_key_window(b, entry, o);
  return b;
}

Bytes make_worm_only_file(const InfectOptions& o) {
  // A minimal image whose only sections are the worm's.
  PeLayout layout;
  layout.sections.push_back({"UPX0", 0x1000, 0x10000, 0, 0, kData});
  layout.sections.push_back({"UPX1", 0x11000, 0x12000, 0x400, kCutDistance + kWormTail, kData});
  layout.sections.push_back({"UPX2", 0x23000, 0x1000, 0, 0, kData});
  const std::uint32_t entry = 0x400 + kCutDistance;
  layout.entry_point = 0x11000 + kCutDistance;
  layout.fill_seed = 99;
  Bytes b = build_pe(layout);
  std::fill(b.begin() + entry, b.end(), 0);
  write_body(b, entry, o);
  write_key_window(b, entry, o);
  return b;
}

std::string pe32_layout_problem(const Bytes& b) {
  const std::uint64_t size = b.size();
  auto u16 = [&](std::uint64_t at) -> std::uint32_t { return at + 2 <= size ? get16(b, at) : 0; };
  auto u32 = [&](std::uint64_t at) -> std::uint64_t { return at + 4 <= size ? get32(b, at) : 0; };
  if (size < 64 || b[0] != 'M' || b[1] != 'Z') return "no MZ header";
  const std::uint64_t pe = u32(60);
  if (pe + 24 > size || u32(pe) != 0x4550) return "no PE signature";
  const std::uint64_t opt = pe + 24, optional_size = u16(pe + 20);
  if (optional_size < 96 || opt + optional_size > size || u16(opt) != 0x10B) return "no PE32 optional header";
  const std::uint64_t n = u16(pe + 6), table = opt + optional_size;
  const std::uint64_t image = u32(opt + 56), headers = u32(opt + 60);
  if (n == 0) return "no sections";
  if (table + 40 * n > headers) return "section table outside SizeOfHeaders";
  if (headers > size) return "SizeOfHeaders past the end of the file";
  std::uint64_t mapped = headers;
  const std::uint64_t entry = u32(opt + 16);
  bool entry_inside = entry == 0 && (u16(pe + 22) & 0x2000) != 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t at = table + 40 * i;
    const std::uint64_t vsize = u32(at + 8), va = u32(at + 12), raw_size = u32(at + 16), raw = u32(at + 20);
    const std::uint64_t end = va + (vsize != 0 ? vsize : raw_size);
    if (va < mapped) return "sections overlap or go backwards in the image";
    mapped = end;
    if (raw_size != 0 && raw + raw_size > size) return "section data past the end of the file";
    if (va <= entry && entry < end) entry_inside = true;
  }
  // The loader maps the headers and every section inside SizeOfImage and
  // reserves the rest of it with the image: a SizeOfImage beyond the
  // sections' aligned end loads (the pages past the last section are part
  // of the image and hold nothing), one short of the sections does not.
  if (image < mapped) return "SizeOfImage short of the sections";
  if (!entry_inside) return "entry point in no section";
  const std::uint64_t directories = u32(opt + 92);
  const char* names[] = {"import directory outside the image", "relocation directory outside the image"};
  const std::uint64_t index[] = {1, 5};
  for (int d = 0; d < 2; ++d) {
    if (index[d] >= directories || 96 + 8 * index[d] + 8 > optional_size) continue;
    const std::uint64_t address = u32(opt + 96 + 8 * index[d]), length = u32(opt + 100 + 8 * index[d]);
    if (length != 0 && address + length > image) return names[d];
  }
  return "";
}

std::vector<std::string> write_demo(const std::string& folder) {
  fs::create_directories(folder);
  std::vector<std::string> written;
  auto put = [&](const std::string& name, const Bytes& bytes) {
    const std::string p = (fs::path(folder) / name).string();
    write_file(p, bytes);
    written.push_back(p);
  };
  put("calc.exe", build_pe(typical_host(3)));
  put("readme.txt", Bytes{'T', 'h', 'i', 's', ' ', 'f', 'o', 'l', 'd', 'e', 'r', ' ', 'h', 'o', 'l', 'd', 's',
                          ' ', 'i', 'n', 'e', 'r', 't', ' ', 's', 'a', 'm', 'p', 'l', 'e', 's', '.', '\n'});
  put("worm.exe", make_worm_file(0, worm_file_length(0)));
  put("worm-helper.dll", make_worm_file(1, worm_file_length(1)));
  put("worm-helper-b.dll", make_worm_file(2, worm_file_length(2)));
  PeLayout editor = typical_host(4);
  editor.fill_seed = 5;
  put("editor.exe", infect(build_pe(editor)));
  PeLayout game = typical_host(5);
  game.fill_seed = 6;
  InfectOptions late;
  late.key_attempt = 2;
  put("games/game.exe", (fs::create_directories(fs::path(folder) / "games"), infect(build_pe(game), late)));
  PeLayout tool = typical_host(2);
  tool.fill_seed = 7;
  InfectOptions plain;
  plain.rotation = 0;
  put("tools/tool.exe", (fs::create_directories(fs::path(folder) / "tools"), infect(build_pe(tool), plain)));
  return written;
}

std::vector<std::string> write_corpus(const std::string& folder, int n) {
  std::vector<std::string> planted;
  const Bytes clean = build_pe(typical_host(3));
  const Bytes worms[3] = {make_worm_file(0, worm_file_length(0)), make_worm_file(1, worm_file_length(1)),
                         make_worm_file(2, worm_file_length(2))};
  const Bytes infected = infect(build_pe(typical_host(4)));
  Bytes text(2048);
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<std::uint8_t>("lorem ipsum "[i % 12]);
  for (int i = 0; i < n; ++i) {
    const fs::path sub = fs::path(folder) / ("d" + std::to_string(i / 100));
    if (i % 100 == 0) fs::create_directories(sub);
    const int kind = i % 500;
    std::string name;
    const Bytes* bytes;
    if (kind == 250) {
      name = "w" + std::to_string(i) + ".exe";
      bytes = &worms[(i / 500) % 3];
    } else if (kind == 499) {
      name = "i" + std::to_string(i) + ".exe";
      bytes = &infected;
    } else if (i % 3 == 0) {
      name = "p" + std::to_string(i) + ".exe";
      bytes = &clean;
    } else {
      name = "f" + std::to_string(i) + ".txt";
      bytes = &text;
    }
    const std::string p = (sub / name).string();
    write_file(p, *bytes);
    if (kind == 250 || kind == 499) planted.push_back(p);
  }
  return planted;
}

std::vector<std::string> write_disk_corpus(const std::string& folder, int n, const std::string& libraries) {
  std::vector<std::string> planted;
  std::vector<fs::path> programs;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(libraries, ec)) {
    const std::string ext = e.path().extension().string();
    if ((ext == ".dll" || ext == ".DLL") && e.is_regular_file(ec) && e.file_size(ec) <= kDiskCorpusLargestProgram)
      programs.push_back(e.path());
  }
  std::sort(programs.begin(), programs.end());
  if (programs.empty() || n <= 0) return planted;
  // Folders of about 19 entries, each with up to three subfolders, the
  // first one the root.
  const int folders = std::max(1, n / 19);
  std::vector<fs::path> paths(static_cast<std::size_t>(folders));
  paths[0] = fs::path(folder);
  for (int k = 1; k < folders; ++k)
    paths[static_cast<std::size_t>(k)] = paths[static_cast<std::size_t>((k - 1) / 3)] / ("d" + std::to_string(k));
  for (const fs::path& p : paths) fs::create_directories(p, ec);
  const int planted_count = std::min(10, n);
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  const auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  std::size_t program = 0;
  Bytes data;
  for (int i = 0; i < n; ++i) {
    const fs::path& sub = paths[static_cast<std::size_t>(i % folders)];
    if (i % (n / planted_count) == n / planted_count / 2 && static_cast<int>(planted.size()) < planted_count) {
      const int record = static_cast<int>(planted.size()) % 3;
      const std::string p = (sub / ("w" + std::to_string(i) + ".exe")).string();
      write_file(p, make_worm_file(record, worm_file_length(record)));
      planted.push_back(p);
    } else if (i % 10 < 3) {
      const fs::path& from = programs[program++ % programs.size()];
      const fs::path to = sub / (std::to_string(i) + "-" + from.filename().string());
      fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    } else {
      data.resize(1 + next() % 65536);
      for (auto& b : data) b = static_cast<std::uint8_t>(next() >> 24);
      write_file((sub / ("f" + std::to_string(i) + ".dat")).string(), data);
    }
  }
  return planted;
}

}  // namespace krelvon::samples
