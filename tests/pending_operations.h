// The system's pending operations at the next start
// (PendingFileRenameOperations), put back as they were when the object
// goes: a test that schedules operations on files of its own leaves the
// system's list as it found it (Windows only).
#pragma once

#include <string>
#include <vector>
#include <windows.h>

#include "platform/files/restart.h"

namespace krelvon::test {

class PendingOperationsKept {
 public:
  PendingOperationsKept() : had_(read(&saved_)) {}
  ~PendingOperationsKept() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    if (had_)
      RegSetValueExA(key, kValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(saved_.data()),
                     static_cast<DWORD>(saved_.size()));
    else
      RegDeleteValueA(key, kValue);
    RegCloseKey(key);
  }
  PendingOperationsKept(const PendingOperationsKept&) = delete;
  PendingOperationsKept& operator=(const PendingOperationsKept&) = delete;

  // The value as it is now (empty, false, when there is none).
  static bool read(std::string* data) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = 0;
    bool had = RegQueryValueExA(key, kValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    data->assign(size, '\0');
    had = had && RegQueryValueExA(key, kValue, nullptr, &type, reinterpret_cast<BYTE*>(data->data()), &size) ==
                     ERROR_SUCCESS;
    data->resize(had ? size : 0);
    RegCloseKey(key);
    return had;
  }
  // The operations pending now, as parsed by the scheduling code's reader.
  static std::vector<krelvon::files::PendingOperation> now() {
    std::string data;
    read(&data);
    return krelvon::files::pending_operations_of(data.data(), data.size());
  }

 private:
  static constexpr char kKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  static constexpr char kValue[] = "PendingFileRenameOperations";
  std::string saved_;
  bool had_;
};

}  // namespace krelvon::test
