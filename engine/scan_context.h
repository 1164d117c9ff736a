// The process-wide state of one scan: settings, links to the progress
// window and the prompt, memory-phase fields, statistics and the walker's
// bookkeeping. Everything runs on one thread, so these are plain fields.
#pragma once

#include <csignal>
#include <cstdint>

#include "engine/front_end.h"
#include "platform/platform.h"

namespace krelvon {

// Action codes: the chosen action and the memory action hold one of these,
// 0 meaning none. Any other value carries out nothing.
enum ActionCode : std::int32_t {
  kActionNone = 0,
  kActionDisinfect = 100,
  kActionRename = 101,
  kActionDelete = 102,
  kActionIgnore = 103,
};

// The action changes the file it is chosen for: Disinfect, Rename, Delete.
constexpr bool acts_on_file(std::int32_t action) {
  return action == kActionDisinfect || action == kActionRename || action == kActionDelete;
}

inline constexpr int kLineCapacity = 500;

// The values of the option defaults.
enum OptionValue : std::int32_t {
  kScopeAllDrives = 200,
  kScopeCDrive = 201,
  kScopeSelected = 202,
  kHandlingPrompt = 203,
  kHandlingAutomatic = 204,
  kAutoIgnore = 205,
  kAutoDelete = 206,
  kAutoRename = 207,
  kAutoDisinfect = 208,
  kDisinfectShown = 209,
  kDisinfectHidden = 210,
};

// Option defaults, compiled in and never written at run time.
struct OptionDefaults {
  std::int32_t scope;                 // kScopeAllDrives, kScopeCDrive or kScopeSelected
  std::int32_t handling;              // kHandlingPrompt or kHandlingAutomatic
  std::int32_t automatic_action;      // kAutoIgnore, kAutoDelete, kAutoRename or kAutoDisinfect
  std::int32_t disinfect_visibility;  // kDisinfectShown or kDisinfectHidden
  std::int32_t ignore_offered;
  std::int32_t rename_offered;
  std::int32_t delete_offered;
  std::int32_t disinfect_offered;
};
inline constexpr OptionDefaults kOptionDefaults{kScopeAllDrives, kHandlingAutomatic, kAutoDisinfect, kDisinfectShown,
                                                1, 1, 1, 1};

// Product texts.
inline constexpr char kProgramTitle[] = "Krelvon Ver 1.6";
inline constexpr char kProgramName[] = "Krelvon";
inline constexpr char kFamilyText[] = "W32/BugBear.Worm and its variants";

// The all-drives marker of the scan path.
inline constexpr char kAllDrives[] = "!:";

// What a finding line is about.
enum class FindingKind : std::int32_t {
  kNone = 0,        // the line just appended is no finding (the statistics block)
  kWormFile,        // one of the worm's own files
  kInfectedFile,    // a host program the worm infected
  kSystemMemory,    // a running worm process was ended ("System Memory")
  kSystemRegistry,  // a RunOnce value naming a worm file was deleted ("System Registry")
};

// What a finding line reports, each with its fixed text.
enum class FindingOutcome : std::int32_t {
  kDisinfected,        // "Disinfected"
  kCouldNotDisinfect,  // "Could not disinfect"
  kRenamed,            // "renamed"
  kRenameFailed,       // "Rename failed"
  kDeleted,            // "deleted"
  kDeleteFailed,       // "Delete failed"
  kIgnored,            // "not disinfected as per user's selection": Ignore was chosen
  kNotActedOn,         // the same text: no action was chosen (a prompt closed
                       // without an answer), and nothing was done
  kRemoved,            // "removed": the two system lines
  kRenamedEarlier,     // "renamed", the line of a rename: Rename chosen for a
                       // file already at its rename target (an earlier run
                       // renamed it); nothing moved, nothing counted
  // The file is in use: its deletion or rename is scheduled for the next
  // start of Windows. Counted as infected, not as deleted or renamed,
  // until it has happened.
  kDeleteAtRestart,    // "will be deleted at restart"
  kRenameAtRestart,    // "will be renamed at restart"
};

// The text a finding line ends with.
const char* finding_outcome_text(FindingOutcome outcome);

// A finding as a handler, the memory phase or the RunOnce cleaning reports
// it: the object's full path and the detection name, and for a successful
// rename the path the file went to.
struct Finding {
  FindingKind kind;
  FindingOutcome outcome;
  const char* path;
  const char* detection;
  const char* new_path = nullptr;
};

// The finding line last appended, as a record for the front ends: they read
// it in the line notification instead of taking the line apart. kind is
// kNone after a line that is no finding.
struct FindingRecord {
  FindingKind kind = FindingKind::kNone;
  FindingOutcome outcome = FindingOutcome::kNotActedOn;
  // The action of the outcome: Disinfect, Rename, Delete, Ignore, or none
  // for kNotActedOn; for "System Memory" the memory action the process was
  // ended for, for "System Registry" Delete.
  std::int32_t action = kActionNone;
  // False only for the failure lines (Could not disinfect, Rename failed,
  // Delete failed).
  bool ok = false;
  char path[kPathCapacity] = {};       // full, never shortened for display
  char detection[kPathCapacity] = {};  // the detection name
  char new_path[kPathCapacity] = {};   // after a successful rename; else empty
};

struct ScanContext {
  // Scan settings.
  char scan_path[kPathCapacity] = {};
  std::int32_t handling_prompt = 0;
  std::int32_t handling_automatic = 0;
  std::int32_t action_disinfect = 0;
  std::int32_t action_delete = 0;
  std::int32_t action_rename = 0;
  std::int32_t action_ignore = 0;
  std::int32_t offered_disinfect = 1;
  std::int32_t offered_delete = 1;
  std::int32_t offered_rename = 1;
  std::int32_t offered_ignore = 1;

  // Links to the progress window (krelvon.exe's surface sends its line and
  // object messages here; see engine/front_end.h).
  HWND progress_window = nullptr;
  char line[kLineCapacity] = {};
  char object[kPathCapacity] = {};
  char name[kPathCapacity] = {};
  bool summary = false;
  // Written by set_cancel() only, from a signal handler or a console
  // control handler as well.
  volatile std::sig_atomic_t cancel = 0;

  // The finding of the line in the line buffer.
  FindingRecord finding;

  // Link to the prompt.
  std::int32_t chosen_action = kActionNone;
  std::int32_t apply_to_all = 0;
  // The answer given with apply-to-all ticked, taken by every later call of
  // ask for action (kActionNone when the prompt ended without a choice).
  std::int32_t remembered_action = kActionNone;

  // Links to the memory phase.
  bool memory_phase = true;
  std::int32_t memory_action = kActionNone;
  bool found_in_memory = false;

  // Statistics.
  std::int32_t files_scanned = 0;
  std::int32_t files_infected = 0;
  std::int32_t files_disinfected = 0;
  std::int32_t files_renamed = 0;
  std::int32_t files_deleted = 0;
  // Entries the scan could not examine (report_skipped); the scan driver
  // shows their count after the statistics block when there are any.
  std::int32_t entries_skipped = 0;
  // Some file is to be deleted or renamed at the next start of Windows;
  // the scan driver then asks for a restart after the statistics block.
  bool restart_pending = false;

  // Walker bookkeeping.
  char program_files_mask[kPathCapacity] = {};
  std::int32_t program_files_pending = 0;
  std::int32_t program_files_seen = 0;
};

// The one scan context of the process.
extern ScanContext g_scan;

// Back to the state at program start. The program itself performs one scan
// per run and never calls this; tests and repeated runs of the command-line
// scanner do.
void reset_scan_context();

// Prints a line that is no finding (the statistics block) into the line
// buffer (cut to fit), marks the finding record empty and calls the front
// end's line callback.
void append_line(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The one way a finding line is appended: fills the finding record from
// `finding`, prints "<object>     <name> <outcome text>" into the line
// buffer and calls the front end's line callback. The line shows the finding's path
// and detection name unless shown_object and shown_name are given (the
// Ignore line shows the object and name buffers, the system lines their
// fixed texts); the record always holds the finding's own.
void append_finding(const Finding& finding, const char* shown_object = nullptr, const char* shown_name = nullptr);

// Calls the front end's object callback: the object buffer changed for
// display.
void notify_object();

// An entry the scan could not examine: a file that could not be opened or
// read, a folder that could not be listed or entered, a path too long for
// the path buffers, an object that is no regular file. Counts it in
// entries_skipped and passes path and reason to the front end's skip
// callback, if it has one; nothing else.
void report_skipped(const char* path, const char* reason);
// Replaces the skip callback of the surface alone (tests; a front end sets
// its whole surface with set_front_end). Null removes it.
void set_skip_listener(SkipListener listener);

// Copies text into a fixed buffer, cutting it to fit; always terminates.
void copy_text(char* destination, int capacity, const char* source);

template <int N>
void copy_text(char (&destination)[N], const char* source) {
  copy_text(destination, N, source);
}

}  // namespace krelvon
