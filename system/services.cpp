#include "system/services.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace krelvon {

namespace {

constexpr DWORD kPollWait = 100;
constexpr int kKeyPathCapacity = 512;

struct ServiceHandle {
  SC_HANDLE handle;
  ~ServiceHandle() {
    if (handle != nullptr) CloseServiceHandle(handle);
  }
};

struct KeyStep {
  const char* prefix;
  const char* subkey;
};

// The order matters: a service key with subkeys cannot be deleted, so its
// Enum and Security go first.
constexpr KeyStep kKeySet[] = {
    {"SYSTEM\\ControlSet001\\Services\\", "\\Enum"},
    {"SYSTEM\\ControlSet001\\Services\\", "\\Security"},
    {"SYSTEM\\ControlSet001\\Services\\", ""},
    {"SYSTEM\\CONTROLSET002\\SERVICES\\", "\\Enum"},
    {"SYSTEM\\ControlSet002\\Services\\", "\\Security"},
    {"SYSTEM\\ControlSet002\\Services\\", ""},
};

}  // namespace

int stop_service(const char* name) {
  // Declared first, closed last: the service handle goes before the manager's.
  ServiceHandle manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
  if (manager.handle == nullptr) return 0;
  ServiceHandle service{OpenServiceA(manager.handle, name, SC_MANAGER_ALL_ACCESS)};
  if (service.handle == nullptr) return 0;
  SERVICE_STATUS status;
  std::memset(&status, 0, sizeof status);
  if (!ControlService(service.handle, SERVICE_CONTROL_STOP, &status)) return 0;
  int polls = 0;
  while (QueryServiceStatus(service.handle, &status) && status.dwCurrentState == SERVICE_STOP_PENDING) {
    if (polls++ == kStopPendingPolls) return 0;
    Sleep(kPollWait);
  }
  return status.dwCurrentState == SERVICE_STOPPED ? 1 : 0;
}

int delete_service_key_set(const char* name) {
  int result = 0;
  for (const KeyStep& step : kKeySet) {
    char path[kKeyPathCapacity] = {};
    const int n = std::snprintf(path, sizeof path, "%s%s%s", step.prefix, name, step.subkey);
    // A name that does not fit names no key of ours: nothing is deleted.
    if (n < 0 || n >= kKeyPathCapacity) continue;
    if (RegDeleteKeyA(HKEY_LOCAL_MACHINE, path) == ERROR_SUCCESS) result = 1;
  }
  return result;
}

}  // namespace krelvon
