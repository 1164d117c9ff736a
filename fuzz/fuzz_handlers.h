// Runs one file handler on a scratch copy of the fuzzer's bytes once per
// action, automatic handling, with a progress window that swallows lines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/scan_context.h"
#include "fuzz/fuzz_support.h"

namespace krelvon::fuzz {

template <typename Handler>
void run_every_action(const std::uint8_t* data, std::size_t size, Handler handler) {
  for (int action = kActionDisinfect; action <= kActionIgnore; ++action) {
    reset_scan_context();
    g_scan.memory_phase = false;
    g_scan.handling_automatic = 1;
    g_scan.action_disinfect = action == kActionDisinfect;
    g_scan.action_rename = action == kActionRename;
    g_scan.action_delete = action == kActionDelete;
    g_scan.action_ignore = action == kActionIgnore;
    const std::string& path = write_scratch(data, size);
    handler("W32/BugBear.B.Worm", path.c_str());
    // A rename leaves the file under its new name.
    std::string renamed = path;
    renamed[renamed.rfind('.') + 1] = 'V';
    _unlink(renamed.c_str());
  }
}

}  // namespace krelvon::fuzz
