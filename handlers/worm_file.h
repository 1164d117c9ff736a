// The worm-file handler: recognises the worm's own program files by their
// length and two byte patterns at fixed distances from the entry offset.
#pragma once

namespace krelvon {

class Examination;

// 1 when a signature matched (whatever became of the file), 0 otherwise.
// The threat table passes the file's examination, which the handlers after
// this one share; called with the path alone, the handler examines the
// file on its own and reports nothing as skipped.
int handle_worm_file(const char* detection_name, const char* path, Examination& file);
int handle_worm_file(const char* detection_name, const char* path);

}  // namespace krelvon
