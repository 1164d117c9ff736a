// The disinfection of an infected host whose headers the fuzzer changes:
// its bytes are laid over the first KiB of an infected host of the sample
// factory (XOR, so zeros leave a byte as it is and an empty input is the
// sound infection). Whatever the headers say, a file reported "Disinfected"
// must be a program by the repair's own rules and by the sample factory's
// independent layout check, and any other file must be as it was.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/scan_context.h"
#include "fuzz/fuzz_support.h"
#include "handlers/handler_support.h"
#include "handlers/infected_file.h"
#include "handlers/repair_check.h"
#include "tools/samples.h"

namespace s = krelvon::samples;

namespace {

constexpr std::size_t kOverlay = 1024;

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz_repair: %s: %s\n", what, detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const s::Bytes base = s::infect(s::build_pe(s::typical_host(4)));
  s::Bytes file = base;
  for (std::size_t i = 0; i < size && i < kOverlay; ++i) file[i] ^= data[i];

  krelvon::reset_scan_context();
  krelvon::g_scan.memory_phase = false;
  krelvon::g_scan.handling_automatic = 1;
  krelvon::g_scan.action_disinfect = 1;
  const std::string& path = krelvon::fuzz::write_scratch(file.data(), file.size());
  krelvon::handle_infected_file("W32/BugBear.B.Worm", path.c_str());
  const std::string line = krelvon::g_scan.line;
  const s::Bytes now = s::read_file(path);
  if (ends_with(line, " Disinfected")) {
    krelvon::Descriptor fd(_open(path.c_str(), _O_BINARY | _O_RDONLY));
    const krelvon::RepairFault fault = krelvon::check_host_file(fd.get());
    if (fault != krelvon::RepairFault::kNone) fail("disinfected into a broken program", krelvon::repair_fault_text(fault));
    const std::string problem = s::pe32_layout_problem(now);
    if (!problem.empty()) fail("disinfected into a program the independent check rejects", problem);
  } else if (now != file) {
    fail("changed without a disinfection", line);
  }
  return 0;
}
