// Ends the processes that run a given file.
#pragma once

namespace krelvon {

// 1 if a process was ended, or if the platform line is neither 95 nor NT;
// 0 if nothing was ended.
int terminate_processes_by_file(const char* path);

}  // namespace krelvon
