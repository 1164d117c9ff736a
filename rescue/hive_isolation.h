// Reading and editing a hive away from the scanner: in a child process
// that holds nothing but the hive's descriptor, a file of its own to write
// the edited hive into, and a pipe back; limited in time, memory, file
// size and descriptors; with a system-call filter that lets it compute and
// nothing else (no file opened, no process made, no signal sent to
// another). Whatever a hostile hive does to the hive library there (an
// abort, a memory fault, an endless loop) ends the child, not the scan.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>

namespace krelvon::rescue {

// The paths by which code in the child opens its two files (the hive, read
// only; the written hive, emptied when opened for writing): the filter
// answers every other open with "permission denied".
inline constexpr char kIsolatedHive[] = "/krelvon-isolated/hive";
inline constexpr char kIsolatedWritten[] = "/krelvon-isolated/written";

struct IsolationLimits {
  unsigned seconds = 30;      // of wall-clock time, and of processor time
  std::uint64_t memory = 0;   // address space of the child; 0: not limited
  std::uint64_t output = 0;   // the written hive's size, and the result's
};

struct IsolatedRun {
  bool finished = false;  // the child ended normally and its result was read in full
  std::string result;     // what the work returned
  std::string failure;    // otherwise why, as "the reader was killed by signal 6"
};

// Runs work in the child on the hive open on hive_fd; work gets the
// descriptor of the written hive and returns its result, which comes back
// over the pipe. The child is killed when the time is over, when the
// result grows past the limit, and as soon as *cancel is set (SIGINT or
// SIGTERM of the scanner).
IsolatedRun run_isolated(int hive_fd, const IsolationLimits& limits, const std::function<std::string(int)>& work,
                         const volatile std::sig_atomic_t* cancel);

}  // namespace krelvon::rescue
