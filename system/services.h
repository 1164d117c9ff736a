// The service route of the NT line: stopping a worm that runs as a service
// and deleting its keys from the first two control sets.
#pragma once

namespace krelvon {

// The stop-pending poll gives up after this many 100 ms waits; a service
// still stopping then counts as not stopped.
inline constexpr int kStopPendingPolls = 300;

// 1 if the service was seen stopped after the stop request, else 0.
int stop_service(const char* name);

// Deletes Enum, Security and the service key itself, in ControlSet001 then
// ControlSet002. 1 if at least one of the six deletions succeeded.
int delete_service_key_set(const char* name);

}  // namespace krelvon
