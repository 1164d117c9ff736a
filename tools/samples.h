// The sample factory's worm samples: inert files laid out as the worm lays
// out its own files and the hosts it infects, for the tests, the fuzz seeds,
// the demonstration folder and the benchmark. Nothing here runs; the bytes
// are patterns, zeros and a pseudo-random fill.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/pe_builder.h"

namespace krelvon::samples {

// A worm file matching signature record `record` (0, 1 or 2) with the given
// length: a PE32 with one section covering the file, the entry offset E
// chosen inside it, and both patterns at their distances from E.
Bytes make_worm_file(int record, std::uint32_t length);

// A runnable worm file for record `record`: a small PE32+ (x86_64) program
// of the record's length that only sleeps for sleep_ms milliseconds and
// exits. Its entry offset is computed as the handlers compute it (the
// header image reads the section table at header offset + 248, which in a
// PE32+ file is 16 bytes before the real one), and both patterns stand at
// their distances from that offset, in data the program never executes.
//
// With kI386: a PE32 (i386) program instead, for the 32-bit systems; its
// section table stands where the header image reads it.
enum class RunnableMachine { kX86_64, kI386 };
Bytes make_runnable_worm_file(int record, std::uint32_t sleep_ms, RunnableMachine machine = RunnableMachine::kX86_64);

// The file offset of the entry point as the header image maps it: the
// section entries are read at header offset + 248, the first whose virtual
// address plus virtual size lies above the address gives the offset, an
// offset at or past the end of the file falls back to the address itself,
// and 0 gives SizeOfHeaders.
std::uint32_t header_image_entry_offset(const Bytes& file);

// The record's usual length (50688 or 5632).
std::uint32_t worm_file_length(int record);

struct InfectOptions {
  // Decryptor parameters of the worm body.
  std::uint32_t key = 0x5A3C96E1;
  std::uint8_t rotation = 7;  // 0: no 0xC1 0x04 pair at all
  std::uint32_t addend = 0x01234567;
  // The first key-search attempt (0..24) whose window holds the key pair;
  // 25 or more: no attempt does, so the body never decrypts.
  int key_attempt = 0;
  // Rotation byte written into the key window when it differs from the one
  // the body was encrypted with (e.g. 32 with an unrotated body).
  int window_rotation = -1;
  // The header-check variant: the entry offset lies beyond the end of the
  // file and the header marker stands at offset 128.
  bool header_check_variant = false;
};

// Infects a PE32 host in the worm's layout: UPX0, UPX1, UPX2 appended to the
// section table, every section readable and writable, the infection record
// (host entry point, relocation and import directories) behind the new
// table, SizeOfHeaders raised by 3072, SizeOfImage by the new sections'
// virtual sizes, and the worm appended so that the entry offset E is the
// host's length + 69920, with the encrypted body in the 68 bytes before E
// and the decryptor's pairs in the key window after it. Empty when the host
// cannot take the infection (not PE32, no room in its headers).
Bytes infect(const Bytes& host, const InfectOptions& options = {});

// Why infect() refuses a host, or empty when it takes it.
std::string infection_refusal(const Bytes& host);

// A file that holds only the worm: the three sections and the body, no host.
Bytes make_worm_only_file(const InfectOptions& options = {});

// The encryption the worm applies: the inverse of the decryption loop, over
// the 68 bytes before the entry offset. Lives here, never in the program.
void encrypt_body(std::uint8_t* body68, std::uint32_t key, std::uint8_t rotation, std::uint32_t addend);

// The host with the read and write flags the infection adds to every
// section: what a disinfected file equals.
Bytes with_infection_flags(const Bytes& host);

// What keeps a PE32 file from loading as its own headers describe it, read
// independently of the handlers' header image (the section table found
// through SizeOfOptionalHeader, the directories through
// NumberOfRvaAndSizes): no sections; the section table outside
// SizeOfHeaders or SizeOfHeaders outside the file; the headers and sections
// overlapping or going backwards in the image; SizeOfImage short of the
// sections (a larger one loads: the loader reserves the rest); a section's
// raw data past the end of the file; an entry point in no section (0 only
// in a DLL); the import or relocation directory outside the image. Empty
// when none of these.
std::string pe32_layout_problem(const Bytes& file);

// A demonstration folder: clean programs, a text file, one worm file per
// record and three infected hosts. Returns the paths written.
std::vector<std::string> write_demo(const std::string& folder);

// A benchmark corpus of n files in folder (mostly ordinary files and clean
// PE files, about one in 500 a worm file of each record in turn or an
// infected host, spread over subfolders of 100). Returns the paths of the
// planted samples.
std::vector<std::string> write_corpus(const std::string& folder, int n);

// A corpus shaped like a real disk: n files in folders of about 19 entries
// nested three to a folder; 30% real programs (the libraries of at most
// kDiskCorpusLargestProgram bytes in `libraries`, copied in turn), 70% data
// of random bytes (1 to 64 KiB), and 10 worm files of the records in turn.
// Returns the worm files' paths; none when `libraries` holds no library.
inline constexpr std::uintmax_t kDiskCorpusLargestProgram = 400000;
std::vector<std::string> write_disk_corpus(const std::string& folder, int n, const std::string& libraries);

}  // namespace krelvon::samples
