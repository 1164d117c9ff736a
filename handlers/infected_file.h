// The infected-file handler: recognises hosts that carry the worm in three
// extra sections and restores them.
#pragma once

namespace krelvon {

// 1 when the file was disinfected, or recognised during the memory phase's
// first check; 0 in every other case.
int handle_infected_file(const char* detection_name, const char* path);

}  // namespace krelvon
