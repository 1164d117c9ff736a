#include <gtest/gtest.h>

#include "handlers/header_image.h"
#include "tests/support.h"
#include "tools/pe_builder.h"

using krelvon::g_header;
namespace s = krelvon::samples;

namespace {

// Opens a file that the sample factory wrote, for reading.
class Opened {
 public:
  explicit Opened(const std::string& path, int flags = _O_BINARY | _O_RDONLY) : fd(_open(path.c_str(), flags)) {}
  ~Opened() {
    if (fd >= 0) _close(fd);
  }
  int fd;
};

class HeaderImageTest : public ::testing::Test {
 protected:
  std::string write(const s::Bytes& bytes, const char* name = "sample.exe") { return dir.write(name, bytes); }
  krelvon::test::TempDir dir;
};

TEST_F(HeaderImageTest, ReadsAValidPe32) {
  s::PeLayout layout = s::typical_host(3);
  Opened f(write(s::build_pe(layout)));
  ASSERT_GE(f.fd, 0);
  ASSERT_TRUE(krelvon::read_headers_step_one(f.fd));
  ASSERT_TRUE(krelvon::read_headers_step_two(f.fd));
  EXPECT_EQ(g_header.header_offset, 0x80);
  EXPECT_EQ(g_header.number_of_sections(), 3);
  EXPECT_EQ(g_header.optional(krelvon::kAddressOfEntryPoint), 0x1010u);
  EXPECT_EQ(g_header.optional(krelvon::kSizeOfHeaders), 0x400u);
  EXPECT_EQ(g_header.optional(krelvon::kImportDirectoryAddress), 0x2000u);
  EXPECT_EQ(g_header.optional(krelvon::kRelocDirectoryAddress), 0x3000u);
  EXPECT_TRUE(g_header.section_named(0, ".text"));
  EXPECT_TRUE(g_header.section_named(2, ".data"));
  EXPECT_EQ(g_header.section(1, krelvon::kSectionVirtualAddress), 0x2000u);
  // Entries beyond NumberOfSections are zero.
  EXPECT_EQ(g_header.section(3, krelvon::kSectionVirtualAddress), 0u);
  // The entry point lies 0x10 into .text, whose raw data starts at 0x400.
  EXPECT_EQ(krelvon::map_address_to_offset(0x1010, f.fd), 0x410u);
}

TEST_F(HeaderImageTest, StepOneRejectsShortFilesAndMissingSignatures) {
  s::Bytes pe = s::build_pe(s::typical_host(1));
  {
    Opened f(write(s::Bytes(pe.begin(), pe.begin() + 61), "short.exe"));
    EXPECT_FALSE(krelvon::read_headers_step_one(f.fd));
  }
  {
    s::Bytes bad = pe;
    bad[0x80 + 2] = 1;  // "PE\1\0"
    Opened f(write(bad, "sig.exe"));
    EXPECT_FALSE(krelvon::read_headers_step_one(f.fd));
  }
  {
    Opened f(write(s::Bytes(62, 0), "zero.exe"));  // header offset 0: "\0\0\0\0" is no signature
    EXPECT_FALSE(krelvon::read_headers_step_one(f.fd));
  }
  {
    // The file header must arrive whole: one byte short of it fails.
    Opened f(write(s::Bytes(pe.begin(), pe.begin() + 0x80 + 4 + 19), "cut.exe"));
    EXPECT_FALSE(krelvon::read_headers_step_one(f.fd));
  }
  {
    Opened f(write(s::Bytes(pe.begin(), pe.begin() + 0x80 + 4 + 20), "fh.exe"));
    EXPECT_TRUE(krelvon::read_headers_step_one(f.fd));
  }
}

// Headers far into the file, past the first read of step one: read where
// they lie; a file that ends inside them, or before them, fails.
TEST_F(HeaderImageTest, HeadersBeyondTheFirstFourKibibytes) {
  const s::Bytes pe = s::build_pe(s::typical_host(3));
  for (const std::size_t moved_to : {std::size_t{4096 - 24}, std::size_t{4096 - 23}, std::size_t{0x2000}}) {
    // The headers from 0x80 on, moved to moved_to.
    s::Bytes moved(pe.begin(), pe.begin() + 0x80);
    moved.resize(moved_to, 0);
    moved.insert(moved.end(), pe.begin() + 0x80, pe.end());
    s::put32(moved, 60, static_cast<std::uint32_t>(moved_to));
    {
      Opened f(write(moved, "far.exe"));
      ASSERT_TRUE(krelvon::read_headers_step_one(f.fd)) << moved_to;
      EXPECT_EQ(g_header.header_offset, moved_to);
      ASSERT_TRUE(krelvon::read_headers_step_two(f.fd)) << moved_to;
      EXPECT_EQ(g_header.number_of_sections(), 3) << moved_to;
      EXPECT_TRUE(g_header.section_named(2, ".data")) << moved_to;
    }
    for (const std::size_t keep : {moved_to + 23, moved_to - 1}) {
      Opened f(write(s::Bytes(moved.begin(), moved.begin() + static_cast<long>(keep)), "cut.exe"));
      EXPECT_FALSE(krelvon::read_headers_step_one(f.fd)) << moved_to << " cut to " << keep;
    }
  }
}

TEST_F(HeaderImageTest, OnlyTheLowSixteenBitsOfTheHeaderOffsetCount) {
  s::Bytes pe = s::build_pe(s::typical_host(2));
  s::put32(pe, 60, 0x00030080);  // 196736: read at 0x80
  Opened f(write(pe));
  ASSERT_TRUE(krelvon::read_headers_step_one(f.fd));
  EXPECT_EQ(g_header.header_offset, 0x80);
  EXPECT_TRUE(krelvon::read_headers_step_two(f.fd));
}

TEST_F(HeaderImageTest, TwentySectionsAreAcceptedTwentyOneAreNot) {
  for (int n : {20, 21}) {
    s::PeLayout layout = s::typical_host(n);
    layout.size_of_headers = 0x1000;
    for (int i = 0; i < n; ++i) layout.sections[static_cast<std::size_t>(i)].raw_offset = 0x1000u + 0x1000u * static_cast<unsigned>(i);
    Opened f(write(s::build_pe(layout), n == 20 ? "twenty.exe" : "twentyone.exe"));
    ASSERT_TRUE(krelvon::read_headers_step_one(f.fd));
    EXPECT_EQ(krelvon::read_headers_step_two(f.fd), n == 20) << n;
  }
}

TEST_F(HeaderImageTest, SectionTableMustArriveWhole) {
  s::PeLayout layout = s::typical_host(3);
  s::Bytes pe = s::build_pe(layout);
  const std::size_t table_end = s::section_table_offset(layout) + 3 * 40;
  {
    Opened f(write(s::Bytes(pe.begin(), pe.begin() + static_cast<long>(table_end)), "exact.exe"));
    ASSERT_TRUE(krelvon::read_headers_step_one(f.fd));
    EXPECT_TRUE(krelvon::read_headers_step_two(f.fd));
  }
  {
    Opened f(write(s::Bytes(pe.begin(), pe.begin() + static_cast<long>(table_end) - 1), "short.exe"));
    ASSERT_TRUE(krelvon::read_headers_step_one(f.fd));
    EXPECT_FALSE(krelvon::read_headers_step_two(f.fd));
  }
}

TEST_F(HeaderImageTest, NoSectionsIsAnEmptyTable) {
  s::PeLayout layout = s::typical_host(0);
  layout.entry_point = 0x20;
  Opened f(write(s::build_pe(layout)));
  ASSERT_TRUE(krelvon::read_headers_step_one(f.fd));
  ASSERT_TRUE(krelvon::read_headers_step_two(f.fd));
  EXPECT_EQ(g_header.number_of_sections(), 0);
  // No section qualifies: offset = address.
  EXPECT_EQ(krelvon::map_address_to_offset(0x20, f.fd), 0x20u);
}

TEST_F(HeaderImageTest, MappingEdgeCases) {
  s::PeLayout layout = s::typical_host(3);  // .text 0x1000+0x1000 at raw 0x400; file 0x3400 long
  Opened f(write(s::build_pe(layout)));
  ASSERT_TRUE(krelvon::read_headers_step_one(f.fd) && krelvon::read_headers_step_two(f.fd));
  // Beyond every section: the address itself.
  EXPECT_EQ(krelvon::map_address_to_offset(0x9000, f.fd), 0x9000u);
  // Inside .data (0x3000, raw 0x2400).
  EXPECT_EQ(krelvon::map_address_to_offset(0x3004, f.fd), 0x2404u);
  // An offset at or past the end of the file gives the address: the last
  // byte of .data's raw data maps, one past it does not.
  EXPECT_EQ(krelvon::map_address_to_offset(0x3000 + 0xFDF, f.fd), 0x2400u + 0xFDF);
  g_header.set_section(2, krelvon::kSectionPointerToRawData, 0x2800);
  EXPECT_EQ(krelvon::map_address_to_offset(0x3BFF, f.fd), 0x33FFu);  // last byte of the file
  EXPECT_EQ(krelvon::map_address_to_offset(0x3C00, f.fd), 0x3C00u);  // 0x3400 == length
  // A zero offset gives SizeOfHeaders.
  g_header.set_section(0, krelvon::kSectionPointerToRawData, 0);
  EXPECT_EQ(krelvon::map_address_to_offset(0x1000, f.fd), 0x400u);
  EXPECT_EQ(krelvon::map_address_to_offset(0, f.fd), 0x400u);
  // Wrapping arithmetic: a section whose raw pointer lies below its address
  // by more than the address itself wraps past 2^32 and maps to the address.
  g_header.set_section(0, krelvon::kSectionPointerToRawData, 0);
  g_header.set_section(0, krelvon::kSectionVirtualAddress, 0x1800);
  EXPECT_EQ(krelvon::map_address_to_offset(0x1010, f.fd), 0x1010u);
}

TEST_F(HeaderImageTest, WriterPutsTheImageBack) {
  s::PeLayout layout = s::typical_host(4);
  const std::string path = write(s::build_pe(layout));
  {
    Opened f(path, _O_BINARY | _O_RDWR);
    ASSERT_TRUE(krelvon::read_headers_step_one(f.fd) && krelvon::read_headers_step_two(f.fd));
    g_header.set_optional(krelvon::kAddressOfEntryPoint, 0x1234);
    g_header.set_section(3, krelvon::kSectionVirtualSize, 0);
    g_header.set_number_of_sections(3);
    ASSERT_TRUE(krelvon::write_headers(f.fd));
  }
  const s::Bytes after = s::read_file(path);
  const s::Bytes before = s::build_pe(layout);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(s::get32(after, 0x80 + 24 + 16), 0x1234u);
  EXPECT_EQ(after[0x80 + 6], 3);
  // The fourth entry is beyond the new count and was not written.
  const std::size_t fourth = s::section_table_offset(layout) + 3 * 40;
  EXPECT_TRUE(std::equal(after.begin() + static_cast<long>(fourth), after.end(), before.begin() + static_cast<long>(fourth)));
}

TEST_F(HeaderImageTest, WriterFailsOnAReadOnlyDescriptor) {
  Opened f(write(s::build_pe(s::typical_host(2))));
  ASSERT_TRUE(krelvon::read_headers_step_one(f.fd) && krelvon::read_headers_step_two(f.fd));
  EXPECT_FALSE(krelvon::write_headers(f.fd));
}

TEST_F(HeaderImageTest, Pe32PlusIsReadAtTheFixedTableDistance) {
  // A PE32+ optional header is 240 bytes, so its section table stands 16
  // bytes after where the header image looks: the image reads whatever is
  // there, and the mapping works on that.
  s::PeLayout layout = s::typical_host(2);
  layout.pe32_plus = true;
  Opened f(write(s::build_pe(layout)));
  ASSERT_TRUE(krelvon::read_headers_step_one(f.fd));
  ASSERT_TRUE(krelvon::read_headers_step_two(f.fd));
  EXPECT_FALSE(g_header.section_named(0, ".text"));
}

}  // namespace
