// Shared pieces of the fuzz targets: the handlers work on files by path, so
// every input is written to a scratch file first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace krelvon::fuzz {

// A scratch file of this process (in /dev/shm when it exists), rewritten
// with the given bytes; returns its path.
const std::string& write_scratch(const std::uint8_t* data, std::size_t size, const char* suffix = ".exe");

}  // namespace krelvon::fuzz
