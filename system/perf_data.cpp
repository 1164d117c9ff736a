#include "system/perf_data.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "handlers/header_image.h"
#include "platform/platform.h"

namespace krelvon {

namespace {

// PERF_DATA_BLOCK, PERF_OBJECT_TYPE, PERF_COUNTER_DEFINITION,
// PERF_INSTANCE_DEFINITION and PERF_COUNTER_BLOCK: the fields the walk reads.
constexpr std::size_t kBlockHeaderLength = 24;
constexpr std::size_t kObjectDefinitionLength = 4;
constexpr std::size_t kObjectHeaderLength = 8;
constexpr std::size_t kObjectNumCounters = 32;
constexpr std::size_t kObjectNumInstances = 40;
constexpr std::size_t kCounterDefinitionStep = 40;
constexpr std::size_t kCounterTitleIndex = 4;
constexpr std::size_t kCounterOffset = 36;
constexpr std::size_t kInstanceByteLength = 0;
constexpr std::size_t kInstanceNameOffset = 16;
constexpr std::size_t kCounterBlockByteLength = 0;
constexpr char16_t kSignature[4] = {u'P', u'E', u'R', u'F'};

// The instance name is converted into 260 bytes; a longer name cannot fit.
constexpr int kConvertedCapacity = 260;

// A bounded view of the block: every read says whether it fitted.
struct Reader {
  const std::uint8_t* data;
  std::size_t size;

  bool fits(std::uint64_t at, std::uint64_t length) const {
    return at <= size && length <= size - at;
  }
  bool u32(std::uint64_t at, std::uint32_t* out) const {
    if (!fits(at, 4)) return false;
    *out = get32(data + at);
    return true;
  }
  bool u16(std::uint64_t at, std::uint16_t* out) const {
    if (!fits(at, 2)) return false;
    *out = get16(data + at);
    return true;
  }
};

void copy_name(PerfSlot* slot, const char* name) {
  std::strncpy(slot->name, name, sizeof slot->name - 1);
  slot->name[sizeof slot->name - 1] = '\0';
}

bool equals_ignoring_case(const char* a, const char* b) { return _stricmp(a, b) == 0; }

// The run of decimal digits that ends at the last character of text.
bool trailing_digits(const char* text, std::size_t length, char* out, std::size_t capacity) {
  std::size_t start = length;
  while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9') --start;
  const std::size_t run = length - start;
  if (run + 1 > capacity) return false;
  std::memcpy(out, text + start, run);
  out[run] = '\0';
  return true;
}

// Converts the zero-terminated UTF-16 name at `at` into the slot's name.
void convert_name(const Reader& r, std::uint64_t at, PerfSlot* slot) {
  WCHAR wide[kConvertedCapacity + 1];
  int units = 0;
  bool terminated = false;
  while (units <= kConvertedCapacity) {
    std::uint16_t unit = 0;
    if (!r.u16(at + 2u * static_cast<std::uint64_t>(units), &unit)) break;
    wide[units] = static_cast<WCHAR>(unit);
    if (unit == 0) {
      terminated = true;
      break;
    }
    ++units;
  }
  char narrow[kConvertedCapacity];
  // A name that runs past the block or past what the 260-byte output could
  // hold is one the conversion cannot give.
  const int converted =
      terminated ? WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, kConvertedCapacity, nullptr, nullptr) : 0;
  if (converted <= 0) {
    copy_name(slot, "unknown");
    return;
  }
  narrow[kConvertedCapacity - 1] = '\0';
  if (std::strlen(narrow) <= static_cast<std::size_t>(kPerfNameLength)) copy_name(slot, narrow);
}

}  // namespace

bool parse_counter_names(const char* list, std::size_t size, CounterIndexes* out) {
  std::memset(out, 0, sizeof *out);
  const char* previous = nullptr;
  std::size_t previous_length = 0;
  std::size_t at = 0;
  while (at < size) {
    const void* end = std::memchr(list + at, '\0', size - at);
    if (end == nullptr) break;  // unterminated: the list ends here
    const char* text = list + at;
    const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(end) - text);
    if (length == 0) break;  // the empty string ends the list
    const char* digits_of = previous != nullptr ? previous : "";
    const std::size_t digits_length = previous != nullptr ? previous_length : 0;
    if (equals_ignoring_case(text, "process")) {
      char index[kPerfIndexCapacity];
      if (trailing_digits(digits_of, digits_length, index, sizeof index)) {
        std::memcpy(out->process_index, index, sizeof index);
        out->have_process = true;
      }
    } else if (equals_ignoring_case(text, "id process")) {
      char index[kPerfIndexCapacity];
      if (trailing_digits(digits_of, digits_length, index, sizeof index)) {
        out->id_process_index = std::atol(index);
        out->have_id_process = true;
      }
    }
    previous = text;
    previous_length = length;
    at += length + 1;
  }
  return out->have_process && out->have_id_process;
}

void parse_perf_block(const std::uint8_t* block, std::size_t size, long id_process_index,
                      PerfTable* table) {
  std::memset(table, 0, sizeof *table);
  const Reader r{block, size};
  for (int i = 0; i < 4; ++i) {
    std::uint16_t unit = 0;
    if (!r.u16(2u * static_cast<unsigned>(i), &unit) || unit != kSignature[i]) return;
  }
  std::uint32_t header_length = 0, definition_length = 0, object_header = 0;
  std::uint32_t counters = 0, instances = 0;
  if (!r.u32(kBlockHeaderLength, &header_length)) return;
  const std::uint64_t object = header_length;
  if (!r.u32(object + kObjectDefinitionLength, &definition_length) ||
      !r.u32(object + kObjectHeaderLength, &object_header) ||
      !r.u32(object + kObjectNumCounters, &counters) ||
      !r.u32(object + kObjectNumInstances, &instances))
    return;

  bool found = false;
  std::uint32_t counter_offset = 0;
  for (std::uint64_t c = 0; c < counters; ++c) {
    const std::uint64_t definition = object + object_header + c * kCounterDefinitionStep;
    std::uint32_t title = 0;
    if (!r.u32(definition + kCounterTitleIndex, &title)) return;  // runs past the block
    if (static_cast<long>(title) == id_process_index) {
      if (!r.u32(definition + kCounterOffset, &counter_offset)) return;
      found = true;
      break;
    }
  }
  if (!found) return;
  if (static_cast<std::int32_t>(instances) < 0) return;  // an object without instances
  const int count = instances > static_cast<std::uint32_t>(kPerfFilledMax)
                        ? kPerfFilledMax
                        : static_cast<int>(instances);

  std::uint64_t instance = object + definition_length;
  for (int i = 0; i < count; ++i) {
    std::uint32_t byte_length = 0, name_offset = 0, block_length = 0, id = 0;
    if (!r.u32(instance + kInstanceByteLength, &byte_length) ||
        !r.u32(instance + kInstanceNameOffset, &name_offset))
      return;
    const std::uint64_t counter_block = instance + byte_length;
    if (!r.u32(counter_block + counter_offset, &id) ||
        !r.u32(counter_block + kCounterBlockByteLength, &block_length))
      return;
    PerfSlot* slot = &table->slots[i];
    convert_name(r, instance + name_offset, slot);
    slot->id = id == 0 ? kPerfIdZero : id;
    table->count = i + 1;
    instance = counter_block + block_length;
  }
}

namespace {

constexpr char kPerflibKey[] = "software\\microsoft\\windows nt\\currentversion\\perflib";
constexpr int kEnglish = 9;
constexpr DWORD kFirstDataSize = 0xC800;  // 51,200 bytes
constexpr DWORD kDataGrowth = 0x6400;     // 25,600 bytes

// An open registry key, closed when it goes out of scope.
struct OpenKey {
  HKEY key = nullptr;
  ~OpenKey() {
    if (key != nullptr) RegCloseKey(key);
  }
};

// HKEY_PERFORMANCE_DATA is closed at the end of every walk.
struct PerformanceDataClose {
  ~PerformanceDataClose() { RegCloseKey(HKEY_PERFORMANCE_DATA); }
};

// A zeroed heap buffer that can be replaced by a larger one.
struct Buffer {
  std::unique_ptr<std::uint8_t[]> bytes;
  DWORD size = 0;
  bool allocate(DWORD n) {
    bytes.reset(new (std::nothrow) std::uint8_t[n == 0 ? 1 : n]);
    if (!bytes) return false;
    std::memset(bytes.get(), 0, n == 0 ? 1 : n);
    size = n;
    return true;
  }
};

bool read_counter_indexes(CounterIndexes* indexes) {
  char key_name[kPathCapacity];
  std::snprintf(key_name, sizeof key_name, "%s\\%03x", kPerflibKey, kEnglish);
  OpenKey perflib;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_name, 0, KEY_READ, &perflib.key) != ERROR_SUCCESS) {
    perflib.key = nullptr;
    return false;
  }
  DWORD size = 0;
  if (RegQueryValueExA(perflib.key, "Counters", nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
    return false;
  Buffer names;
  if (!names.allocate(size)) return false;
  DWORD got = size;
  if (RegQueryValueExA(perflib.key, "Counters", nullptr, nullptr, names.bytes.get(), &got) !=
      ERROR_SUCCESS)
    return false;
  if (got > size) got = size;
  return parse_counter_names(reinterpret_cast<const char*>(names.bytes.get()), got, indexes);
}

}  // namespace

void read_perf_process_table(PerfTable* table) {
  std::memset(table, 0, sizeof *table);
  PerformanceDataClose close_performance_data;
  CounterIndexes indexes;
  if (!read_counter_indexes(&indexes)) return;

  Buffer data;
  if (!data.allocate(kFirstDataSize)) return;
  DWORD size = data.size;
  for (;;) {
    size = data.size;
    const LONG result = RegQueryValueExA(HKEY_PERFORMANCE_DATA, indexes.process_index, nullptr,
                                         nullptr, data.bytes.get(), &size);
    if (result == ERROR_SUCCESS) break;
    if (result != ERROR_MORE_DATA) return;
    // The next size: what the system reported, plus a step. A report that
    // would wrap around ends the walk.
    if (size > 0xFFFFFFFFu - kDataGrowth) return;
    if (!data.allocate(size + kDataGrowth)) return;
  }
  if (size == 0) return;
  if (size > data.size) size = data.size;
  parse_perf_block(data.bytes.get(), size, indexes.id_process_index, table);
}

}  // namespace krelvon
