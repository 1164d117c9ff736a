// The checks made before a hive of an offline installation is written. Each
// returns why the hive must be left alone, or an empty text when it may be
// written. Nothing here changes a file.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include <string>

namespace krelvon::rescue {

struct BaseBlock {
  std::uint32_t primary_sequence = 0;
  std::uint32_t secondary_sequence = 0;
};

// A folder of the installation as the cleaning holds it: its descriptor,
// the device it lies on, and its path as shown to the user.
struct Folder {
  int fd = -1;
  dev_t device = 0;
  std::string shown;
};

// The hive's base block (its first 512 bytes, or the file): "regf", a
// checksum that matches, and two equal sequence numbers. Unequal numbers
// (or a wrong checksum) mean the system stopped while writing the hive, and
// its logs hold what is missing.
std::string base_block_refusal(const std::string& first_bytes, BaseBlock* out);
std::string base_block_refusal(int hive_fd, BaseBlock* out);

// The transaction logs beside the hive in config (NAME.LOG, NAME.LOG1,
// NAME.LOG2, any case, each spelling). A log stands in the way when it may
// hold changes the hive does not: one that is not empty nor all zero
// bytes, and whose own base block is unreadable, or (old format, file type
// 1 or 2) whose sequence number is above the hive's, or (new format, file
// type 6) that holds a log entry ("HvLE") numbered at or above the hive's
// secondary sequence number. Only its base block and its entries' headers
// are read. A log that is a link, a FIFO or on another file system stands
// in the way too: it is not read.
std::string log_refusal(const Folder& config, const std::string& hive_name, const BaseBlock& hive);

// The hibernation file (hiberfil.sys, any case) in the installation's root
// (open on root_fd, at the path root) or a folder above it on the same
// volume: a system that hibernated, or shut down with Fast Startup, holds
// its registry in the memory image and writes it back when it resumes. Its
// header's signature says so: "hibr" or "HIBR" (hibernated), "RSTR" (a
// resume begun), "HORM" (an image kept to resume from again and again)
// stand in the way; "wake"/"WAKE" (resumed) and zeros (cleared after a
// resume) do not. A file too short to hold a signature, and not empty,
// stands in the way too, and so does one that is no regular file (a FIFO
// is never opened to wait on it).
std::string hibernation_refusal(int root_fd, const std::string& root);

// A read-only mount, or a hive or folder that cannot be written.
std::string write_refusal(const Folder& config, const std::string& hive_name);

}  // namespace krelvon::rescue
