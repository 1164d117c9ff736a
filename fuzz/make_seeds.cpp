// Writes the seed corpus of the fuzz targets from the sample factory:
// make_seeds TARGET FOLDER.
#include <cstdio>
#include <cstring>
#include <string>

#include <filesystem>

#include "tools/hive_builder.h"
#include "tools/offline_install.h"
#include "tools/pe_builder.h"
#include "tools/perf_builder.h"
#include "tools/samples.h"

namespace s = krelvon::samples;

namespace {

void header_image_seeds(const std::string& dir) {
  int n = 0;
  auto put = [&](const s::Bytes& b) { s::write_file(dir + "/seed-" + std::to_string(n++), b); };
  for (int sections : {0, 1, 3, 5, 20}) put(s::build_pe(s::typical_host(sections)));
  s::PeLayout plus = s::typical_host(3);
  plus.pe32_plus = true;
  put(s::build_pe(plus));
  s::PeLayout far = s::typical_host(2);
  far.header_offset = 0x200;
  put(s::build_pe(far));
}

void handler_seeds(const std::string& dir) {
  header_image_seeds(dir);
  int n = 100;
  auto put = [&](const s::Bytes& b) { s::write_file(dir + "/seed-" + std::to_string(n++), b); };
  for (int record = 0; record < 3; ++record) put(s::make_worm_file(record, s::worm_file_length(record)));
  s::InfectOptions late;
  late.key_attempt = 3;
  s::InfectOptions plain;
  plain.rotation = 0;
  s::InfectOptions marker;
  marker.header_check_variant = true;
  s::PeLayout far = s::typical_host(2);
  far.header_offset = 0x100;
  put(s::infect(s::build_pe(s::typical_host(3))));
  put(s::infect(s::build_pe(s::typical_host(2)), late));
  put(s::infect(s::build_pe(s::typical_host(1)), plain));
  put(s::infect(s::build_pe(far), marker));
  put(s::make_worm_only_file());
}

// Overlays of the repair target: none (the sound infection), and single
// fields of the record and headers changed.
void repair_seeds(const std::string& dir) {
  const s::Bytes infected = s::infect(s::build_pe(s::typical_host(4)));
  const std::uint32_t pe = s::get32(infected, 60), record = pe + 248 + 40 * 7;
  int n = 0;
  auto put = [&](const s::Bytes& b) { s::write_file(dir + "/seed-" + std::to_string(n++), b); };
  put({});
  for (const std::uint32_t at : {record, record + 4, record + 12, record + 16, pe + 24 + 56, pe + 24 + 60,
                                 pe + 248 + 40 * 4 + 12, pe + 248 + 40 * 3 + 16}) {
    s::Bytes overlay(at + 4, 0);
    s::put32(overlay, at, 0x00010001);
    put(overlay);
  }
}

void perf_block_seeds(const std::string& dir) {
  int n = 0;
  auto put = [&](const s::PerfLayout& layout) {
    s::write_file(dir + "/seed-" + std::to_string(n++), s::perf_block(layout));
  };
  s::PerfLayout layout;
  layout.instances = {{u"Idle", 0}, {u"wormy", 44}, {u"abcdefghijklmnopq", 12}, {u"explorer", 0x1234}};
  put(layout);
  s::PerfLayout one;
  one.instances = {{u"a", 1}};
  one.counter_titles = {784};
  one.id_counter = 0;
  put(one);
  s::PerfLayout negative = one;
  negative.num_instances = -1;
  put(negative);
  s::PerfLayout claims = one;
  claims.num_instances = 300;
  put(claims);
  s::PerfLayout many;
  for (std::uint32_t i = 0; i < 260; ++i) many.instances.push_back({u"p" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)), i});
  put(many);
}

void counter_name_seeds(const std::string& dir) {
  int n = 0;
  auto put = [&](const s::Bytes& b) { s::write_file(dir + "/seed-" + std::to_string(n++), b); };
  put(s::counter_names({{"1", "1847"}, {"230", "Process"}, {"232", "% Processor Time"}, {"784", "ID Process"}}));
  put(s::counter_names({{"230", "process"}, {"784", "id process"}, {"9230", "PROCESS"}, {"9784", "Id Process"}}));
  put(s::counter_names({{"x12", "process"}, {"7a", "id process"}}));
  put(s::counter_names({{"12345678901234567890", "process"}, {"784", "id process"}}));
  put(s::counter_names({{"1", "1847"}, {"1846", "End Marker"}}));
}

// Installations of the offline registry target: the sample factory's two
// hives, then with logs beside them (one of entries already in the hive,
// one newer), then with a RunOnce value too long to be written again.
void offline_registry_seeds(const std::string& dir) {
  const std::string scratch = dir + "/installation";
  const s::OfflineInstallation install = s::write_offline_installation(scratch);
  s::Bytes software = s::read_file(install.software);
  const s::Bytes system = s::read_file(install.system);
  int n = 0;
  auto put = [&](std::initializer_list<s::Bytes> parts) {
    static const std::string separator = "|krelvon|";
    s::Bytes seed;
    for (const s::Bytes& part : parts) {
      if (&part != parts.begin()) seed.insert(seed.end(), separator.begin(), separator.end());
      seed.insert(seed.end(), part.begin(), part.end());
    }
    s::write_file(dir + "/seed-" + std::to_string(n++), seed);
  };
  put({software, system});
  put({software, system, s::make_hive_log(software, 0), s::make_hive_log(system, 9)});
  {
    s::HiveWriter w(install.software);
    w.binary("Microsoft\\Windows\\CurrentVersion\\RunOnce", "long", s::Bytes(20000, 'a'));
    w.commit();
  }
  put({s::read_file(install.software), system});
  std::filesystem::remove_all(scratch);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_seeds TARGET FOLDER\n");
    return 2;
  }
  const std::string target = argv[1];
  if (target == "worm_file" || target == "infected_file") {
    handler_seeds(argv[2]);
    return 0;
  }
  if (target == "repair") {
    repair_seeds(argv[2]);
    return 0;
  }
  if (target == "perf_block") {
    perf_block_seeds(argv[2]);
    return 0;
  }
  if (target == "counter_names") {
    counter_name_seeds(argv[2]);
    return 0;
  }
  if (target == "offline_registry") {
    offline_registry_seeds(argv[2]);
    return 0;
  }
  if (target == "header_image") {
    header_image_seeds(argv[2]);
    return 0;
  }
  std::fprintf(stderr, "make_seeds: no seeds for %s\n", argv[1]);
  return 2;
}
