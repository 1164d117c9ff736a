// Ask for action: the one way a handler or the memory phase obtains the
// chosen action, from the automatic setting, from an answer remembered for
// the entire scan, or from the virus-found prompt of the front end.
#pragma once

#include "engine/front_end.h"

namespace krelvon {

// Replaces the prompt of the surface alone (tests; a front end sets its
// whole surface with set_front_end); null leaves findings in Prompt mode
// without an answer.
void set_prompt_runner(PromptRunner runner);

// On return the scan context's chosen action holds the result: the
// automatic action, the answer remembered with apply-to-all, or the
// prompt's answer; kActionNone (act on nothing) when there is none, never
// the previous finding's answer.
void ask_for_action(const char* detection_name, const char* object);

// A command that reached the prompt: command is the control identifier
// (100..103 the action buttons, 1028 the apply-to-all box, 1 Enter, 2 Esc),
// box_ticked the state of the apply-to-all box at that moment. Returns true
// when the prompt ends; a command that ends it without an action button
// leaves the chosen action none (and, with the box ticked, remembers none
// for the rest of the scan).
bool prompt_command(int command, bool box_ticked);

// The apply-to-all check box's identifier in the prompt.
inline constexpr int kApplyToAllBox = 1028;

}  // namespace krelvon
