// The performance process table of the NT line: the counter-name list and the
// performance data block, each decoded by a pure parser (bytes in, result
// out, every offset bounds-checked), and the registry walk that feeds them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace krelvon {

inline constexpr int kPerfSlots = 255;        // slots of the table
inline constexpr int kPerfFilledMax = 254;    // at most this many are filled
inline constexpr int kPerfNameLength = 16;    // characters of a slot's name
inline constexpr std::uint32_t kPerfIdZero = 0xFFFFFFFEu;  // how process id 0 is stored
inline constexpr int kPerfIndexCapacity = 16;  // digits of the object index text, terminator included

struct PerfSlot {
  std::uint32_t id;
  char name[kPerfNameLength + 1];
};

struct PerfTable {
  int count;  // filled slots, 0 to 254
  PerfSlot slots[kPerfSlots];
};

// What the counter-name list yields: the process object's index as text (the
// value name of the performance-data query) and the title index of the
// process-id counter.
struct CounterIndexes {
  bool have_process;
  char process_index[kPerfIndexCapacity];
  bool have_id_process;
  long id_process_index;
};

// Decodes a "Counters" list: zero-terminated strings, ended by an empty one,
// pairing a decimal index with a name. A "process" or "id process" string
// (any case) takes the run of digits ending the string before it; a later
// match replaces an earlier one. A string not terminated within size ends
// the list. A digit run longer than the index text holds is not taken.
// Returns true when both names were found.
bool parse_counter_names(const char* list, std::size_t size, CounterIndexes* out);

// Fills the table from a performance data block: the first object's
// instances, each slot with the instance name (empty when longer than 16
// characters, "unknown" when it cannot be converted) and the value of the
// counter whose title index is id_process_index (0 stored as 0xFFFFFFFE).
// A block without the PERF signature, without that counter, or with a
// negative instance count gives an empty table; an instance that reaches
// past the block ends the filling there.
void parse_perf_block(const std::uint8_t* block, std::size_t size, long id_process_index,
                      PerfTable* table);

// The registry walk: reads the English counter names under perflib\009 and
// the process object from HKEY_PERFORMANCE_DATA. Empty table on any failure.
void read_perf_process_table(PerfTable* table);

}  // namespace krelvon
