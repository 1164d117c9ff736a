#include "handlers/infected_file.h"

#include <array>
#include <cstring>

#include "engine/ask_for_action.h"
#include "engine/change_guard.h"
#include "engine/scan_context.h"
#include "handlers/handler_support.h"
#include "handlers/header_image.h"
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

// One call of the handler: the attributes saved on entry are set again on
// every way out, as long as the path still names the examined file. The read
// descriptor is closed before any action; a file left alone hands it on.
struct Check {
  Check(const char* checked_path, int read_fd) : path(checked_path), fd(read_fd) {}
  const char* path;
  Descriptor fd;
  ExaminedFile examined;
  DWORD saved_attributes = INVALID_FILE_ATTRIBUTES;
  std::int32_t length = 0;
  std::uint32_t entry = 0;

  // Attributes to set again on the way out, once the path is seen to still
  // name the examined file after they were read.
  void keep_attributes(DWORD attributes) {
    if (saved_attributes == INVALID_FILE_ATTRIBUTES && !examined.at(path)) return;
    saved_attributes = attributes;
  }
  void restore_attributes() const {
    if (saved_attributes != INVALID_FILE_ATTRIBUTES && examined.at(path))
      SetFileAttributesA(path, saved_attributes);
  }
  ~Check() {
    hand_back(path, fd);
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

bool header_check(int fd) {
  std::uint8_t bytes[kHeaderPattern.size()];
  return read_at(fd, static_cast<std::int32_t>(kHeaderPatternOffset), bytes, sizeof bytes) &&
         std::memcmp(bytes, kHeaderPattern.data(), sizeof bytes) == 0;
}

enum class BodyCheck { kMatch, kNoMatch, kUnreadable };

BodyCheck body_check(int fd, std::uint32_t entry) {
  for (int attempt = 0; attempt < kKeyAttempts; ++attempt) {
    std::uint8_t window[kKeyWindowSize];
    const auto window_at = static_cast<std::int32_t>(entry + kKeySearchDistance + static_cast<std::uint32_t>(attempt));
    if (!read_at(fd, window_at, window, sizeof window)) return BodyCheck::kUnreadable;
    const DecryptorParameters p = find_decryptor_parameters(window);
    std::uint8_t body[kKeyWindowSize];
    const auto body_at = static_cast<std::int32_t>(entry - kBodyDistance);
    if (!read_at(fd, body_at, body, sizeof body)) return BodyCheck::kUnreadable;
    if (body_matches(body, p)) return BodyCheck::kMatch;
  }
  return BodyCheck::kNoMatch;
}

// The file remover: write permission, then unlink.
bool remove_file(const char* path) { return _chmod(path, _S_IREAD | _S_IWRITE) == 0 && _unlink(path) == 0; }

void delete_infected_file(const char* detection_name, const char* path, const ExaminedFile& examined) {
  delete_with_retry(&remove_file, detection_name, path, examined);
}

// Restores the host from the infection record. Everything the disinfection
// writes lies in one stretch of the headers, from the file header to the end
// of the infection record; that stretch is saved before the first write and
// put back when any later step fails, so a failed disinfection leaves the
// file as it was. Only the examined file is written, and only while it has
// the length it had when it was examined: a file swapped, grown or cut
// since is left alone.
bool disinfect(const Check& check) {
  const char* path = check.path;
  const std::uint32_t entry = check.entry;
  const int n = g_header.number_of_sections();
  const std::uint32_t record_at = g_header.header_offset + kSectionTableDistance + 40u * static_cast<std::uint32_t>(n);
  const std::uint32_t saved_from = g_header.header_offset + 4u;
  const std::uint32_t saved_to = record_at + kInfectionRecordWipe;
  std::array<std::uint8_t, kSectionTableDistance + 40 * kMaxSections + kInfectionRecordWipe> saved{};
  const unsigned saved_size = saved_to - saved_from;

  Descriptor fd(_open(path, _O_BINARY | _O_RDWR));
  if (!fd.valid() || !check.examined.open_on(fd.get())) return false;
  const std::int32_t length = _filelength(fd.get());
  // The cut must leave a file and take something off it.
  if (length != check.length || entry <= kCutDistance || entry - kCutDistance >= static_cast<std::uint32_t>(length) ||
      saved_to > static_cast<std::uint32_t>(length))
    return false;
  const auto cut_length = static_cast<std::int32_t>(entry - kCutDistance);

  std::uint8_t record[kInfectionRecordSize];
  if (!read_at(fd.get(), static_cast<std::int32_t>(record_at), record, sizeof record)) return false;
  if (!read_at(fd.get(), static_cast<std::int32_t>(saved_from), saved.data(), saved_size)) return false;

  const std::uint8_t zeros[kInfectionRecordWipe] = {};
  bool written = write_at(fd.get(), static_cast<std::int32_t>(record_at), zeros, sizeof zeros);

  g_header.set_optional(kAddressOfEntryPoint, get32(record + 0));
  g_header.set_optional(kRelocDirectoryAddress, get32(record + 4));
  g_header.set_optional(kRelocDirectorySize, get32(record + 8));
  g_header.set_optional(kImportDirectoryAddress, get32(record + 12));
  g_header.set_optional(kImportDirectorySize, get32(record + 16));
  std::uint32_t image = g_header.optional(kSizeOfImage);
  for (int i = n - 1; i >= n - 3; --i) {
    image -= g_header.section(i, kSectionVirtualSize);
    g_header.sections[static_cast<std::size_t>(i)].fill(0);
  }
  g_header.set_optional(kSizeOfImage, image);
  // First with the old count, so the three emptied entries reach the file,
  // then with the new one.
  written = written && write_headers(fd.get());
  g_header.set_number_of_sections(static_cast<std::uint16_t>(n - 3));
  if (g_header.optional(kSizeOfHeaders) > kHeadersGrowth)
    g_header.set_optional(kSizeOfHeaders, g_header.optional(kSizeOfHeaders) - kHeadersGrowth);
  written = written && write_headers(fd.get());

  if (written && _chsize(fd.get(), cut_length) == 0) return true;
  write_at(fd.get(), static_cast<std::int32_t>(saved_from), saved.data(), saved_size);
  return false;
}

}  // namespace

int handle_infected_file(const char* detection_name, const char* path) {
  // The file is opened before its attributes are changed by path, so that
  // the attributes read, changed and set back are those of the file that is
  // examined (on Windows the open descriptor also keeps the file from being
  // replaced). A file that cannot be opened, or whose attributes cannot be
  // read or changed, is not checked, and is left as it was.
  Check check(path, open_for_examination(path));
  if (!check.fd.valid()) return 0;
  check.examined.note_descriptor(check.fd.get());
  if (!check.examined.known()) return 0;
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
  // An archive-only file that is only looked at keeps its attributes: setting
  // them to archive-only and back would change nothing. Where they change,
  // the path must still name the examined file once they have been read.
  if (attributes != FILE_ATTRIBUTE_ARCHIVE) {
    if (!check.examined.at(path) || !before_change(path, ChangeKind::kExamine) ||
        !SetFileAttributesA(path, FILE_ATTRIBUTE_ARCHIVE))
      return 0;
    check.saved_attributes = attributes;
  }
  check.length = _filelength(check.fd.get());
  if (check.length < 0) return 0;
  if (!read_headers_step_one(check.fd.get()) || !read_headers_step_two(check.fd.get())) return 0;
  if (!section_layout_matches()) return 0;
  check.entry = map_address_to_offset(g_header.optional(kAddressOfEntryPoint), check.fd.get());

  bool recognised_by_header = false;
  if (check.entry > static_cast<std::uint32_t>(check.length) && header_check(check.fd.get())) {
    recognised_by_header = true;
    ++g_scan.files_infected;
    check.keep_attributes(attributes);
    copy_text(g_scan.name, "W32/BugBear.B.Worm");
    copy_text(g_scan.object, path);
    ask_for_action(g_scan.name, g_scan.object);
  }
  if (!recognised_by_header) {
    if (body_check(check.fd.get(), check.entry) != BodyCheck::kMatch) return 0;
    ++g_scan.files_infected;
    check.keep_attributes(attributes);
    switch (memory_phase_step()) {
      case MemoryStep::kCarryOut: break;
      case MemoryStep::kMarkOnly: return 1;
      case MemoryStep::kAsk:
        if (check.examined.at(path)) terminate_processes_by_file(path);
        copy_text(g_scan.name, detection_name);
        copy_text(g_scan.object, path);
        ask_for_action(g_scan.name, g_scan.object);
        break;
    }
  }

  switch (g_scan.chosen_action) {
    case kActionDisinfect:
      check.fd.close();
      if (g_header.number_of_sections() <= 3) {
        delete_infected_file(detection_name, path, check.examined);
        return 0;
      }
      // Processes are ended only for the examined file, not for one put at
      // its path since.
      if (check.examined.at(path)) {
        terminate_processes_by_file(path);
        Sleep(100);
        if (before_change(path, ChangeKind::kRewrite) && disinfect(check)) {
          after_change(path, ChangeOutcome::kInPlace);
          check.restore_attributes();
          ++g_scan.files_disinfected;
          append_line("%s     %s Disinfected", path, detection_name);
          return 1;
        }
      }
      after_change(path, ChangeOutcome::kInPlace);
      append_line("%s     %s Could not disinfect", path, detection_name);
      return 0;
    case kActionRename:
      check.fd.close();
      rename_recognised_file(detection_name, path, check.examined);
      return 0;
    case kActionDelete:
      check.fd.close();
      delete_infected_file(detection_name, path, check.examined);
      return 0;
    case kActionIgnore:
      append_line("%s     %s not disinfected as per user's selection", g_scan.object, g_scan.name);
      return 0;
    default: return 0;
  }
}

}  // namespace krelvon
