// The sample factory's writer of registry hive files: the smallest hive the
// NT line would load, built in memory. Keys and values are added afterwards
// through a hive library; this writer only makes the empty hive it opens.
#pragma once

#include <cstdint>
#include <string>

#include "tools/pe_builder.h"

namespace krelvon::samples {

inline constexpr std::size_t kHiveBaseBlockLength = 4096;
inline constexpr std::size_t kHiveBinLength = 4096;

// A hive of one base block and one bin: the base block ("regf", both
// sequence numbers equal, version 1.5, the root key's offset, the bins'
// length, the file name, its checksum), the bin ("hbin") holding the root
// key node (flags: hive entry, not deletable, ASCII name) named root_name,
// its security cell (a self-relative descriptor: Administrators own it,
// Administrators and SYSTEM have full access, Everyone may read) and one
// free cell for the rest of the bin.
Bytes make_empty_hive(const std::string& root_name, const std::string& file_name);

// The base block's checksum: the exclusive or of its first 127 doublewords,
// 0xFFFFFFFF written as 0xFFFFFFFE and 0 as 1.
std::uint32_t hive_checksum(const Bytes& hive);

// Sets the two sequence numbers and writes the checksum again.
void set_hive_sequence(Bytes& hive, std::uint32_t primary, std::uint32_t secondary);

// A transaction log of the new format for the hive: the first 512 bytes of
// its base block as the log's own (file type 6, checksum over the 508), then
// one log entry ("HvLE") with the given sequence number and no dirty pages.
Bytes make_hive_log(const Bytes& hive, std::uint32_t entry_sequence);

}  // namespace krelvon::samples
