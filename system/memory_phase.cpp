#include "system/memory_phase.h"

#include <cstring>

#include "engine/ask_for_action.h"
#include "engine/scan_context.h"
#include "engine/walker.h"
#include "platform/platform.h"
#include "system/processes.h"
#include "system/services.h"
#include "system/terminate.h"
#include "system/version.h"

namespace krelvon {

namespace {

constexpr DWORD kAfterEnding = 100;
constexpr int kReadable = 4;

// The second pass: the handlers carry out the action without asking.
void second_pass(const char* path, int action) {
  g_scan.memory_action = action;
  walk(path);
  g_scan.memory_action = kActionNone;
}

// The first pass; true when a handler recognised the file.
bool recognised(const char* path) {
  if (_access(path, kReadable) != 0) return false;
  walk(path);
  return g_scan.found_in_memory;
}

void route_95() {
  ProcessList list;
  toolhelp_process_list(&list);
  for (const ProcessRecord* record = list.first(); record != nullptr; record = record->next) {
    if (!recognised(record->path)) continue;
    ask_for_action("", "System Memory");
    const int action = g_scan.chosen_action;
    // Ignore, or no answer at all: the process runs on.
    if (!acts_on_file(action)) continue;
    terminate_processes_by_file(record->path);
    second_pass(record->path, action);
  }
}

bool end_by_id(DWORD id) { return end_process(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, id); }

// The service name: the executable's file name cut at its last dot.
void service_name_of(const char* path, char (&name)[kPathCapacity]) {
  const char* slash = std::strrchr(path, '\\');
  copy_text(name, slash != nullptr ? slash + 1 : path);
  char* dot = std::strrchr(name, '.');
  if (dot != nullptr) *dot = '\0';
}

void route_nt() {
  ProcessList list;
  psapi_process_list(&list);
  for (const ProcessRecord* record = list.first(); record != nullptr; record = record->next) {
    if (!recognised(record->path)) continue;
    ask_for_action("", record->path);
    if (g_scan.chosen_action != kActionDisinfect) continue;
    if (end_by_id(record->id) || end_by_id(record->id)) {
      Sleep(kAfterEnding);
    } else {
      const int generation = nt_generation();
      if (generation != kNt4 && generation != kNt5) continue;
      char service[kPathCapacity];
      service_name_of(record->path, service);
      const int stopped = stop_service(service);
      delete_service_key_set(service);
      if (!stopped) continue;
    }
    second_pass(record->path, kActionDisinfect);
  }
}

}  // namespace

void memory_phase() {
  const int line = platform_line();
  g_scan.memory_phase = true;
  if (line == kPlatform95) {
    route_95();
  } else if (line == kPlatformNT) {
    route_nt();
  }
  g_scan.memory_phase = false;
}

}  // namespace krelvon
