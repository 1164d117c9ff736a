// The infected-file handler on bytes the fuzzer chooses, with every action.
#include "fuzz/fuzz_handlers.h"
#include "handlers/infected_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The handler on its own, as the tests call it.
  using Alone = int (*)(const char*, const char*);
  krelvon::fuzz::run_every_action(data, size, static_cast<Alone>(&krelvon::handle_infected_file));
  return 0;
}
