// Writes a rule file for the pattern-matching tool the benchmark compares
// against, for the same threats krelvon-scan recognises, as conditions only
// (no string search): one rule per worm-file record (its length rule and
// both patterns at their distances from the entry point, which the tool's
// portable-executable module gives as a file offset), one for the infected
// layout (the three worm sections as the last three of the section table,
// every section readable and writable) and one for its header-check variant
// (that layout and the pattern at offset 128). Written from the same data
// as the handlers, so both look for the same files.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "handlers/header_image.h"
#include "handlers/signatures.h"

namespace {

// "uint32(AT + 0) == 0x... and ..." over n bytes (a multiple of 4), little
// endian as the tool reads.
std::string bytes_at(const std::string& at, const std::uint8_t* bytes, std::size_t n) {
  std::string out;
  char word[96];
  for (std::size_t i = 0; i < n; i += 4) {
    const unsigned long v = bytes[i] | (bytes[i + 1] << 8) | (bytes[i + 2] << 16) |
                            (static_cast<unsigned long>(bytes[i + 3]) << 24);
    std::snprintf(word, sizeof word, "%suint32(%s + %zu) == 0x%08lx", i ? " and " : "", at.c_str(), i, v);
    out += word;
  }
  return out;
}

std::string signed_offset(long n) { return n < 0 ? " - " + std::to_string(-n) : " + " + std::to_string(n); }

}  // namespace

int main() {
  using namespace krelvon;
  static_assert(kPatternLength % 4 == 0 && kHeaderPattern.size() % 4 == 0, "whole 32-bit words");
  std::printf("import \"pe\"\n\n");
  int record = 0;
  for (const WormSignature* s = kWormSignatures; s->first_pattern[0] != 0; ++s, ++record) {
    std::string length;
    switch (s->length_rule) {
      case 1: length = "filesize == " + std::to_string(s->expected_length); break;
      case 2:
        length = "filesize > " + std::to_string(s->expected_length - kLengthTolerance) + " and filesize < " +
                 std::to_string(s->expected_length + kLengthTolerance);
        break;
      case 3: length = "true"; break;
      default: continue;  // never matches
    }
    std::printf("rule Krelvon_WormFile_%d {\n  condition:\n    pe.is_pe and %s and\n    %s and\n    %s\n}\n\n", record,
                length.c_str(),
                bytes_at("pe.entry_point" + signed_offset(s->first_offset), s->first_pattern, kPatternLength).c_str(),
                bytes_at("pe.entry_point" + signed_offset(s->second_offset), s->second_pattern, kPatternLength).c_str());
  }
  char layout[512];
  std::snprintf(layout, sizeof layout,
                "pe.is_pe and pe.number_of_sections >= 3 and pe.number_of_sections <= %d and\n"
                "    pe.sections[pe.number_of_sections - 3].name == \"%s\" and\n"
                "    pe.sections[pe.number_of_sections - 2].name == \"%s\" and\n"
                "    pe.sections[pe.number_of_sections - 1].name == \"%s\" and\n"
                "    for all i in (0 .. pe.number_of_sections - 1) :\n"
                "      (pe.sections[i].characteristics & 0x%08x == 0x%08x)",
                kMaxSections, kWormSections[0], kWormSections[1], kWormSections[2], kScnMemRead | kScnMemWrite,
                kScnMemRead | kScnMemWrite);
  std::printf("rule Krelvon_InfectedHost {\n  condition:\n    %s\n}\n\n", layout);
  std::printf("rule Krelvon_InfectedHost_HeaderCheck {\n  condition:\n    %s and\n    %s\n}\n", layout,
              bytes_at(std::to_string(kHeaderPatternOffset), kHeaderPattern.data(), kHeaderPattern.size()).c_str());
  return EXIT_SUCCESS;
}
