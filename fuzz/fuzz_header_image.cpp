// The header image on bytes the fuzzer chooses: both reading steps, the
// entry-point mapping and the writer, on a scratch file.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "handlers/header_image.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = krelvon::fuzz::write_scratch(data, size);
  const int fd = _open(path.c_str(), _O_BINARY | _O_RDWR);
  if (fd < 0) return 0;
  if (krelvon::read_headers_step_one(fd) && krelvon::read_headers_step_two(fd)) {
    const std::uint32_t entry =
        krelvon::map_address_to_offset(krelvon::g_header.optional(krelvon::kAddressOfEntryPoint), fd);
    (void)entry;
    for (int i = 0; i < krelvon::kMaxSections; ++i)
      (void)krelvon::map_address_to_offset(krelvon::g_header.section(i, krelvon::kSectionVirtualAddress), fd);
    krelvon::write_headers(fd);
  }
  _close(fd);
  return 0;
}
