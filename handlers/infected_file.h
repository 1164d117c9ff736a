// The infected-file handler: recognises hosts that carry the worm in three
// extra sections and restores them.
#pragma once

#include <cstdint>

namespace krelvon {

class Examination;

// 1 when the file was disinfected, or recognised during the memory phase's
// first check; 0 in every other case. The threat table passes the file's
// examination, shared with the handler before this one; called with the
// path alone, the handler examines the file on its own.
int handle_infected_file(const char* detection_name, const char* path, Examination& file);
int handle_infected_file(const char* detection_name, const char* path);

// The decryptor of the worm body, as the recognition reads it from the key
// window that follows the entry point.
struct DecryptorParameters {
  std::uint32_t key = 0;
  std::uint8_t rotation = 0;
  std::uint32_t addend = 0;
};

// The first nonzero key (after 0x81 0x34), rotation (0xC1 0x04) and addend
// (0x81 0x04) among positions 0 to 89 of a 100-byte window, each read 3
// bytes after its pair.
DecryptorParameters find_decryptor_parameters(const std::uint8_t* window);

// One step of the decryption: XOR with the key, rotate left (a rotation of
// 32 adds the value to itself), add the addend; 32-bit arithmetic.
std::uint32_t decrypt_step(std::uint32_t x, std::uint32_t key, std::uint8_t rotation, std::uint32_t addend);

// Decrypts body (100 bytes read 68 before the entry offset) in place from
// position 67 down to 3 and compares each top byte with the body pattern;
// false at the first difference.
bool body_matches(std::uint8_t* body, const DecryptorParameters& p);

}  // namespace krelvon
