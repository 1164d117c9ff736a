// The one surface between the engine and its front end: every call the
// engine makes back to whoever shows and answers a scan goes through the
// callbacks of one structure, set once by each front end before it scans.
//
//   krelvon.exe   the progress window's two messages for lines and objects
//                 (WM_SETREDRAW, WM_ENABLE), the message pump, the
//                 virus-found dialog; no guard
//   krelvon-scan  terminal lines, the report, the status line, the terminal
//                 prompt, the backup as the guard; cancel by signal or
//                 console control, no window on Linux
//
// A null callback means the engine does without: no line shown, no prompt
// (Prompt mode leaves findings without an answer), every change allowed.
#pragma once

namespace krelvon {

class ChangeGuard;

using SkipListener = void (*)(const char* path, const char* reason);
// Runs the virus-found prompt modally for one finding. The front end shows
// it (a dialog, a terminal question, a scripted answer) and reports each
// command the prompt receives through prompt_command.
using PromptRunner = void (*)(const char* detection_name, const char* object);

struct FrontEnd {
  // The line buffer holds a new line: a finding (its record filled) or a
  // line of the statistics block (the record's kind is kNone).
  void (*line)() = nullptr;
  // The object buffer changed for display.
  void (*object)() = nullptr;
  // An entry the scan could not examine (after it was counted).
  SkipListener skipped = nullptr;
  // The question for one finding in Prompt mode.
  PromptRunner ask = nullptr;
  // Before and after each change a handler makes to a file; it must
  // outlive every scan run while it is set.
  ChangeGuard* guard = nullptr;
  // Called by the walker between entries: the front end's chance to take a
  // request to end the scan (the GUI's message pump: Escape asks
  // "Terminate the Scan now?") and call set_cancel().
  void (*poll)() = nullptr;
  // A file in use whose deletion or rename could not be left for the next
  // start of Windows (its finding line then says "Delete failed" or
  // "Rename failed"), with the reason: no right to write the pending
  // operations, no 8.3 name, WININIT.INI not writable.
  SkipListener restart_refused = nullptr;
};

// The progress window's surface, the one krelvon.exe sets and the one in
// place until a front end sets its own: lines and objects as the window
// messages WM_SETREDRAW and WM_ENABLE sent to the scan context's progress
// window, the message pump between entries, no prompt, no guard, no skip
// listener.
FrontEnd window_front_end();

// Sets the surface of the process. It stays set across
// reset_scan_context().
void set_front_end(const FrontEnd& front_end);
const FrontEnd& front_end();

// The window messages of the progress window surface.
void send_line_message();
void send_object_message();

// Sets or clears the scan's cancel flag: the one way it is written. Safe in
// a signal handler and in a console control handler.
void set_cancel(bool cancel);

}  // namespace krelvon
