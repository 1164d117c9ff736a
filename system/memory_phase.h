// The memory phase: the program files of running processes, checked before
// the file walks, and worm processes ended after the user's answer.
#pragma once

namespace krelvon {

void memory_phase();

}  // namespace krelvon
