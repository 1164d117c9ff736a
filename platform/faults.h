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
  kCount
};

const char* name(Call call);

// The nth call of `call` from now on (1 = the next one) fails; every other
// call goes through. Arming again replaces the previous arming.
void arm(Call call, int nth);
void disarm();
// Calls counted since the last arm or disarm.
int calls(Call call);
// Counts the call; true when it is the one that must fail.
bool fail_now(Call call);

}  // namespace krelvon::faults
