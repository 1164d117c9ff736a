#include "engine/ask_for_action.h"

#include "engine/scan_context.h"

namespace krelvon {

namespace {
PromptRunner g_prompt = nullptr;
}

void set_prompt_runner(PromptRunner runner) { g_prompt = runner; }

void ask_for_action(const char* detection_name, const char* object) {
  if (g_scan.handling_prompt) {
    if (g_scan.apply_to_all) return;
    if (g_prompt) g_prompt(detection_name, object);
    return;
  }
  if (g_scan.handling_automatic) {
    if (g_scan.action_disinfect)
      g_scan.chosen_action = kActionDisinfect;
    else if (g_scan.action_rename)
      g_scan.chosen_action = kActionRename;
    else if (g_scan.action_delete)
      g_scan.chosen_action = kActionDelete;
    else if (g_scan.action_ignore)
      g_scan.chosen_action = kActionIgnore;
  }
}

bool prompt_command(int command, bool box_ticked) {
  g_scan.apply_to_all = box_ticked ? 1 : 0;
  if (command == kApplyToAllBox) return false;
  if (command >= kActionDisinfect && command <= kActionIgnore) g_scan.chosen_action = command;
  return true;
}

}  // namespace krelvon
