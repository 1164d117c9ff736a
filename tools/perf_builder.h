// The sample factory's writer of performance data: counter-name lists and
// performance data blocks with a process object, laid out as the system
// publishes them, for the parsers' tests and fuzz seeds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/pe_builder.h"

namespace krelvon::samples {

// A "Counters" list: index and name strings, each zero-terminated, and the
// closing empty string.
Bytes counter_names(const std::vector<std::pair<std::string, std::string>>& pairs);

struct PerfInstance {
  std::u16string name;
  std::uint32_t id = 0;
};

struct PerfLayout {
  char16_t signature[4] = {u'P', u'E', u'R', u'F'};
  std::vector<std::uint32_t> counter_titles = {6, 784, 1410};  // title index per counter
  std::uint32_t id_counter = 1;  // which counter holds the process id (its CounterOffset)
  std::vector<PerfInstance> instances;
  std::int32_t num_instances = -2;  // -2: the number of instances given
};

// The block: header, the process object with its counter definitions, then
// for every instance its definition, name and counter block. Each counter
// value is 4 bytes at CounterOffset 8 + 4 * counter.
Bytes perf_block(const PerfLayout& layout);

}  // namespace krelvon::samples
