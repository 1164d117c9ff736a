// SHA-256 (FIPS 180-4), for the backup's manifest: the digest of each file
// as it was and as the scan left it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace krelvon::cli {

class Sha256 {
 public:
  Sha256();
  void update(const void* data, std::size_t size);
  // The digest of everything given so far; the object is spent afterwards.
  std::array<std::uint8_t, 32> digest();
  // The digest in lower-case hexadecimal (64 characters).
  std::string hex();

 private:
  void block(const std::uint8_t* p);
  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // bytes given
};

}  // namespace krelvon::cli
