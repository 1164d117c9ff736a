// krelvon-repair-trial: infects real PE32 hosts with the worm's layout, makes
// one field of the infection record or of the headers implausible at random
// (the worm's layout stays recognisable), disinfects each variant with the
// infected-file handler, and counts what happened. Every refused file must
// be byte for byte as it was; every disinfected one is read back and
// checked twice, by the disinfection's own rules and by an independent
// layout check of the sample factory.
//
//   krelvon-repair-trial [--variants=N] [--seed=S] [--verbose] [FOLDER]...
//
// Hosts: every file of the FOLDERs (default: this machine's Windows
// libraries, as the real-PE test finds them) that the sample factory can
// infect, and a few of the factory's own. Exit status 0 when nothing broken
// was reported as disinfected and nothing refused was changed, 1 otherwise,
// 2 for a usage error or no hosts.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/scan_context.h"
#include "handlers/handler_support.h"
#include "handlers/infected_file.h"
#include "handlers/repair_check.h"
#include "tools/samples.h"

namespace fs = std::filesystem;
namespace s = krelvon::samples;
using krelvon::g_scan;

namespace {

constexpr char kDetection[] = "W32/BugBear.B.Worm";
constexpr int kFactorySections[] = {1, 2, 3, 5, 8};

struct Host {
  std::string name;
  s::Bytes clean, infected;
};

std::vector<Host> collect_hosts(const std::vector<std::string>& roots) {
  std::vector<Host> hosts;
  std::set<s::Bytes> seen;
  for (const std::string& root : roots) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (!it->is_regular_file(ec) || it->file_size(ec) > (4u << 20)) continue;
      s::Bytes bytes = s::read_file(it->path().string());
      if (bytes.size() < 64 || bytes[0] != 'M' || bytes[1] != 'Z' || !s::infection_refusal(bytes).empty() ||
          !seen.insert(bytes).second)
        continue;
      s::Bytes infected = s::infect(bytes);
      hosts.push_back({it->path().string(), std::move(bytes), std::move(infected)});
    }
  }
  for (int sections : kFactorySections) {
    s::PeLayout layout = s::typical_host(sections);
    layout.fill_seed = static_cast<std::uint8_t>(40 + sections);
    s::Bytes bytes = s::build_pe(layout);
    s::Bytes infected = s::infect(bytes);
    hosts.push_back({"sample factory host of " + std::to_string(sections) + " sections", bytes, infected});
  }
  return hosts;
}

// One field of the infected file that a variant changes.
struct Field {
  std::string name;
  std::size_t at;
};

std::vector<Field> fields_of(const s::Bytes& infected, std::mt19937& random) {
  const std::uint32_t pe = s::get32(infected, 60);
  const std::uint32_t n = static_cast<std::uint32_t>(infected[pe + 6] | (infected[pe + 7] << 8));
  const std::uint32_t opt = pe + 24, table = pe + 248, record = table + 40 * n;
  std::vector<Field> fields = {
      {"record: entry point", record + 0},         {"record: relocation address", record + 4},
      {"record: relocation size", record + 8},      {"record: import address", record + 12},
      {"record: import size", record + 16},         {"SizeOfImage", opt + 56},
      {"SizeOfHeaders", opt + 60},
  };
  const char* section_fields[] = {"VirtualSize", "VirtualAddress", "SizeOfRawData", "PointerToRawData"};
  const char* worm[] = {"UPX0", "UPX1", "UPX2"};
  for (std::uint32_t k = 0; k < 3; ++k)
    for (std::uint32_t f = 0; f < 4; ++f)
      fields.push_back({std::string(worm[k]) + " " + section_fields[f], table + 40 * (n - 3 + k) + 8 + 4 * f});
  const std::uint32_t host_section = static_cast<std::uint32_t>(random() % (n - 3));
  for (std::uint32_t f = 0; f < 4; ++f)
    fields.push_back({std::string("host section ") + section_fields[f], table + 40 * host_section + 8 + 4 * f});
  return fields;
}

// A value for a field: far off, at the edges, or near what it was or near
// the ends of the host's image and file.
std::uint32_t changed_value(std::uint32_t old, const Host& host, std::mt19937& random) {
  const std::uint32_t image = s::get32(host.clean, s::get32(host.clean, 60) + 24 + 56);
  const auto length = static_cast<std::uint32_t>(host.clean.size());
  const auto around = [&](std::uint32_t v, std::uint32_t spread) {
    return v + static_cast<std::uint32_t>(static_cast<int>(random() % (2 * spread + 1)) - static_cast<int>(spread));
  };
  for (;;) {
    std::uint32_t v = 0;
    switch (random() % 9) {
      case 0: v = static_cast<std::uint32_t>(random()); break;
      case 1: v = 0; break;
      case 2: v = 0xFFFFFFFF; break;
      case 3: v = around(old, 0x1000); break;
      case 4: v = around(old, 1); break;
      case 5: v = old + 0x80000000u; break;
      case 6: v = old ^ (1u << (random() % 32)); break;
      case 7: v = around(image, 0x100); break;
      default: v = around(length, 0x100); break;
    }
    if (v != old) return v;
  }
}

struct Tally {
  int variants = 0, refused = 0, disinfected = 0, broken = 0, exact = 0, refused_changed = 0, other = 0;
  void add(const Tally& t) {
    variants += t.variants;
    refused += t.refused;
    disinfected += t.disinfected;
    broken += t.broken;
    exact += t.exact;
    refused_changed += t.refused_changed;
    other += t.other;
  }
};

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The disinfection's own rules on the file as it is now.
std::string own_check(const std::string& path) {
  krelvon::Descriptor fd(_open(path.c_str(), _O_BINARY | _O_RDONLY));
  const krelvon::RepairFault fault = fd.valid() ? krelvon::check_host_file(fd.get()) : krelvon::RepairFault::kHeaderPlacement;
  return fault == krelvon::RepairFault::kNone ? "" : krelvon::repair_fault_text(fault);
}

int usage() {
  std::fprintf(stderr, "usage: krelvon-repair-trial [--variants=N] [--seed=S] [--verbose] [FOLDER]...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int wanted = 300;
  unsigned seed = 1;
  bool verbose = false;
  std::vector<std::string> roots;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--variants=", 0) == 0) {
      wanted = std::atoi(a.c_str() + 11);
      if (wanted <= 0) return usage();
    } else if (a.rfind("--seed=", 0) == 0) {
      seed = static_cast<unsigned>(std::strtoul(a.c_str() + 7, nullptr, 10));
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a.rfind("--", 0) == 0) {
      return usage();
    } else {
      roots.push_back(a);
    }
  }
  if (roots.empty())
    roots = {"/usr/lib/x86_64-linux-gnu/wine/i386-windows", "/usr/lib/i386-linux-gnu/wine/i386-windows",
             "/usr/lib/wine/i386-windows", "/usr/i686-w64-mingw32", "/usr/lib/gcc/i686-w64-mingw32",
             "/usr/share/nsis"};
  const std::vector<Host> hosts = collect_hosts(roots);
  std::printf("hosts: %zu PE32 programs that take the infection (%zu of them from the sample factory)\n",
              hosts.size(), std::size(kFactorySections));
  if (hosts.empty()) return 2;

  const fs::path dir = fs::temp_directory_path() / ("krelvon-repair-trial-" + std::to_string(seed));
  fs::create_directories(dir);
  const std::string path = (dir / "variant.exe").string();
  std::mt19937 random(seed);
  std::map<std::string, Tally> by_field;
  int unrecognised = 0, changed_unrecognised = 0, tries = 0;
  krelvon::reset_scan_context();
  g_scan.memory_phase = false;
  g_scan.handling_automatic = 1;
  g_scan.action_disinfect = 1;

  Tally total;
  while (total.variants < wanted && tries < 50 * wanted) {
    ++tries;
    const Host& host = hosts[random() % hosts.size()];
    s::Bytes variant = host.infected;
    const std::vector<Field> fields = fields_of(variant, random);
    const Field& field = fields[random() % fields.size()];
    const std::uint32_t old = s::get32(variant, field.at);
    const std::uint32_t value = changed_value(old, host, random);
    s::put32(variant, field.at, value);
    s::write_file(path, variant);

    const int infected_before = g_scan.files_infected, disinfected_before = g_scan.files_disinfected;
    g_scan.line[0] = '\0';
    krelvon::handle_infected_file(kDetection, path.c_str());
    const std::string line = g_scan.line;
    const s::Bytes now = s::read_file(path);
    if (g_scan.files_infected == infected_before) {
      // The change hid the worm: not a variant of this trial.
      ++unrecognised;
      if (now != variant) {
        ++changed_unrecognised;
        std::printf("CHANGED WITHOUT A FINDING: %s, %s\n", host.name.c_str(), field.name.c_str());
      }
      continue;
    }
    Tally t;
    t.variants = 1;
    std::string outcome;
    if (ends_with(line, " Could not disinfect")) {
      t.refused = 1;
      t.refused_changed = now != variant;
      outcome = t.refused_changed ? "REFUSED BUT CHANGED" : "refused";
    } else if (ends_with(line, " Disinfected") && g_scan.files_disinfected == disinfected_before + 1) {
      t.disinfected = 1;
      const std::string own = own_check(path), independent = s::pe32_layout_problem(now);
      t.broken = !own.empty() || !independent.empty();
      t.exact = now == s::with_infection_flags(host.clean);
      outcome = t.broken ? "BROKEN (" + own + (own.empty() || independent.empty() ? "" : "; ") + independent + ")"
                         : (t.exact ? "disinfected, the host exactly" : "disinfected, a sound program");
    } else {
      t.other = 1;
      outcome = "other: " + line;
    }
    if (verbose || t.broken || t.refused_changed || t.other)
      std::printf("%-28s %08X -> %08X  %s  [%s]\n", field.name.c_str(), old, value, outcome.c_str(), host.name.c_str());
    by_field[field.name].add(t);
    total.add(t);
  }

  std::printf("\n%-30s %8s %8s %11s %7s %6s\n", "field changed", "variants", "refused", "disinfected", "broken", "exact");
  for (const auto& [name, t] : by_field)
    std::printf("%-30s %8d %8d %11d %7d %6d\n", name.c_str(), t.variants, t.refused, t.disinfected, t.broken, t.exact);
  std::printf("%-30s %8d %8d %11d %7d %6d\n", "all", total.variants, total.refused, total.disinfected, total.broken,
              total.exact);
  std::printf("\nseed %u: %d variants, %d refused, %d disinfected (%d of them the host exactly), %d broken among "
              "the disinfected, %d refused but changed, %d other outcomes; %d changes hid the worm and were not "
              "counted\n",
              seed, total.variants, total.refused, total.disinfected, total.exact, total.broken, total.refused_changed,
              total.other, unrecognised);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return total.broken == 0 && total.refused_changed == 0 && total.other == 0 && changed_unrecognised == 0 ? 0 : 1;
}
