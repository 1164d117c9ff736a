// The rules a disinfection checks before it writes anything: one infected
// host from the sample factory, with one field of its record or headers
// changed per case, in boundary pairs ("ends exactly at the section end:
// accepted, one byte past: refused"). An accepted case disinfects to the
// host byte for byte (with the same field changed where the host keeps it);
// a refused one reports "Could not disinfect" and leaves the file as it was:
// its bytes, attributes and time of last change. Runs natively and under
// Wine.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/scan_context.h"
#include "handlers/handler_support.h"
#include "handlers/header_image.h"
#include "handlers/infected_file.h"
#include "handlers/repair_check.h"
#include "handlers/signatures.h"
#include "tests/handler_scenarios.h"
#include "tests/support.h"
#include "tools/samples.h"

namespace fs = std::filesystem;
namespace s = krelvon::samples;
using krelvon::g_scan;
using krelvon::RepairFault;

namespace {

constexpr char kB[] = "W32/BugBear.B.Worm";

// Where the fields are, in the infected file and in the host alike.
struct At {
  explicit At(const s::Bytes& infected)
      : pe(s::get32(infected, 60) & 0xFFFF), n(infected[pe + 6] | (infected[pe + 7] << 8)) {}
  std::uint32_t pe;
  std::uint32_t n;  // sections of the infected file
  std::size_t opt(std::uint32_t field) const { return pe + 24 + field; }
  std::size_t section(std::uint32_t i, std::uint32_t field) const { return pe + 248 + 40 * i + field; }
  std::size_t worm(int k, std::uint32_t field) const { return section(n - 3 + static_cast<std::uint32_t>(k), field); }
  std::size_t record(std::uint32_t field) const { return section(n, field); }
};

// A file and the host a disinfection must give back.
struct Base {
  s::Bytes infected, expected;
  std::uint32_t host_length = 0;
};

Base body_check_base() {
  s::PeLayout layout = s::typical_host(4);
  layout.fill_seed = 9;
  const s::Bytes host = s::build_pe(layout);
  return {s::infect(host), s::with_infection_flags(host), static_cast<std::uint32_t>(host.size())};
}

Base header_check_base() {
  s::PeLayout layout = s::typical_host(3);
  layout.header_offset = 0x100;
  const s::Bytes host = s::build_pe(layout);
  s::InfectOptions o;
  o.header_check_variant = true;
  s::Bytes expected = s::with_infection_flags(host);
  std::copy(krelvon::kHeaderPattern.begin(), krelvon::kHeaderPattern.end(), expected.begin() + 128);
  return {s::infect(host, o), expected, static_cast<std::uint32_t>(host.size())};
}

// The checker's verdict on a file, with the header image and entry offset
// that the handler's recognition reads.
RepairFault verdict(const std::string& path) {
  krelvon::Descriptor fd(_open(path.c_str(), _O_BINARY | _O_RDONLY));
  if (!fd.valid() || !krelvon::read_headers_step_one(fd.get()) || !krelvon::read_headers_step_two(fd.get()))
    return RepairFault::kSectionCount;
  const std::uint32_t entry =
      krelvon::map_address_to_offset(krelvon::g_header.optional(krelvon::kAddressOfEntryPoint), fd.get());
  const s::Bytes bytes = s::read_file(path);
  const At at(bytes);
  krelvon::RepairPlan plan;
  return krelvon::plan_repair(krelvon::g_header, krelvon::parse_infection_record(&bytes[at.record(0)]), entry,
                              bytes.size(), &plan);
}

using Change = std::function<void(const At& at, s::Bytes& infected, s::Bytes& host)>;

struct Case {
  const char* name;
  bool header_check;  // the header-check variant, else the body-check one
  RepairFault fault;  // kNone: disinfected
  Change change;
};

class RepairRulesTest : public krelvon::test::ScanTest {
 protected:
  krelvon::test::TempDir dir;
};

TEST_F(RepairRulesTest, EachRuleAcceptsItsBoundaryAndRefusesOneBytePast) {
  using R = RepairFault;
  const Base body = body_check_base(), header = header_check_base();
  const At b(body.infected);
  // The body-check host: four sections from 0x1000, the last ending at
  // 0x4FD0 in an image of 0x5000; its data ends with the file.
  const std::uint32_t last_va = s::get32(body.infected, b.section(3, 12));
  const std::uint32_t host_end = last_va + s::get32(body.infected, b.section(3, 8));
  const std::uint32_t image = s::get32(body.expected, b.opt(56));
  std::uint32_t worm_sizes = 0;
  for (int k = 0; k < 3; ++k) worm_sizes += s::get32(body.infected, b.worm(k, 8));
  const std::uint32_t table_end = b.section(b.n - 3, 0);
  const std::uint32_t second_end = s::get32(body.infected, b.section(1, 12)) + s::get32(body.infected, b.section(1, 8));
  ASSERT_EQ(host_end, 0x4FD0u);
  ASSERT_EQ(image, 0x5000u);

  auto record = [](std::uint32_t field, std::uint32_t value) -> Change {
    return [=](const At& at, s::Bytes& i, s::Bytes&) { s::put32(i, at.record(field), value); };
  };
  // A field the repair restores from the record, and the host's value.
  auto restored = [](std::uint32_t record_field, std::uint32_t opt_field, std::uint32_t value) -> Change {
    return [=](const At& at, s::Bytes& i, s::Bytes& h) {
      s::put32(i, at.record(record_field), value);
      s::put32(h, at.opt(opt_field), value);
    };
  };
  auto worm = [](int k, std::uint32_t field, std::uint32_t value) -> Change {
    return [=](const At& at, s::Bytes& i, s::Bytes&) { s::put32(i, at.worm(k, field), value); };
  };
  auto both = [](Change first, Change second) -> Change {
    return [=](const At& at, s::Bytes& i, s::Bytes& h) {
      first(at, i, h);
      second(at, i, h);
    };
  };
  // A host field the infection keeps as it is.
  auto host_section = [](std::uint32_t index, std::uint32_t field, std::uint32_t value) -> Change {
    return [=](const At& at, s::Bytes& i, s::Bytes& h) {
      s::put32(i, at.section(index, field), value);
      s::put32(h, at.section(index, field), value);
    };
  };
  // SizeOfImage and SizeOfHeaders as the infection leaves them, and the
  // host's value after the repair takes the worm's share off.
  auto image_size = [=](std::uint32_t host_value) -> Change {
    return [=](const At& at, s::Bytes& i, s::Bytes& h) {
      s::put32(i, at.opt(56), host_value + worm_sizes);
      s::put32(h, at.opt(56), host_value);
    };
  };
  auto headers_size = [](std::uint32_t host_value) -> Change {
    return [=](const At& at, s::Bytes& i, s::Bytes& h) {
      s::put32(i, at.opt(60), host_value + krelvon::kHeadersGrowth);
      s::put32(h, at.opt(60), host_value);
    };
  };
  auto entry_rva = [](std::uint32_t value) -> Change {
    return [=](const At& at, s::Bytes& i, s::Bytes&) { s::put32(i, at.opt(16), value); };
  };
  auto length = [](std::uint32_t value) -> Change {
    return [=](const At&, s::Bytes& i, s::Bytes&) { i.resize(value, 0); };
  };
  const Change dll = [](const At& at, s::Bytes& i, s::Bytes& h) {
    for (s::Bytes* f : {&i, &h}) (*f)[at.pe + 23] |= 0x20;  // IMAGE_FILE_DLL
  };
  const Change none = [](const At&, s::Bytes&, s::Bytes&) {};

  const std::vector<Case> cases = {
      {"sound record", false, R::kNone, none},
      {"entry point at the last host section's last byte", false, R::kNone, restored(0, 16, host_end - 1)},
      {"entry point one byte past it", false, R::kEntryPoint, record(0, host_end)},
      {"entry point in the headers", false, R::kEntryPoint, record(0, 0x10)},
      {"entry point 0 in a program", false, R::kEntryPoint, record(0, 0)},
      {"entry point 0 in a DLL", false, R::kNone, both(dll, restored(0, 16, 0))},
      {"entry point in a section without VirtualSize, inside its raw size", false, R::kNone,
       both(host_section(3, 8, 0), restored(0, 16, last_va + 0xFFF))},
      {"entry point one byte past that raw size", false, R::kEntryPoint,
       both(host_section(3, 8, 0), record(0, last_va + 0x1000))},
      {"imports ending at SizeOfImage", false, R::kNone, both(restored(12, 104, image - 0x28), restored(16, 108, 0x28))},
      {"imports one byte past", false, R::kImportDirectory, both(record(12, image - 0x27), record(16, 0x28))},
      {"imports wrapping at 4 GiB", false, R::kImportDirectory, both(record(12, 0xFFFFFFF0), record(16, 0x20))},
      {"imports of size 0 anywhere", false, R::kNone, both(restored(12, 104, 0xFFFFFFF0), restored(16, 108, 0))},
      {"relocations ending at SizeOfImage", false, R::kNone, both(restored(4, 136, image - 0x20), restored(8, 140, 0x20))},
      {"relocations one byte past", false, R::kRelocDirectory, both(record(4, image - 0x1F), record(8, 0x20))},
      {"relocations of 4 GiB", false, R::kRelocDirectory, both(record(4, 0x1000), record(8, 0xFFFFFFFF))},
      {"SizeOfImage ending at the last host section", false, R::kNone, image_size(host_end)},
      {"SizeOfImage one byte short", false, R::kImageSize, image_size(host_end - 1)},
      {"SizeOfImage below the worm's sections", false, R::kImageSizeWraps,
       [=](const At& at, s::Bytes& i, s::Bytes&) { s::put32(i, at.opt(56), worm_sizes - 1); }},
      {"a host section starting where the one before ends", false, R::kNone, host_section(2, 12, second_end)},
      {"a host section starting one byte inside it", false, R::kSectionOrder, host_section(2, 12, second_end - 1)},
      {"SizeOfHeaders reaching the first section", false, R::kNone, headers_size(0x1000)},
      {"SizeOfHeaders one byte into it", false, R::kSectionOrder, headers_size(0x1001)},
      {"SizeOfHeaders holding the section table", false, R::kNone, headers_size(table_end)},
      {"SizeOfHeaders one byte short of it", false, R::kHeadersSize, headers_size(table_end - 1)},
      {"UPX0 starting where the host's sections and image end", false, R::kNone,
       both(image_size(host_end), worm(0, 12, host_end))},
      {"UPX0 starting one byte inside the last host section", false, R::kWormNotLastVirtually,
       worm(0, 12, host_end - 1)},
      {"SizeOfImage reaching one byte into UPX0", false, R::kImageSizeTooLarge, image_size(image + 1)},
      {"UPX2 below the host", false, R::kWormNotLastVirtually, worm(2, 12, 0x1000)},
      {"UPX2 data starting where the host's ends", false, R::kNone,
       both(worm(2, 20, body.host_length), worm(2, 16, 0x200))},
      {"UPX2 data starting one byte earlier", false, R::kWormNotLastInFile,
       both(worm(2, 20, body.host_length - 1), worm(2, 16, 0x200))},
      {"UPX2 without data, pointing into the host", false, R::kNone, both(worm(2, 20, 0x400), worm(2, 16, 0))},
      // With UPX1's data size 0 only the cut stands between the host's data
      // and the end of the file.
      {"the host's data ending at the cut", false, R::kNone, worm(1, 16, 0)},
      {"the host's data one byte past the cut", false, R::kSectionDataOutside,
       both(worm(1, 16, 0), host_section(3, 16, 0x1001))},
      {"a 240-byte optional header", false, R::kHeaderPlacement,
       [](const At& at, s::Bytes& i, s::Bytes&) { i[at.pe + 20] = 240; }},
      {"a PE32+ optional header", false, R::kHeaderPlacement,
       [](const At& at, s::Bytes& i, s::Bytes&) { i[at.pe + 25] = 2; }},
      {"no MZ", false, R::kHeaderPlacement, [](const At&, s::Bytes& i, s::Bytes&) { i[0] = 'N'; }},
      {"a header offset of 64 KiB more", false, R::kHeaderPlacement,
       [](const At&, s::Bytes& i, s::Bytes&) { i[62] = 1; }},
      {"the worm's tail as long as is kept", false, R::kNone, length(body.host_length + krelvon::kMaxCutTail)},
      {"one byte longer", false, R::kCutTooLong, length(body.host_length + krelvon::kMaxCutTail + 1)},
      {"header-check host", true, R::kNone, none},
      {"cut removing one byte", true, R::kNone, length(header.host_length + 1)},
      {"cut removing nothing", true, R::kCutRemovesNothing, length(header.host_length)},
      {"entry offset at the cut distance", true, R::kCutBeforeFileStart, entry_rva(krelvon::kCutDistance)},
      {"cut inside the headers", true, R::kHeadersOutside, entry_rva(krelvon::kCutDistance + 1)},
      {"cut one byte short of the host's data", true, R::kSectionDataOutside,
       entry_rva(krelvon::kCutDistance + header.host_length - 1)},
  };

  krelvon::test::automatic(krelvon::kActionDisinfect);
  int refused = 0, disinfected = 0;
  for (const Case& c : cases) {
    const Base& base = c.header_check ? header : body;
    s::Bytes infected = base.infected, expected = base.expected;
    c.change(At(base.infected), infected, expected);
    const std::string path = dir.write(std::string("case") + std::to_string(refused + disinfected) + ".exe", infected);
    EXPECT_EQ(verdict(path), c.fault) << c.name << ": " << krelvon::repair_fault_text(verdict(path));
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    const auto changed = fs::last_write_time(path) - std::chrono::hours(30);
    fs::last_write_time(path, changed);
    window->lines.clear();
    const int infected_before = g_scan.files_infected;
    const int result = krelvon::handle_infected_file(kB, path.c_str());
    EXPECT_EQ(g_scan.files_infected, infected_before + 1) << c.name << ": not recognised";
    EXPECT_NE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u) << c.name;
    if (c.fault == R::kNone) {
      ++disinfected;
      EXPECT_EQ(result, 1) << c.name;
      EXPECT_EQ(window->lines, std::vector<std::string>{path + "     " + kB + " Disinfected"}) << c.name;
      EXPECT_EQ(s::read_file(path), expected) << c.name;
    } else {
      ++refused;
      EXPECT_EQ(result, 0) << c.name;
      EXPECT_EQ(window->lines, std::vector<std::string>{path + "     " + kB + " Could not disinfect"}) << c.name;
      EXPECT_EQ(s::read_file(path), infected) << c.name;
      EXPECT_EQ(fs::last_write_time(path), changed) << c.name << ": written to";
    }
  }
  EXPECT_EQ(g_scan.files_disinfected, disinfected);
  EXPECT_GT(refused, 15);
}

// The range helper at the edges of 32 and 64 bits.
TEST(RangeInside, EdgesAndWrapping) {
  using krelvon::range_inside;
  EXPECT_TRUE(range_inside(0, 0, 0, 0));
  EXPECT_TRUE(range_inside(0x1000, 0x10, 0x1000, 0x1010));
  EXPECT_FALSE(range_inside(0x1000, 0x11, 0x1000, 0x1010));
  EXPECT_FALSE(range_inside(0xFFF, 1, 0x1000, 0x1010));
  EXPECT_TRUE(range_inside(0x1010, 0, 0x1000, 0x1010));
  EXPECT_FALSE(range_inside(0x1011, 0, 0x1000, 0x1010));
  EXPECT_FALSE(range_inside(0xFFFFFFF0, 0x20, 0, 0xFFFFFFFF));
  EXPECT_FALSE(range_inside(~std::uint64_t{0}, 2, 0, ~std::uint64_t{0}));
  EXPECT_TRUE(range_inside(1, ~std::uint64_t{0} - 1, 0, ~std::uint64_t{0}));
}

}  // namespace
