#include "handlers/infected_file.h"

#include <cstring>

#include "engine/ask_for_action.h"
#include "engine/change_guard.h"
#include "engine/scan_context.h"
#include "handlers/handler_support.h"
#include "handlers/header_image.h"
#include "handlers/host_repair.h"
#include "handlers/signatures.h"
#include "system/terminate.h"

namespace krelvon {

std::uint32_t decrypt_step(std::uint32_t x, std::uint32_t key, std::uint8_t rotation, std::uint32_t addend) {
  std::uint32_t y = x ^ key;
  if (rotation != 0) {
    const unsigned left = rotation & 31u;
    const unsigned right = (32u - rotation) & 31u;
    y = (y << left) + (y >> right);
  }
  return y + addend;
}

DecryptorParameters find_decryptor_parameters(const std::uint8_t* window) {
  DecryptorParameters p;
  for (int i = 0; i < kKeyWindowSize - 10; ++i) {
    const std::uint8_t a = window[i], b = window[i + 1];
    if (a == 0x81 && b == 0x34 && p.key == 0) p.key = get32(window + i + 3);
    if (a == 0xC1 && b == 0x04 && p.rotation == 0) p.rotation = window[i + 3];
    if (a == 0x81 && b == 0x04 && p.addend == 0) p.addend = get32(window + i + 3);
  }
  return p;
}

bool body_matches(std::uint8_t* body, const DecryptorParameters& p) {
  for (int j = 67; j >= 3; --j) {
    std::uint8_t* at = body + j - 3;
    const std::uint32_t y = decrypt_step(get32(at), p.key, p.rotation, p.addend);
    put32(at, y);
    if (body[j] != kBodyPattern[static_cast<std::size_t>(j)]) return false;
  }
  return true;
}

namespace {

// One call of the handler. The file is examined through the read
// descriptor alone, without any change to it; only a file that is acted on
// has its attributes changed (prepare_to_act), and those saved then are set
// again on every way out, as long as the path still names the examined
// file. The read descriptor is closed before any action; a file left alone
// hands it on.
struct Check {
  Check(const char* checked_path, Examination& examination)
      : path(checked_path), file(examination), fd(examination.open()) {}
  const char* path;
  Examination& file;
  Descriptor fd;
  ExaminedFile examined;
  DWORD saved_attributes = INVALID_FILE_ATTRIBUTES;
  std::int32_t length = 0;
  std::uint32_t entry = 0;

  // Archive-only attributes for the action (a read-only file could be
  // neither written nor, on Windows, renamed or deleted). The attributes
  // are read, then the path is seen to still name the examined file, then
  // they are changed. False when any step fails: the action does not
  // happen.
  bool prepare_to_act() {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !examined.at(path)) return false;
    if (attributes == FILE_ATTRIBUTE_ARCHIVE) return true;
    if (!SetFileAttributesA(path, FILE_ATTRIBUTE_ARCHIVE)) return false;
    saved_attributes = attributes;
    return true;
  }
  void restore_attributes() const {
    if (saved_attributes != INVALID_FILE_ATTRIBUTES && examined.at(path))
      SetFileAttributesA(path, saved_attributes);
  }
  ~Check() {
    if (fd.valid()) file.give_back(fd.release());
    restore_attributes();
  }
};

bool section_layout_matches() {
  const int n = g_header.number_of_sections();
  if (n < 3) return false;
  for (int k = 0; k < 3; ++k)
    if (!g_header.section_named(n - 3 + k, kWormSections[k])) return false;
  for (int i = 0; i < n; ++i) {
    const std::uint32_t c = g_header.section(i, kSectionCharacteristics);
    if ((c & kScnMemRead) == 0 || (c & kScnMemWrite) == 0) return false;
  }
  return true;
}

bool header_check(Examination& file) {
  std::uint8_t bytes[kHeaderPattern.size()];
  return file.read(static_cast<std::int32_t>(kHeaderPatternOffset), bytes, sizeof bytes) &&
         std::memcmp(bytes, kHeaderPattern.data(), sizeof bytes) == 0;
}

enum class BodyCheck { kMatch, kNoMatch, kUnreadable };

// Every attempt reads the same body and a window one byte further on: the
// examination serves them from the few reads it holds, and a window or body
// that ends past the end of the file is not read at all.
BodyCheck body_check(Examination& file, std::uint32_t entry) {
  for (int attempt = 0; attempt < kKeyAttempts; ++attempt) {
    std::uint8_t window[kKeyWindowSize];
    const auto window_at = static_cast<std::int32_t>(entry + kKeySearchDistance + static_cast<std::uint32_t>(attempt));
    if (!file.read(window_at, window, sizeof window)) return BodyCheck::kUnreadable;
    const DecryptorParameters p = find_decryptor_parameters(window);
    std::uint8_t body[kKeyWindowSize];
    const auto body_at = static_cast<std::int32_t>(entry - kBodyDistance);
    if (!file.read(body_at, body, sizeof body)) return BodyCheck::kUnreadable;
    if (body_matches(body, p)) return BodyCheck::kMatch;
  }
  return BodyCheck::kNoMatch;
}

// The file remover: write permission, then unlink.
bool remove_file(const char* path) { return _chmod(path, _S_IREAD | _S_IWRITE) == 0 && _unlink(path) == 0; }

// Restores the host from the infection record (host_repair.h): only the
// examined file is written, and only while it has the length it had when it
// was examined; a file swapped, grown or cut since is left alone. A record
// or headers that describe no host that can exist are refused before any
// write, and a repair whose result does not read back as planned is undone.
bool disinfect(const Check& check) {
  const char* path = check.path;
  Descriptor fd(_open(path, _O_BINARY | _O_RDWR));
  if (!fd.valid() || !check.examined.open_on(fd.get())) return false;
  return repair_host(fd.get(), check.length, check.entry);
}

}  // namespace

int handle_infected_file(const char* detection_name, const char* path) {
  Examination file(path, false);
  return handle_infected_file(detection_name, path, file);
}

int handle_infected_file(const char* detection_name, const char* path, Examination& file) {
  // Examining reads the file through one descriptor and changes nothing
  // about it: not its attributes, not its time stamps.
  Check check(path, file);
  if (!check.fd.valid()) return 0;
  if (!read_headers_step_one(file) || !read_headers_step_two(file)) return 0;
  if (!section_layout_matches()) return 0;
  check.examined.note_descriptor(check.fd.get());
  if (!check.examined.known()) return 0;
  check.length = file.length();
  if (check.length < 0) return 0;
  check.entry = map_address_to_offset(g_header.optional(kAddressOfEntryPoint), file);

  // Processes running the file are ended only once the answer is to act on
  // it: a file ignored, or one nobody answered for, is left running.
  bool end_processes = false;
  if (check.entry > static_cast<std::uint32_t>(check.length) && header_check(file)) {
    ++g_scan.files_infected;
    copy_text(g_scan.name, "W32/BugBear.B.Worm");
    copy_text(g_scan.object, path);
    ask_for_action(g_scan.name, g_scan.object);
  } else {
    if (body_check(file, check.entry) != BodyCheck::kMatch) return 0;
    ++g_scan.files_infected;
    switch (memory_phase_step(path)) {
      case MemoryStep::kCarryOut: break;
      case MemoryStep::kMarkOnly: return 1;
      case MemoryStep::kAsk:
        end_processes = true;
        copy_text(g_scan.name, detection_name);
        copy_text(g_scan.object, path);
        ask_for_action(g_scan.name, g_scan.object);
        break;
    }
  }

  const std::int32_t action = g_scan.chosen_action;
  if (!acts_on_file(action)) {
    report_left_alone(FindingKind::kInfectedFile, detection_name, path);
    return 0;
  }
  check.fd.close();
  // The attributes are the first change: a front end's guard hears of the
  // action before them (for a rename, with its target).
  const bool removes = action == kActionRename || action == kActionDelete || g_header.number_of_sections() <= 3;
  char target[kPathCapacity];
  const bool has_target = action == kActionRename && rename_target(path, target);
  const ChangeKind kind = action == kActionRename ? ChangeKind::kRename
                          : removes                ? ChangeKind::kDelete
                                                   : ChangeKind::kRewrite;
  const bool prepared = before_change(path, kind, has_target ? target : nullptr) && check.prepare_to_act();
  // Processes are ended only for the examined file, not for one put at its
  // path since.
  if (prepared && end_processes && check.examined.at(path)) terminate_processes_by_file(path);
  if (removes) {
    // Disinfect of a file that holds only the worm deletes it.
    if (!prepared) {
      after_change(path, ChangeOutcome::kInPlace);
      append_finding({FindingKind::kInfectedFile,
                      action == kActionRename ? FindingOutcome::kRenameFailed : FindingOutcome::kDeleteFailed, path,
                      detection_name});
    } else if (action == kActionRename) {
      rename_recognised_file(FindingKind::kInfectedFile, detection_name, path, check.examined);
    } else {
      // A file left to be deleted at the next start keeps archive-only
      // attributes: the deletion then refuses a read-only file.
      if (delete_with_retry(&remove_file, FindingKind::kInfectedFile, detection_name, path, check.examined))
        check.saved_attributes = INVALID_FILE_ATTRIBUTES;
    }
    return 0;
  }
  if (prepared && check.examined.at(path)) {
    terminate_processes_by_file(path);
    Sleep(100);
    if (disinfect(check)) {
      check.restore_attributes();
      after_change(path, ChangeOutcome::kInPlace);
      ++g_scan.files_disinfected;
      append_finding({FindingKind::kInfectedFile, FindingOutcome::kDisinfected, path, detection_name});
      return 1;
    }
  }
  check.restore_attributes();
  after_change(path, ChangeOutcome::kInPlace);
  append_finding({FindingKind::kInfectedFile, FindingOutcome::kCouldNotDisinfect, path, detection_name});
  return 0;
}

}  // namespace krelvon
