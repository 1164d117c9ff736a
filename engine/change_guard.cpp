#include "engine/change_guard.h"

namespace krelvon {

namespace {
ChangeGuard* g_guard = nullptr;
}  // namespace

void set_change_guard(ChangeGuard* guard) { g_guard = guard; }

bool before_change(const char* path, ChangeKind kind, const char* new_path) {
  return g_guard == nullptr || g_guard->before_change(path, kind, new_path);
}

void after_change(const char* path, ChangeOutcome outcome, const char* new_path) {
  if (g_guard != nullptr) g_guard->after_change(path, outcome, new_path);
}

}  // namespace krelvon
