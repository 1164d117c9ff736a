#include "handlers/worm_file.h"

#include <cstring>

#include "engine/ask_for_action.h"
#include "engine/change_guard.h"
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

std::int32_t pattern_position(std::uint32_t entry, std::int32_t distance) {
  return static_cast<std::int32_t>(entry + static_cast<std::uint32_t>(distance));
}

// A pattern past the end of the file (the length is known here) is not
// read at all: the read could not return its 20 bytes.
bool pattern_at(Examination& file, std::uint32_t entry, std::int32_t distance, const std::uint8_t* pattern) {
  std::uint8_t bytes[kPatternLength];
  return file.read(pattern_position(entry, distance), bytes, kPatternLength) &&
         std::memcmp(bytes, pattern, kPatternLength) == 0;
}

Examination::Held pattern_in_first_page(const Examination& file, std::uint32_t entry, std::int32_t distance,
                                        const std::uint8_t* pattern) {
  return file.compare_first_page(pattern_position(entry, distance), pattern, kPatternLength);
}

const WormSignature* signature_of(Examination& file) {
  // Most files are no programs at all: the headers first. What the first
  // page already holds is compared before the length is asked, and the file
  // is read further only for a record whose length rule holds.
  if (!read_headers_step_one(file) || !read_headers_step_two(file)) return nullptr;
  const std::uint32_t entry = map_address_to_offset(g_header.optional(kAddressOfEntryPoint), file);
  using Held = Examination::Held;
  for (const WormSignature* s = kWormSignatures; s->first_pattern[0] != 0; ++s) {
    const Held first = pattern_in_first_page(file, entry, s->first_offset, s->first_pattern);
    const Held second = pattern_in_first_page(file, entry, s->second_offset, s->second_pattern);
    if (first == Held::kDifferent || second == Held::kDifferent) continue;
    const std::int32_t length = file.length();
    if (length < 0) return nullptr;
    if (!length_matches(*s, length)) continue;
    if (first == Held::kNotHeld && !pattern_at(file, entry, s->first_offset, s->first_pattern)) continue;
    if (second == Held::kNotHeld && !pattern_at(file, entry, s->second_offset, s->second_pattern)) continue;
    return s;
  }
  return nullptr;
}

// The matching record, with the identity of the file that matched noted.
// The descriptor is closed on a match (the file is acted on next) and handed
// on to the next handler otherwise.
const WormSignature* match_signature(Examination& file, ExaminedFile* examined) {
  Descriptor fd(file.open());
  if (!fd.valid()) return nullptr;
  const WormSignature* match = signature_of(file);
  if (match) examined->note_descriptor(fd.get());
  else file.give_back(fd.release());
  return match;
}

void delete_worm_file(const char* detection_name, const WormSignature& match, const char* path,
                      const ExaminedFile& examined) {
  // The full path: in the memory phase's second pass the object buffer holds
  // only its display-shortened copy.
  clean_runonce(path);
  if (!examined.at(path) || !before_change(path, ChangeKind::kDelete)) {
    append_finding({FindingKind::kWormFile, FindingOutcome::kDeleteFailed, path, detection_name});
    return;
  }
  const DWORD saved = GetFileAttributesA(path);
  if (!SetFileAttributesA(path, FILE_ATTRIBUTE_ARCHIVE)) {
    append_finding({FindingKind::kWormFile, FindingOutcome::kDeleteFailed, path, match.detection_name}, g_scan.object,
                   g_scan.name);
    return;
  }
  if (delete_with_retry([](const char* p) { return DeleteFileA(p) != FALSE; }, FindingKind::kWormFile,
                        detection_name, path, examined))
    return;
  // A file that stays keeps the attributes it had (read-only, hidden).
  if (saved != INVALID_FILE_ATTRIBUTES && examined.at(path)) SetFileAttributesA(path, saved);
}

}  // namespace

int handle_worm_file(const char* detection_name, const char* path) {
  Examination file(path, false);
  return handle_worm_file(detection_name, path, file);
}

int handle_worm_file(const char* detection_name, const char* path, Examination& file) {
  ExaminedFile examined;
  const WormSignature* match = match_signature(file, &examined);
  if (!match) return 0;
  ++g_scan.files_infected;

  switch (memory_phase_step(path)) {
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
    case kActionRename: rename_recognised_file(FindingKind::kWormFile, detection_name, path, examined); break;
    case kActionDisinfect:
    case kActionDelete: delete_worm_file(detection_name, *match, path, examined); break;
    default: report_left_alone(FindingKind::kWormFile, match->detection_name, path); break;
  }
  return 1;
}

}  // namespace krelvon
