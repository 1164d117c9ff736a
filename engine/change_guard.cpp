#include "engine/change_guard.h"

#include "engine/front_end.h"

namespace krelvon {

void set_change_guard(ChangeGuard* guard) {
  FrontEnd f = front_end();
  f.guard = guard;
  set_front_end(f);
}

bool before_change(const char* path, ChangeKind kind, const char* new_path) {
  ChangeGuard* guard = front_end().guard;
  return guard == nullptr || guard->before_change(path, kind, new_path);
}

void after_change(const char* path, ChangeOutcome outcome, const char* new_path) {
  ChangeGuard* guard = front_end().guard;
  if (guard != nullptr) guard->after_change(path, outcome, new_path);
}

}  // namespace krelvon
