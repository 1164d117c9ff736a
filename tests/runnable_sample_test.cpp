// The runnable worm sample of the sample factory: a PE32+ program that the
// worm-file handler recognises exactly as it recognises the worm's files.
#include <gtest/gtest.h>

#include "engine/scan_context.h"
#include "handlers/header_image.h"
#include "handlers/signatures.h"
#include "handlers/worm_file.h"
#include "platform/platform.h"
#include "tests/support.h"
#include "tools/samples.h"

namespace s = krelvon::samples;
using krelvon::g_scan;

namespace {

class RunnableSample : public krelvon::test::ScanTest {};

// The entry offset through the program's own header image and mapping.
std::uint32_t handler_entry_offset(const std::string& path) {
  const int fd = _open(path.c_str(), _O_BINARY | _O_RDONLY);
  EXPECT_GE(fd, 0);
  std::uint32_t entry = 0;
  if (krelvon::read_headers_step_one(fd) && krelvon::read_headers_step_two(fd))
    entry = krelvon::map_address_to_offset(krelvon::g_header.optional(krelvon::kAddressOfEntryPoint), fd);
  _close(fd);
  return entry;
}

TEST_F(RunnableSample, EveryRecordIsAPe32PlusOfTheRecordsLengthThatTheHandlerRecognises) {
  krelvon::test::TempDir dir;
  for (int record = 0; record < 3; ++record) {
    SCOPED_TRACE(record);
    const s::Bytes b = s::make_runnable_worm_file(record, 1000);
    ASSERT_EQ(b.size(), s::worm_file_length(record));
    const std::uint32_t pe = s::get32(b, 60);
    EXPECT_EQ(b[pe + 4] | (b[pe + 5] << 8), 0x8664);  // x86_64
    EXPECT_EQ(b[pe + 24] | (b[pe + 25] << 8), 0x20B);  // PE32+
    const std::string path = dir.write("sample" + std::to_string(record) + ".exe", b);
    EXPECT_EQ(handler_entry_offset(path), s::header_image_entry_offset(b));

    krelvon::reset_scan_context();
    g_scan.memory_phase = true;  // first pass: only marked
    g_scan.progress_window = window->hwnd();
    EXPECT_EQ(krelvon::handle_worm_file("W32/BugBear.B.Worm", path.c_str()), 1);
    EXPECT_TRUE(g_scan.found_in_memory);
    EXPECT_EQ(s::read_file(path), b);
  }
}

// The PE32 variant: i386, its section table where the header image reads
// it, the same recognition; the imports name KERNEL32's Sleep and
// ExitProcess in 4-byte thunks.
TEST_F(RunnableSample, ThePe32VariantIsAnI386ProgramThatTheHandlerRecognises) {
  krelvon::test::TempDir dir;
  const s::Bytes b = s::make_runnable_worm_file(2, 1000, s::RunnableMachine::kI386);
  ASSERT_EQ(b.size(), s::worm_file_length(2));
  const std::uint32_t pe = s::get32(b, 60);
  EXPECT_EQ(b[pe + 4] | (b[pe + 5] << 8), 0x14C);   // i386
  EXPECT_EQ(b[pe + 24] | (b[pe + 25] << 8), 0x10B);  // PE32
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[pe + 248]), 5), ".text");
  EXPECT_NE(b, s::make_runnable_worm_file(2, 1000));
  const std::string path = dir.write("sample32.exe", b);
  const std::uint32_t entry = handler_entry_offset(path);
  EXPECT_EQ(entry, s::header_image_entry_offset(b));
  // The entry point's code: push 1000 (0x3E8), call through the table.
  EXPECT_EQ(b[entry], 0x68);
  EXPECT_EQ(s::get32(b, entry + 1), 1000u);
  EXPECT_EQ(b[entry + 5], 0xFF);
  EXPECT_EQ(b[entry + 6], 0x15);
  krelvon::reset_scan_context();
  g_scan.memory_phase = true;
  g_scan.progress_window = window->hwnd();
  EXPECT_EQ(krelvon::handle_worm_file("W32/BugBear.B.Worm", path.c_str()), 1);
  EXPECT_TRUE(g_scan.found_in_memory);
  EXPECT_EQ(s::read_file(path), b);
}

TEST_F(RunnableSample, OneByteOffEitherPatternIsNoWormFile) {
  krelvon::test::TempDir dir;
  const s::Bytes b = s::make_runnable_worm_file(2, 1000);
  const std::uint32_t entry = s::header_image_entry_offset(b);
  const krelvon::WormSignature& sig = krelvon::kWormSignatures[2];
  for (std::int32_t distance : {sig.first_offset, sig.second_offset}) {
    s::Bytes changed = b;
    changed[entry + static_cast<std::uint32_t>(distance) + 19] ^= 0xFF;
    const std::string path = dir.write("changed.exe", changed);
    EXPECT_EQ(krelvon::handle_worm_file("W32/BugBear.B.Worm", path.c_str()), 0);
  }
  // The same program one byte longer breaks the length rule.
  s::Bytes longer = b;
  longer.push_back(0);
  EXPECT_EQ(krelvon::handle_worm_file("W32/BugBear.B.Worm", dir.write("longer.exe", longer).c_str()), 0);
}

}  // namespace
