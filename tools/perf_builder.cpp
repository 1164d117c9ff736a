#include "tools/perf_builder.h"

namespace krelvon::samples {

namespace {

constexpr std::uint32_t kBlockHeader = 64;
constexpr std::uint32_t kObjectHeader = 64;
constexpr std::uint32_t kCounterDefinition = 40;
constexpr std::uint32_t kInstanceHeader = 40;

void grow(Bytes& b, std::size_t size) {
  if (b.size() < size) b.resize(size, 0);
}

void put_wide(Bytes& b, std::size_t at, char16_t unit) {
  grow(b, at + 2);
  b[at] = static_cast<std::uint8_t>(unit & 0xFF);
  b[at + 1] = static_cast<std::uint8_t>(unit >> 8);
}

}  // namespace

Bytes counter_names(const std::vector<std::pair<std::string, std::string>>& pairs) {
  Bytes b;
  auto add = [&](const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
  };
  for (const auto& [index, name] : pairs) {
    add(index);
    add(name);
  }
  b.push_back(0);
  return b;
}

Bytes perf_block(const PerfLayout& layout) {
  Bytes b(kBlockHeader, 0);
  for (int i = 0; i < 4; ++i) put_wide(b, 2u * static_cast<unsigned>(i), layout.signature[i]);
  put32(b, 24, kBlockHeader);

  const std::size_t object = kBlockHeader;
  const auto counters = static_cast<std::uint32_t>(layout.counter_titles.size());
  const std::uint32_t definition_length = kObjectHeader + counters * kCounterDefinition;
  grow(b, object + definition_length);
  put32(b, object + 4, definition_length);
  put32(b, object + 8, kObjectHeader);
  put32(b, object + 32, counters);
  const std::int32_t n = layout.num_instances == -2 ? static_cast<std::int32_t>(layout.instances.size())
                                                  : layout.num_instances;
  put32(b, object + 40, static_cast<std::uint32_t>(n));
  for (std::uint32_t c = 0; c < counters; ++c) {
    const std::size_t d = object + kObjectHeader + c * kCounterDefinition;
    put32(b, d, kCounterDefinition);
    put32(b, d + 4, layout.counter_titles[c]);
    put32(b, d + 36, 8 + 4 * c);
  }
  const std::uint32_t counter_block = 8 + 4 * counters;

  std::size_t at = object + definition_length;
  for (const PerfInstance& instance : layout.instances) {
    const std::size_t name_bytes = 2 * (instance.name.size() + 1);
    const auto byte_length =
        static_cast<std::uint32_t>((kInstanceHeader + name_bytes + 7) / 8 * 8);
    grow(b, at + byte_length + counter_block);
    put32(b, at, byte_length);
    put32(b, at + 16, kInstanceHeader);
    put32(b, at + 20, static_cast<std::uint32_t>(name_bytes));
    for (std::size_t i = 0; i < instance.name.size(); ++i)
      put_wide(b, at + kInstanceHeader + 2 * i, instance.name[i]);
    const std::size_t block = at + byte_length;
    put32(b, block, counter_block);
    for (std::uint32_t c = 0; c < counters; ++c)
      put32(b, block + 8 + 4 * c, c == layout.id_counter ? instance.id : 0x1000u + c);
    at = block + counter_block;
  }
  return b;
}

}  // namespace krelvon::samples
