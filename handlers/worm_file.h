// The worm-file handler: recognises the worm's own program files by their
// length and two byte patterns at fixed distances from the entry offset.
#pragma once

namespace krelvon {

// 1 when a signature matched (whatever became of the file), 0 otherwise.
int handle_worm_file(const char* detection_name, const char* path);

}  // namespace krelvon
