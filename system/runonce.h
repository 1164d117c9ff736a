// Removes the RunOnce start-up value that names a worm file.
#pragma once

namespace krelvon {

// 1 if a value was deleted, else 0.
int clean_runonce(const char* path);

}  // namespace krelvon
