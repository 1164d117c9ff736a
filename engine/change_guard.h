// A front end's say over the changes the handlers make to files. Right
// before the first change of any kind to a file they act on (its attributes,
// opening it for writing, moving it, deleting it) the handlers ask
// before_change(); when it answers false the change is not made and the
// action is reported as failed. Once the action is over they tell
// after_change() what they left. krelvon-scan installs a guard that keeps a
// durable copy of each file before it is changed (--backup); without a guard
// both calls do nothing and before_change() answers true.
#pragma once

namespace krelvon {

enum class ChangeKind {
  // Opened for writing and rewritten in place (disinfection).
  kRewrite,
  // Moved to new_path.
  kRename,
  // Its attributes changed for deletion, then deleted.
  kDelete,
};

enum class ChangeOutcome {
  // Still at its path: rewritten, or as it was after a failed action.
  kInPlace,
  // Moved to new_path.
  kRenamed,
  kDeleted,
  // Still at its path, as a new file written beside it and renamed over it
  // (a registry hive is never written in place).
  kReplaced,
};

class ChangeGuard {
 public:
  virtual bool before_change(const char* path, ChangeKind kind, const char* new_path) = 0;
  virtual void after_change(const char* path, ChangeOutcome outcome, const char* new_path) = 0;

 protected:
  ~ChangeGuard() = default;
};

// Replaces the guard of the surface alone (nullptr: none): a front end sets
// its guard with its whole surface (set_front_end) and drops it here once
// its scans are over; tests set one here. The guard must outlive every scan
// that runs while it is installed.
void set_change_guard(ChangeGuard* guard);

// Called by a handler right before changing path; new_path is the rename
// target for kRename. False: leave the file alone and report the action as
// failed. A file may be announced more than once for one action; the guard
// keeps one backup of it.
bool before_change(const char* path, ChangeKind kind, const char* new_path = nullptr);
// Called by a handler when its action on path is over (new_path: where a
// renamed file went). A path with no change announced is ignored.
void after_change(const char* path, ChangeOutcome outcome, const char* new_path = nullptr);

}  // namespace krelvon
