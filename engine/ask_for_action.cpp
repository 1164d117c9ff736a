#include "engine/ask_for_action.h"

#include "engine/scan_context.h"

namespace krelvon {

void set_prompt_runner(PromptRunner runner) {
  FrontEnd f = front_end();
  f.ask = runner;
  set_front_end(f);
}

void ask_for_action(const char* detection_name, const char* object) {
  if (g_scan.handling_prompt) {
    if (g_scan.apply_to_all) {
      g_scan.chosen_action = g_scan.remembered_action;
      return;
    }
    // A prompt that ends without an answer (Esc, Enter without an action
    // button, closed, end of input) leaves no action: the previous finding's
    // answer is never carried over to a file nobody answered for.
    g_scan.chosen_action = kActionNone;
    g_scan.remembered_action = kActionNone;
    if (front_end().ask) front_end().ask(detection_name, object);
    return;
  }
  g_scan.chosen_action = kActionNone;
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
  g_scan.chosen_action = command >= kActionDisinfect && command <= kActionIgnore ? command : kActionNone;
  g_scan.remembered_action = g_scan.chosen_action;
  return true;
}

}  // namespace krelvon
