// The process lists of the two Windows lines: a Toolhelp snapshot (95 line)
// and the psapi list (NT line). The Toolhelp and psapi functions are looked
// up by name at run time, never linked.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#ifdef _WIN32
#include <tlhelp32.h>
#endif

namespace krelvon {

inline constexpr int kProcessPathCapacity = 340;
inline constexpr int kPsapiIds = 1024;

struct ProcessRecord {
  std::uint32_t id;
  char path[kProcessPathCapacity];
  ProcessRecord* next;
};

// A singly linked list in enumeration order, freed record by record when
// the list goes out of scope. Empty means "nothing": the caller does no work.
class ProcessList {
 public:
  ProcessList() = default;
  ProcessList(const ProcessList&) = delete;
  ProcessList& operator=(const ProcessList&) = delete;
  ~ProcessList() { clear(); }

  const ProcessRecord* first() const { return head_; }
  bool empty() const { return head_ == nullptr; }
  // Appends a record; false when it could not be allocated.
  bool append(std::uint32_t id, const char* path);
  void clear();

 private:
  ProcessRecord* head_ = nullptr;
  ProcessRecord* tail_ = nullptr;
};

// Every snapshot entry: th32ProcessID and szExeFile. A list that breaks off
// (a lookup or an allocation fails) is discarded: the result is empty.
void toolhelp_process_list(ProcessList* list);

// The processes whose main-module path could be read, of the first 1024
// ids that EnumProcesses gives.
void psapi_process_list(ProcessList* list);

// The Toolhelp functions as they are looked up in "Kernel32.dll".
using CreateSnapshotFunction = HANDLE(WINAPI*)(DWORD flags, DWORD process_id);
using ProcessWalkFunction = BOOL(WINAPI*)(HANDLE snapshot, PROCESSENTRY32* entry);

// A Toolhelp snapshot, closed when it goes out of scope.
struct Snapshot {
  HANDLE handle;
  explicit Snapshot(HANDLE opened) : handle(opened) {}
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;
  ~Snapshot() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

// GetProcAddress, typed: a function looked up by name.
template <typename Function>
Function look_up(HMODULE module, const char* name) {
  const FARPROC found = GetProcAddress(module, name);
  // The detour through a function type without parameters keeps the cast
  // between function types explicit.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

}  // namespace krelvon
