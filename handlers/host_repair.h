// The disinfection's writes: restores a recognised host in place from the
// infection record, verifies what the file then holds, and puts the file
// back as it was when anything fails.
#pragma once

#include <cstdint>

namespace krelvon {

// Repairs the host open for reading and writing on fd, whose headers are in
// the header image (as recognised: at least four sections, the last three
// the worm's), whose length was examined_length when it was examined and
// whose entry offset is entry_offset. True when the file now holds the host
// exactly as the infection record and headers describe it, checked by
// reading it back. False when the file no longer holds what was examined,
// when the record or the headers describe no host that can exist (nothing
// is written then), or when a write or the check of the result failed (the
// file is put back as it was).
bool repair_host(int fd, std::int32_t examined_length, std::uint32_t entry_offset);

}  // namespace krelvon
