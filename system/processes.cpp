#include "system/processes.h"

#include <cstring>
#include <new>

#include "engine/scan_context.h"

namespace krelvon {

namespace {

using EnumProcessesFunction = BOOL(WINAPI*)(DWORD* ids, DWORD size, DWORD* returned);
using ModuleFileNameFunction = DWORD(WINAPI*)(HANDLE process, HMODULE module, LPSTR name,
                                              DWORD size);

// PROCESSENTRY32 is 296 bytes on the 32-bit target; dwSize carries the size
// of the record of the build.
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(PROCESSENTRY32) == 296, "PROCESSENTRY32 is 296 bytes");
#endif

struct ProcessHandle {
  HANDLE handle;
  ~ProcessHandle() {
    if (handle != nullptr) CloseHandle(handle);
  }
};

}  // namespace

bool ProcessList::append(std::uint32_t id, const char* path) {
  ProcessRecord* record = new (std::nothrow) ProcessRecord;
  if (record == nullptr) return false;
  std::memset(record, 0, sizeof *record);
  record->id = id;
  copy_text(record->path, path);
  if (tail_ != nullptr) {
    tail_->next = record;
  } else {
    head_ = record;
  }
  tail_ = record;
  return true;
}

void ProcessList::clear() {
  while (head_ != nullptr) {
    ProcessRecord* next = head_->next;
    delete head_;
    head_ = next;
  }
  tail_ = nullptr;
}

void toolhelp_process_list(ProcessList* list) {
  list->clear();
  const HMODULE kernel = LoadLibraryA("Kernel32.dll");
  if (kernel == nullptr) return;
  PROCESSENTRY32 entry;
  std::memset(&entry, 0, sizeof entry);
  entry.dwSize = sizeof entry;
  const auto create = look_up<CreateSnapshotFunction>(kernel, "CreateToolhelp32Snapshot");
  if (create == nullptr) return;
  Snapshot snapshot{create(TH32CS_SNAPPROCESS, 0)};
  if (snapshot.handle == INVALID_HANDLE_VALUE) return;
  const auto first = look_up<ProcessWalkFunction>(kernel, "Process32First");
  if (first == nullptr || !first(snapshot.handle, &entry)) return;
  // Each name is ended inside its field, so copying it never reads past the
  // entry, whatever the snapshot holds.
  entry.szExeFile[MAX_PATH - 1] = '\0';
  if (!list->append(entry.th32ProcessID, entry.szExeFile)) return;
  for (;;) {
    const auto next = look_up<ProcessWalkFunction>(kernel, "Process32Next");
    if (next == nullptr) {
      list->clear();
      return;
    }
    if (!next(snapshot.handle, &entry)) return;
    entry.szExeFile[MAX_PATH - 1] = '\0';
    if (!list->append(entry.th32ProcessID, entry.szExeFile)) {
      list->clear();
      return;
    }
  }
}

void psapi_process_list(ProcessList* list) {
  list->clear();
  const HMODULE psapi = LoadLibraryA("psapi.dll");
  if (psapi == nullptr) return;
  const auto enumerate = look_up<EnumProcessesFunction>(psapi, "EnumProcesses");
  if (enumerate == nullptr) return;
  DWORD ids[kPsapiIds];
  std::memset(ids, 0, sizeof ids);
  DWORD returned = 0;
  if (!enumerate(ids, sizeof ids, &returned)) return;
  DWORD n = returned / sizeof(DWORD);
  if (n > static_cast<DWORD>(kPsapiIds)) n = kPsapiIds;
  if (n == 0) return;
  const auto module_name = look_up<ModuleFileNameFunction>(psapi, "GetModuleFileNameExA");
  if (module_name == nullptr) return;
  for (DWORD i = 0; i < n; ++i) {
    ProcessHandle process{OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i])};
    if (process.handle == nullptr) continue;
    char path[kPathCapacity] = {};
    if (module_name(process.handle, nullptr, path, sizeof path) == 0) continue;
    path[kPathCapacity - 1] = '\0';
    if (!list->append(ids[i], path)) {
      list->clear();
      return;
    }
  }
}

}  // namespace krelvon
