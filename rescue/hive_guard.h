// The checks made before a hive of an offline installation is written. Each
// returns why the hive must be left alone, or an empty text when it may be
// written. Nothing here changes a file.
#pragma once

#include <cstdint>
#include <string>

namespace krelvon::rescue {

struct BaseBlock {
  std::uint32_t primary_sequence = 0;
  std::uint32_t secondary_sequence = 0;
};

// The hive's base block: "regf", a checksum that matches, and two equal
// sequence numbers. Unequal numbers (or a wrong checksum) mean the system
// stopped while writing the hive, and its logs hold what is missing.
std::string base_block_refusal(const std::string& hive_path, BaseBlock* out);

// The transaction logs beside the hive (NAME.LOG, NAME.LOG1, NAME.LOG2, any
// case). A log stands in the way when it may hold changes the hive does
// not: one that is not empty nor all zero bytes, and whose own base block
// is unreadable, or (old format, file type 1 or 2) whose sequence number is
// above the hive's, or (new format, file type 6) that holds a log entry
// ("HvLE") numbered at or above the hive's secondary sequence number.
std::string log_refusal(const std::string& hive_path, const BaseBlock& hive);

// The hibernation file (hiberfil.sys, any case) in the installation's root
// or a folder above it on the same volume: a system that hibernated, or
// shut down with Fast Startup, holds its registry in the memory image and
// writes it back when it resumes. Its header's signature says so: "hibr"
// or "HIBR" (hibernated), "RSTR" (a resume begun), "HORM" (an image kept
// to resume from again and again) stand in the way; "wake"/"WAKE" (resumed)
// and zeros (cleared after a resume) do not. A file too short to hold a
// signature, and not empty, stands in the way too.
std::string hibernation_refusal(const std::string& root);

// A read-only mount, or a hive or folder that cannot be written.
std::string write_refusal(const std::string& hive_path);

// A file in folder whose name equals name without regard to case; empty
// when there is none.
std::string find_entry(const std::string& folder, const std::string& name);

}  // namespace krelvon::rescue
