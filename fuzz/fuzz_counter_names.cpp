// The counter-name parser on bytes the fuzzer chooses: whatever the list
// holds, the index text stays terminated inside its field and the result
// says what was found.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "system/perf_data.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  krelvon::CounterIndexes out;
  const bool found = krelvon::parse_counter_names(reinterpret_cast<const char*>(data), size, &out);
  if (std::memchr(out.process_index, '\0', sizeof out.process_index) == nullptr) std::abort();
  if (found != (out.have_process && out.have_id_process)) std::abort();
  if (!out.have_process && out.process_index[0] != '\0') std::abort();
  return 0;
}
