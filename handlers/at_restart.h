// A recognised file that is in use now (a library another program has
// loaded, a program file held open), whose deletion or rename failed even
// after the processes running it were ended: the operation is left for the
// next start of Windows (platform/files/restart.h).
#pragma once

#include "engine/scan_context.h"
#include "handlers/handler_support.h"

namespace krelvon {

// After a failed delete (new_path null) or rename of a recognised file,
// with the error that failure left: when the error says the file is in
// use and the path still names the examined file, schedules the operation,
// writes the finding line "will be deleted at restart" or "will be renamed
// at restart" (counted as infected only) and sets the scan's
// restart_pending. A backup is asked for first (before_change, with the
// kind of the operation). False, with nothing written, when the error is
// another one or the operation could not be scheduled: the caller writes
// its failure line as before; a refused scheduling is told to the front
// end's restart_refused callback with its reason.
bool schedule_for_restart(FindingKind kind, const char* detection_name, const char* path, const char* new_path,
                          DWORD error, const ExaminedFile& examined);

}  // namespace krelvon
