// The performance-data parser on bytes the fuzzer chooses: the process-id
// counter is looked for under the title index the seeds use and under the
// one the block's first counter definition names, so both the miss and the
// instance walk are reached.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "system/perf_data.h"

namespace {

void check(const krelvon::PerfTable& table) {
  if (table.count < 0 || table.count > krelvon::kPerfFilledMax) std::abort();
  for (int i = 0; i < krelvon::kPerfSlots; ++i) {
    const krelvon::PerfSlot& slot = table.slots[i];
    if (std::memchr(slot.name, '\0', sizeof slot.name) == nullptr) std::abort();
    if (i >= table.count && (slot.id != 0 || slot.name[0] != '\0')) std::abort();
    if (i < table.count && slot.id == 0) std::abort();  // id 0 is stored as 0xFFFFFFFE
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static krelvon::PerfTable table;
  krelvon::parse_perf_block(data, size, 784, &table);
  check(table);
  // The title index of the first counter definition, wherever the header
  // fields place it (read only when it lies inside the input).
  long title = 0;
  if (size >= 28) {
    const std::uint64_t object = static_cast<std::uint64_t>(data[24]) | static_cast<std::uint64_t>(data[25]) << 8 |
                                 static_cast<std::uint64_t>(data[26]) << 16 | static_cast<std::uint64_t>(data[27]) << 24;
    if (object + 12 <= size) {
      const std::uint8_t* h = data + object + 8;
      const std::uint64_t first = object + (static_cast<std::uint64_t>(h[0]) | static_cast<std::uint64_t>(h[1]) << 8 |
                                            static_cast<std::uint64_t>(h[2]) << 16 | static_cast<std::uint64_t>(h[3]) << 24);
      if (first + 8 <= size)
        title = static_cast<long>(data[first + 4] | data[first + 5] << 8 | data[first + 6] << 16 |
                                  static_cast<std::uint32_t>(data[first + 7]) << 24);
    }
  }
  krelvon::parse_perf_block(data, size, title, &table);
  check(table);
  return 0;
}
