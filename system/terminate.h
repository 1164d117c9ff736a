// Ends the processes that run a given file.
#pragma once

#include "platform/platform.h"
#include "system/perf_data.h"

namespace krelvon {

// 1 if a process was ended, or if the platform line is neither 95 nor NT;
// 0 if nothing was ended.
int terminate_processes_by_file(const char* path);

// The NT line on a given performance process table: ends every filled
// slot's process whose name begins with the file name of path less its last
// four characters (the extension), compared without regard to case. A path
// of four characters or fewer, or one whose target comes out empty, ends
// nothing. 1 if at least one process was ended, else 0.
int terminate_matching_slots(const PerfTable& table, const char* path);

// Opens the process with the given rights and ends it with exit code 0.
bool end_process(DWORD access, DWORD id);

}  // namespace krelvon
