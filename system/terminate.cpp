#include "system/terminate.h"

#include <cstring>

#include "engine/scan_context.h"
#include "platform/platform.h"
#include "system/perf_data.h"
#include "system/processes.h"
#include "system/version.h"

namespace krelvon {

namespace {


constexpr DWORD kToolhelpPace = 100;   // ms between the steps of the 95-line walk
constexpr DWORD kBeforeEnding = 50;    // ms before a 95-line process is ended
constexpr DWORD kAfterEnding = 100;    // ms after each process ended
constexpr std::size_t kExtensionLength = 4;  // ".EXE"

const char* after_last_backslash(const char* path) {
  const char* slash = std::strrchr(path, '\\');
  return slash != nullptr ? slash + 1 : path;
}

// The 95 line: a fresh Toolhelp snapshot, walked slowly, up to the first
// process whose file name (without folders) equals the target's.
int terminate_95(const char* path) {
  const HMODULE kernel = LoadLibraryA("Kernel32.dll");
  Sleep(kToolhelpPace);
  if (kernel == nullptr) return 0;
  PROCESSENTRY32 entry;
  std::memset(&entry, 0, sizeof entry);
  const auto create = look_up<CreateSnapshotFunction>(kernel, "CreateToolhelp32Snapshot");
  if (create == nullptr) return 0;
  Snapshot snapshot{create(TH32CS_SNAPPROCESS, 0)};
  Sleep(kToolhelpPace);
  if (snapshot.handle == INVALID_HANDLE_VALUE) return 0;

  char target[kPathCapacity];
  copy_text(target, after_last_backslash(path));
  _strupr(target);

  const auto first = look_up<ProcessWalkFunction>(kernel, "Process32First");
  if (first == nullptr) return 0;
  entry.dwSize = sizeof entry;
  if (!first(snapshot.handle, &entry)) return 0;
  for (;;) {
    entry.szExeFile[MAX_PATH - 1] = '\0';
    if (_stricmp(after_last_backslash(entry.szExeFile), target) == 0) {
      Sleep(kBeforeEnding);
      if (!end_process(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, entry.th32ProcessID)) return 0;
      Sleep(kAfterEnding);
      return 1;
    }
    const auto next = look_up<ProcessWalkFunction>(kernel, "Process32Next");
    if (next == nullptr) return 0;
    Sleep(kToolhelpPace);
    if (!next(snapshot.handle, &entry)) return 0;
    Sleep(kToolhelpPace);
  }
}

}  // namespace

bool end_process(DWORD access, DWORD id) {
  const HANDLE process = OpenProcess(access, FALSE, id);
  if (process == nullptr) return false;
  const bool ended = TerminateProcess(process, 0) != FALSE;
  CloseHandle(process);
  return ended;
}

int terminate_matching_slots(const PerfTable& table, const char* path) {
  char upper[kPathCapacity];
  copy_text(upper, path);
  _strupr(upper);
  const std::size_t length = std::strlen(upper);
  if (length <= kExtensionLength) return 0;
  upper[length - kExtensionLength] = '\0';
  const char* target = after_last_backslash(upper);
  const std::size_t target_length = std::strlen(target);
  // An empty target would begin every name: it ends nothing.
  if (target_length == 0) return 0;

  int result = 0;
  const int count = table.count < kPerfFilledMax ? table.count : kPerfFilledMax;
  for (int i = 0; i < count; ++i) {
    if (_strnicmp(table.slots[i].name, target, target_length) != 0) continue;
    if (end_process(PROCESS_TERMINATE, table.slots[i].id)) {
      Sleep(kAfterEnding);
      result = 1;
    }
  }
  return result;
}

int terminate_processes_by_file(const char* path) {
  const int line = platform_line();
  if (line == kPlatform95) return terminate_95(path);
  if (line == kPlatformNT) {
    static PerfTable table;  // 255 slots: kept off the stack
    read_perf_process_table(&table);
    return terminate_matching_slots(table, path);
  }
  return 1;
}

}  // namespace krelvon
