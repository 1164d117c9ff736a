// The handlers on the real Windows programs and libraries that this
// machine's packages install (Wine's, mingw-w64's, and NSIS's where it is
// installed): none is recognised, none upsets either handler, and every
// PE32 one that can take the infection comes back byte for byte after
// infecting and disinfecting.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/scan_context.h"
#include "handlers/infected_file.h"
#include "handlers/worm_file.h"
#include "tests/support.h"
#include "tools/samples.h"

namespace fs = std::filesystem;
namespace s = krelvon::samples;
using krelvon::g_scan;

namespace {

std::vector<fs::path> real_pe_files(std::size_t limit) {
  std::vector<fs::path> found;
  for (const char* root : {"/usr/lib/x86_64-linux-gnu/wine/i386-windows", "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows", "/usr/x86_64-w64-mingw32", "/usr/i686-w64-mingw32",
                           "/usr/lib/gcc/i686-w64-mingw32", "/usr/lib/gcc/x86_64-w64-mingw32", "/usr/share/nsis"}) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (!it->is_regular_file(ec) || it->file_size(ec) > (1u << 20)) continue;
      const std::string ext = it->path().extension().string();
      if (ext != ".dll" && ext != ".exe" && ext != ".drv" && ext != ".sys" && ext != ".ocx") continue;
      found.push_back(it->path());
      if (found.size() >= limit) return found;
    }
  }
  return found;
}

class RealPeTest : public krelvon::test::ScanTest {};

TEST_F(RealPeTest, NoFalsePositivesAndExactRoundTrips) {
  const auto files = real_pe_files(1400);
  if (files.empty()) GTEST_SKIP() << "no Windows programs installed on this machine";
  krelvon::test::TempDir dir;
  int checked = 0, hosts = 0, refused = 0;
  for (const auto& f : files) {
    const s::Bytes original = s::read_file(f.string());
    if (original.size() < 64 || original[0] != 'M' || original[1] != 'Z') continue;
    ++checked;
    // Ignore: a recognition would show in the counter and leave a line.
    g_scan.handling_automatic = 1;
    g_scan.action_ignore = 1;
    g_scan.action_disinfect = 0;
    const std::string copy = dir.write("copy.bin", original);
    krelvon::handle_worm_file("W32/BugBear.B.Worm", copy.c_str());
    krelvon::handle_infected_file("W32/BugBear.B.Worm", copy.c_str());
    EXPECT_EQ(g_scan.files_infected, 0) << f;
    EXPECT_EQ(s::read_file(copy), original) << f;
    if (g_scan.files_infected != 0) break;

    const s::Bytes infected = s::infect(original);
    if (infected.empty()) {
      ++refused;
      continue;
    }
    ++hosts;
    g_scan.action_ignore = 0;
    g_scan.action_disinfect = 1;
    const std::string host = dir.write("host.bin", infected);
    EXPECT_EQ(krelvon::handle_infected_file("W32/BugBear.B.Worm", host.c_str()), 1) << f;
    EXPECT_EQ(s::read_file(host), s::with_infection_flags(original)) << f;
    g_scan.files_infected = 0;
  }
  std::printf("real PE files checked: %d; infected and disinfected byte for byte: %d; "
              "PE32+ or without header room: %d\n",
              checked, hosts, refused);
  EXPECT_GT(checked, 0);
}

}  // namespace
