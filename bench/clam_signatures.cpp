// Writes a signature database in the extended (.ndb) format of the other
// scanner the benchmark compares against, for the same threats krelvon-scan
// recognises: one signature per worm-file record (its two patterns at their
// distance from each other), one for the infected layout (the three worm
// sections one after the other in the section table) and one for the
// header-check variant (its pattern at offset 128). Written from the same
// data as the handlers, so both scanners look for the same files.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "handlers/signatures.h"

namespace {

std::string hex(const std::uint8_t* bytes, std::size_t n) {
  std::string out;
  char two[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    out += two;
  }
  return out;
}

std::string skip(long n) { return "{" + std::to_string(n) + "}"; }

}  // namespace

int main() {
  using namespace krelvon;
  int record = 0;
  for (const WormSignature* s = kWormSignatures; s->first_pattern[0] != 0; ++s, ++record) {
    const std::string first = hex(s->first_pattern, kPatternLength);
    const std::string second = hex(s->second_pattern, kPatternLength);
    const long gap = static_cast<long>(s->second_offset) - s->first_offset;
    // Target 1: portable-executable files; offset *: anywhere.
    if (gap >= kPatternLength)
      std::printf("Krelvon.WormFile.%d:1:*:%s%s%s\n", record, first.c_str(), skip(gap - kPatternLength).c_str(),
                  second.c_str());
    else if (-gap >= kPatternLength)
      std::printf("Krelvon.WormFile.%d:1:*:%s%s%s\n", record, second.c_str(), skip(-gap - kPatternLength).c_str(),
                  first.c_str());
    else
      return std::fprintf(stderr, "clam-signatures: record %d's patterns overlap\n", record), EXIT_FAILURE;
  }
  // A section table entry is 40 bytes: the name in 8, then 32 more.
  std::string sections;
  for (int k = 0; k < 3; ++k) {
    std::uint8_t name[8] = {};
    for (int c = 0; kWormSections[k][c] != '\0'; ++c) name[c] = static_cast<std::uint8_t>(kWormSections[k][c]);
    if (k > 0) sections += skip(32);
    sections += hex(name, sizeof name);
  }
  std::printf("Krelvon.InfectedHost:0:*:%s\n", sections.c_str());
  std::printf("Krelvon.InfectedHost.HeaderCheck:0:%u:%s\n", kHeaderPatternOffset,
              hex(kHeaderPattern.data(), kHeaderPattern.size()).c_str());
  return EXIT_SUCCESS;
}
