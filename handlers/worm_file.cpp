#include "handlers/worm_file.h"

#include <cstring>

#include "engine/ask_for_action.h"
#include "engine/removal_log.h"
#include "engine/scan_context.h"
#include "handlers/handler_support.h"
#include "handlers/header_image.h"
#include "handlers/signatures.h"
#include "system/runonce.h"
#include "system/terminate.h"

namespace krelvon {

namespace {

bool length_matches(const WormSignature& s, std::int32_t length) {
  const auto len = static_cast<std::int64_t>(length);
  const auto expected = static_cast<std::int64_t>(s.expected_length);
  switch (s.length_rule) {
    case 1: return len == expected;
    case 2: return len - expected < kLengthTolerance && expected - len < kLengthTolerance;
    case 3: return true;
    default: return false;
  }
}

bool pattern_at(int fd, std::uint32_t entry, std::int32_t distance, const std::uint8_t* pattern) {
  const auto position = static_cast<std::int32_t>(entry + static_cast<std::uint32_t>(distance));
  std::uint8_t bytes[kPatternLength];
  return read_at(fd, position, bytes, kPatternLength) && std::memcmp(bytes, pattern, kPatternLength) == 0;
}

const WormSignature* signature_of(int fd) {
  // Most files are no programs at all: the headers first, the length after.
  if (!read_headers_step_one(fd) || !read_headers_step_two(fd)) return nullptr;
  const std::int32_t length = _filelength(fd);
  if (length < 0) return nullptr;
  const std::uint32_t entry = map_address_to_offset(g_header.optional(kAddressOfEntryPoint), fd);
  for (const WormSignature* s = kWormSignatures; s->first_pattern[0] != 0; ++s) {
    if (!length_matches(*s, length)) continue;
    if (!pattern_at(fd, entry, s->first_offset, s->first_pattern)) continue;
    if (!pattern_at(fd, entry, s->second_offset, s->second_pattern)) continue;
    return s;
  }
  return nullptr;
}

// The matching record, with the identity of the file that matched noted.
// The descriptor is closed on a match (the file is acted on next) and handed
// on to the next handler otherwise.
const WormSignature* match_signature(const char* path, ExaminedFile* examined) {
  Descriptor fd(open_for_examination(path));
  if (!fd.valid()) return nullptr;
  examined->note_descriptor(fd.get());
  const WormSignature* match = signature_of(fd.get());
  if (!match) hand_back(path, fd);
  return match;
}

void delete_worm_file(const char* detection_name, const char* path, const ExaminedFile& examined) {
  // The full path: in the memory phase's second pass the object buffer holds
  // only its display-shortened copy.
  clean_runonce(path);
  if (!examined.at(path)) {
    append_line("%s     %s Delete failed", path, detection_name);
    return;
  }
  const DWORD saved = GetFileAttributesA(path);
  if (!SetFileAttributesA(path, FILE_ATTRIBUTE_ARCHIVE)) {
    append_line("%s     %s Delete failed", g_scan.object, g_scan.name);
    return;
  }
  if (delete_with_retry([](const char* p) { return DeleteFileA(p) != FALSE; }, detection_name, path, examined)) {
    note_worm_file_removed(path, nullptr);
    return;
  }
  // A file that stays keeps the attributes it had (read-only, hidden).
  if (saved != INVALID_FILE_ATTRIBUTES && examined.at(path)) SetFileAttributesA(path, saved);
}

}  // namespace

int handle_worm_file(const char* detection_name, const char* path) {
  ExaminedFile examined;
  const WormSignature* match = match_signature(path, &examined);
  if (!match) return 0;
  ++g_scan.files_infected;

  switch (memory_phase_step()) {
    case MemoryStep::kCarryOut: break;
    case MemoryStep::kMarkOnly:
      // The object buffer holds the display-shortened path here; the full
      // path keeps the file name intact for the RunOnce match.
      clean_runonce(path);
      return 1;
    case MemoryStep::kAsk:
      copy_text(g_scan.name, match->detection_name);
      copy_text(g_scan.object, path);
      ask_for_action(g_scan.name, g_scan.object);
      break;
  }

  switch (g_scan.chosen_action) {
    case kActionRename: {
      char target[kPathCapacity];
      if (rename_recognised_file(detection_name, path, examined) && rename_target(path, target))
        note_worm_file_removed(path, target);
      break;
    }
    case kActionIgnore:
      append_line("%s     %s not disinfected as per user's selection", g_scan.object, g_scan.name);
      break;
    case kActionDisinfect:
    case kActionDelete: delete_worm_file(detection_name, path, examined); break;
    default: break;
  }
  return 1;
}

}  // namespace krelvon
