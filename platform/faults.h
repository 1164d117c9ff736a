// Fault injection for tests: the Nth call of a chosen platform function
// fails. Only code built with KRELVON_FAULT_INJECTION (the krelvon_core_faults
// library, linked by the fault tests alone) goes through these wrappers;
// the programs call the platform directly.
#pragma once

namespace krelvon::faults {

enum class Call {
  kOpen,
  kRead,
  kWrite,
  kLseek,
  kChsize,
  kClose,
  kChmod,
  kUnlink,
  kGetAttributes,
  kSetAttributes,
  kMove,
  kDelete,
  kFileIdentity,
  kPathIdentity,
  // The backup's own calls (backup/backup_files.cpp): fsync of a file or a
  // folder, the metadata of a file, setting a file's mode and times.
  kSync,
  kStat,
  kSetTimes,
  // Scheduling a file's deletion or rename for the next start of Windows
  // (handlers/at_restart.cpp).
  kScheduleAtRestart,
  kCount
};

const char* name(Call call);

// The nth call of `call` from now on (1 = the next one) fails; every other
// call goes through. Arming again replaces the previous arming.
void arm(Call call, int nth);
// Right before the nth call of `call` from now on goes through, `action`
// runs (a test changes the file there: swaps, shrinks or grows it); the
// call itself then goes through. Replaces any arming.
void hook(Call call, int nth, void (*action)());
void disarm();
// Calls counted since the last arm or disarm.
int calls(Call call);
// Counts the call, runs the hook when it is the hooked one; true when it is
// the one that must fail.
bool fail_now(Call call);

}  // namespace krelvon::faults
