#include "backup/backup.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>

#include "report/text.h"
#include "engine/scan_context.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace krelvon::cli {

namespace {

bool has_prefix(const char* a, const char* prefix, const char** rest) {
  const std::size_t n = std::strlen(prefix);
  if (std::strncmp(a, prefix, n) != 0) return false;
  *rest = a + n;
  return true;
}

// The time now in UTC: 20250102T030405Z, or 2025-01-02T03:04:05Z.
std::string utc_now(bool compact) {
  const std::time_t now = std::time(nullptr);
  char text[32] = {};
  if (const std::tm* t = std::gmtime(&now)) {
    if (compact)
      std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", t);
    else
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", t);
  }
  return text;
}

long process_id() {
#ifdef _WIN32
  return static_cast<long>(GetCurrentProcessId());
#else
  return static_cast<long>(::getpid());
#endif
}

// The scanner's name of a folder as one the file system opens: a drive
// ("C:") is its root folder.
std::string openable(const std::string& folder) {
  if (folder.size() == 2 && folder[1] == ':') return folder + files::separator();
  return folder;
}

bool same_path(const std::string& a, const std::string& b) {
#ifdef _WIN32
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
#else
  return a == b;
#endif
}

// The path is folder itself or lies under it (by name).
bool at_or_under(const std::string& path, const std::string& folder) {
  if (same_path(path, folder)) return true;
  std::string prefix = folder;
  if (prefix.empty() || prefix.back() != files::separator()) prefix += files::separator();
  return path.size() > prefix.size() && same_path(path.substr(0, prefix.size()), prefix);
}

std::string untrusted_message(const std::string& dir, const std::string& why) {
  return "the backup folder " + terminal_text(dir) + " cannot be trusted: " + terminal_text(why) +
         " (it and every folder above it must belong to you or root and be writable by no one else; above it, a "
         "folder of root's with the sticky bit, such as /tmp, is fine)";
}

const char* action_of(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::kRewrite: return "rewrite";
    case ChangeKind::kRename: return "rename";
    default: return "delete";
  }
}

}  // namespace

bool backup_option(const char* argument, BackupOptions* o) {
  const char* value = nullptr;
  if (has_prefix(argument, "--backup=", &value) && *value) {
    o->backup = value;
  } else if (has_prefix(argument, "--restore=", &value) && *value) {
    o->restore = value;
  } else if (std::strcmp(argument, "--force") == 0) {
    o->force = true;
  } else {
    return false;
  }
  return true;
}

const char* backup_options_misuse(const BackupOptions& o) {
  if (!o.backup.empty() && !o.restore.empty()) return "--backup and --restore cannot be used together";
  if (o.force && o.restore.empty()) return "--force goes with --restore";
  return nullptr;
}

// ---- The backup -------------------------------------------------------

bool Backup::open(const std::string& dir, const std::vector<std::string>& scan_folders,
                  const std::vector<std::string>& scan_files, std::string* error) {
  std::string d = dir;
  while (d.size() > 1 && (d.back() == files::separator() || d.back() == '/')) d.pop_back();
  const bool existed = files::is_folder(d);
  if (!existed && files::exists(d)) return *error = "the backup folder is not a folder: " + dir, false;
  // A folder still to be created would lie where its parent lies.
  const std::string probe = existed ? d : files::parent_of(d);
  if (!files::is_folder(probe)) return *error = "no folder to create the backup folder in: " + dir, false;
  // Whoever else may write to it may rewrite the manifest and the copies
  // that a later restore (perhaps by root) puts in place.
  const std::string distrust = files::untrusted_folder(probe, existed);
  if (!distrust.empty()) return *error = untrusted_message(dir, distrust), false;
  for (const std::string& scanned : scan_folders) {
#ifdef _WIN32
    if (scanned == kAllDrives) {
      const std::string full = files::full_path(probe);
      if (full.size() >= 2 && full[1] == ':' && GetDriveTypeA((full.substr(0, 2) + "\\").c_str()) == DRIVE_FIXED)
        return *error = "the backup folder is on a fixed drive, and every fixed drive is scanned: " + dir, false;
      continue;
    }
#endif
    const std::string root = openable(scanned);
    if (files::inside(probe, root))
      return *error = "the backup folder lies inside a scanned folder (it would be scanned): " + dir, false;
    if (existed && files::inside(root, d))
      return *error = "a scanned folder lies inside the backup folder: " + scanned, false;
  }
  for (const std::string& scanned : scan_files)
    if (existed && files::inside(scanned, d))
      return *error = "a scanned file lies inside the backup folder: " + scanned, false;

  const std::string manifest_path = files::join(d, manifest::kFileName);
  manifest::Contents earlier;
  bool fresh = true;
  if (existed) {
    std::vector<std::string> names;
    if (!files::list(d, &names)) return *error = "cannot read the backup folder: " + dir, false;
    if (std::find(names.begin(), names.end(), manifest::kFileName) != names.end()) {
      std::string text;
      if (!files::read_all(manifest_path, &text))
        return *error = "cannot read the manifest of the backup folder: " + dir, false;
      earlier = manifest::read(text);
      if (!earlier.ours) return *error = "the folder's manifest is not one of krelvon-scan: " + dir, false;
      fresh = text.empty();
    } else if (!names.empty()) {
      return *error = "the folder holds files but no backup of krelvon-scan (choose an empty or new folder): " + dir,
             false;
    }
  } else if (!files::make_folder(d) || !files::sync_folder(files::parent_of(d))) {
    return *error = "cannot create the backup folder: " + dir, false;
  }
  dir_ = files::full_path(d);

  run_ = utc_now(true) + "-" + std::to_string(process_id());
  for (int n = 2; earlier.run(run_) != nullptr; ++n)
    run_ = utc_now(true) + "-" + std::to_string(process_id()) + "-" + std::to_string(n);

  std::vector<std::string> folders, identities;
  for (const std::string& s : scan_folders) {
    folders.push_back(s == kAllDrives ? s : files::full_path(openable(s)));
    // As the restore will see it: reached with no link on the way.
    files::Folder f;
    KrelvonFileIdentity id;
    identities.push_back(s != kAllDrives && f.open(folders.back()) && f.identity(&id) ? manifest::identity_text(id)
                                                                                     : "");
  }
  std::string start;
  if (fresh) start = manifest::header_line() + "\n";
  // A line cut short by a scanner that was stopped stays a line of its own,
  // right before the run line (manifest::Contents tells it so).
  if (!earlier.ends_with_newline) start = "\n";
  start += manifest::run_line(run_, utc_now(false), folders, identities);
  if (!manifest_.open_append(manifest_path) || !append(start) || !files::sync_folder(d))
    return *error = "cannot write the manifest of the backup folder: " + dir, false;
  return true;
}

bool Backup::append(const std::string& line) {
  if (broken_) return false;
  const std::string text = line + "\n";
  // A line that may have reached the file only in part ends this run's
  // backup: nothing more is appended after it, and no file is changed.
  if (!manifest_.write(text.data(), text.size()) || !manifest_.sync()) {
    broken_ = true;
    check_full(manifest_);
  }
  return !broken_;
}

void Backup::check_full(const files::File& file) {
  if (!file.full() || full_told_) return;
  full_told_ = true;
  if (on_full_) on_full_(dir_);
}

bool Backup::before_change(const char* path, ChangeKind kind, const char* new_path) {
  if (broken_) return false;
  files::Meta now;
  if (!files::meta_of(path, &now) || !now.regular) return false;
  // One backup of a file for all the changes of its action.
  for (Tracked& t : tracked_) {
    if (t.given == path && t.entry.meta.identity == now.identity) {
      t.open = true;
      return true;
    }
  }
  settle_open();
  return copy_file(path, kind, new_path, now);
}

bool Backup::copy_file(const char* path, ChangeKind kind, const char* new_path, const files::Meta& now) {
  manifest::Entry e;
  e.run = run_;
  e.number = next_;
  e.path = files::full_path(path);
  e.action = action_of(kind);
  if (kind == ChangeKind::kRename && new_path) e.to = files::full_path(new_path);
  e.copy = run_ + "-" + std::to_string(next_);
  if (e.path.empty() || (kind == ChangeKind::kRename && e.to.empty())) return false;

  files::File source;
  if (!source.open_read(path) || !source.meta(&e.meta) || e.meta.identity != now.identity) return false;

  const std::string copy_path = files::join(dir_, e.copy);
  files::File copy;
  if (!copy.create(copy_path)) {
    check_full(copy);
    return false;
  }
  // The copy and its name in the folder on the disk, then the manifest
  // line that names it: only then may the file be changed.
  bool ok = files::copy(source, &copy, &e.sha256, &e.meta.size) && copy.sync();
  ok = copy.close() && ok;
  ok = ok && files::sync_folder(dir_) && append(manifest::before_line(e));
  if (!ok) {
    check_full(copy);
    files::remove(copy_path);
    return false;
  }
  ++next_;
  tracked_.push_back(Tracked{path, new_path ? new_path : "", e, true});
  return true;
}

void Backup::after_change(const char* path, ChangeOutcome outcome, const char* new_path) {
  for (auto t = tracked_.rbegin(); t != tracked_.rend(); ++t) {
    if (t->open && t->given == path) {
      settle(*t, outcome, new_path);
      return;
    }
  }
}

void Backup::settle(Tracked& t, ChangeOutcome outcome, const char* new_path) {
  manifest::Entry& e = t.entry;
  t.open = false;
  e.after_sha256.clear();
  e.after_to.clear();
  files::Meta m;
  e.outcome = "unknown";
  if (outcome == ChangeOutcome::kInPlace || outcome == ChangeOutcome::kReplaced) {
    // A replaced file is another one by identity; its contents tell.
    if (files::meta_of(t.given, &m) && (outcome == ChangeOutcome::kReplaced || m.identity == e.meta.identity)) {
      e.after_sha256 = files::sha256_of(t.given);
      if (!e.after_sha256.empty()) e.outcome = e.after_sha256 == e.sha256 ? "unchanged" : "rewritten";
    }
  } else if (outcome == ChangeOutcome::kRenamed) {
    const std::string target = new_path ? new_path : t.given_to;
    if (!target.empty() && files::meta_of(target, &m) && m.identity == e.meta.identity) {
      e.after_sha256 = files::sha256_of(target);
      e.after_to = files::full_path(target);
      if (!e.after_sha256.empty()) e.outcome = "renamed";
    }
  } else if (!files::exists(t.given)) {
    e.outcome = "deleted";
  }
  append(manifest::after_line(e));
}

// Entries a handler left without an after part (an action that ended on an
// early way out): what the disk shows.
void Backup::settle_open() {
  for (Tracked& t : tracked_) {
    if (!t.open) continue;
    files::Meta m;
    if (files::meta_of(t.given, &m) && m.identity == t.entry.meta.identity)
      settle(t, ChangeOutcome::kInPlace, nullptr);
    else if (!t.given_to.empty() && files::meta_of(t.given_to, &m) && m.identity == t.entry.meta.identity)
      settle(t, ChangeOutcome::kRenamed, nullptr);
    else
      settle(t, ChangeOutcome::kDeleted, nullptr);
  }
}

bool Backup::finish() {
  if (!manifest_.is_open()) return !broken_;
  settle_open();
  const bool closed = manifest_.close();
  return closed && !broken_;
}

// ---- The restore ------------------------------------------------------

namespace {

struct Tally {
  int restored = 0;
  int in_place = 0;
  int refused = 0;
  int failed = 0;
};

bool same_name(const std::string& a, const std::string& b) { return same_path(a, b); }

// An absolute path as its root ("/"; Windows: "C:\") and its names. False
// when it is not absolute, or a name is empty, "." or ".." (Windows: or
// holds ':', a stream, or a control character, or ends in a dot or a space,
// which Win32 drops).
bool split_path(const std::string& path, std::string* root, std::vector<std::string>* names) {
  names->clear();
#ifdef _WIN32
  // A drive letter, by range: the runtime's isalpha is not among the
  // imports the 32-bit programs may have (scripts/win32-imports.allowed).
  const char drive = path.empty() ? '\0' : path[0];
  if (path.size() < 3 || !((drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z')) || path[1] != ':' ||
      !is_separator(path[2]))
    return false;
  *root = path.substr(0, 2) + "\\";
  std::size_t at = 3;
#else
  if (path.empty() || path[0] != '/') return false;
  *root = "/";
  std::size_t at = 1;
#endif
  if (at == path.size()) return true;
  for (;;) {
    std::size_t end = at;
    while (end < path.size() && !is_separator(path[end])) ++end;
    const std::string name = path.substr(at, end - at);
    if (name.empty() || name == "." || name == "..") return false;
#ifdef _WIN32
    if (name.find(':') != std::string::npos || name.back() == '.' || name.back() == ' ' ||
        std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
      return false;
#endif
    names->push_back(name);
    if (end == path.size()) return true;
    at = end + 1;
  }
}

#ifdef _WIN32
constexpr char kNotPlain[] =
    "not an absolute path of plain names (an empty name, \".\", \"..\", a ':' or a control character, or a dot or "
    "a space at the end of a name)";
#else
constexpr char kNotPlain[] = "not an absolute path of plain names (an empty name, \".\" or \"..\")";
#endif

// The copy's name is one name in the backup folder (the backup names them
// RUN-N).
bool plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\:\0", 4)) == std::string::npos;
}

// Where an entry acts: its folder, reached as the scan reached it, and its
// name there.
struct Place {
  files::Folder folder;
  std::string name;
};

// Reaches path below one of the run's folders: the scanned folder by its
// real location with no link on the way and still the folder the run line
// names, each folder below it beneath it as the walk enters them. False
// with the reason (the path itself is not in it).
bool reach(const manifest::Run* run, const std::string& path, Place* place, std::string* why) {
  std::string root;
  std::vector<std::string> names;
  if (!split_path(path, &root, &names) || names.empty()) return *why = kNotPlain, false;
  if (!run) return *why = "no run line names the folders of its run", false;
  for (std::size_t i = 0; i < run->folders.size(); ++i) {
    std::string folder = run->folders[i];
#ifdef _WIN32
    // Every fixed drive was scanned: the drive of the path, when fixed.
    if (folder == kAllDrives) {
      if (GetDriveTypeA(root.c_str()) != DRIVE_FIXED) continue;
      folder = root;
    }
#endif
    std::string folder_root;
    std::vector<std::string> folder_names;
    if (!split_path(folder, &folder_root, &folder_names) || !same_name(folder_root, root) ||
        folder_names.size() >= names.size() ||
        !std::equal(folder_names.begin(), folder_names.end(), names.begin(), same_name))
      continue;
    files::Folder base;
    if (!base.open(folder))
      return *why = "the scanned folder " + terminal_text(folder) + " is gone or reached through a link", false;
    KrelvonFileIdentity id;
    const std::string kept = i < run->identities.size() ? run->identities[i] : "";
    if (!kept.empty() && !(base.identity(&id) && manifest::identity_text(id) == kept))
      return *why = "the scanned folder " + terminal_text(folder) + " is no longer the folder the scan saw", false;
    const std::vector<std::string> below(names.begin() + static_cast<std::ptrdiff_t>(folder_names.size()),
                                         names.end() - 1);
    if (!place->folder.open_beneath(base, below))
      return *why = "a folder on its way from " + terminal_text(folder) +
                    " is gone, a link, or on another file system or mount",
             false;
    place->name = names.back();
    return true;
  }
  return *why = "outside the folders its run scanned", false;
}

std::string shown(const Place& p) { return terminal_text(files::join(p.folder.path(), p.name)); }

// The mode the original gets back: the permission bits of its before line;
// its set-user-ID, set-group-ID and sticky bits only when the before line
// says root owned it and the copy in the backup folder is root's as well
// (the folder itself is one that no one but its owner, the restoring user
// or root, can write to: restore() checked it). Otherwise they are left
// off, and the note says so.
void restored_mode(const manifest::Entry& e, files::File& copy, files::Meta* meta, std::string* note) {
#ifdef _WIN32
  (void)e;
  (void)copy;
  (void)meta;
  (void)note;
#else
  meta->mode = e.meta.mode & 07777;
  if ((meta->mode & 07000) == 0) return;
  files::Meta of_copy;
  if (e.meta.owner == 0 && copy.meta(&of_copy) && of_copy.owner == 0) return;
  char text[96];
  std::snprintf(text, sizeof text, " (mode %04o put back as %04o", meta->mode, meta->mode & 0777);
  meta->mode &= 0777;
  *note = std::string(text) +
          ": set-user-ID, set-group-ID and sticky bits only for a file of root's whose copy is root's)";
#endif
}

// Writes the kept copy to a temporary file beside the path, with the kept
// mode and time stamps, makes it durable and renames it over the path:
// the path holds either what it held or the whole original, never part of
// it. False, with the reason, when the original could not be put back.
bool put_back(const manifest::Entry& e, const std::string& dir, const Place& at, std::string* note,
              std::string* why) {
  files::File copy;
  if (!copy.open_read(files::join(dir, e.copy)))
    return *why = "the backup copy " + terminal_text(e.copy) + " cannot be read", false;
  files::Meta meta = e.meta;
  restored_mode(e, copy, &meta, note);
  const std::string temporary = "." + at.name + ".krelvon-restore-" + std::to_string(process_id());
  const std::string temporary_shown = terminal_text(files::join(at.folder.path(), temporary));
  files::File out;
  if (!out.create(at.folder, temporary)) return *why = "cannot create " + temporary_shown, false;
  std::string sha;
  bool ok = files::copy(copy, &out, &sha, nullptr);
  if (!ok) *why = "copying the backup failed";
  if (ok && sha != e.sha256) {
    ok = false;
    *why = "the backup copy " + terminal_text(e.copy) + " is damaged (its SHA-256 differs from the manifest's)";
  }
  if (ok && !(out.set_meta(meta) && out.sync())) {
    ok = false;
    *why = "cannot set the mode and time stamps of " + temporary_shown;
  }
  ok = out.close() && ok;
  if (ok && !(files::set_attributes(files::join(at.folder.path(), temporary), meta) &&
              at.folder.replace(temporary, at.name))) {
    ok = false;
    *why = "cannot move " + temporary_shown + " to its place";
  }
  if (!ok) {
    at.folder.remove(temporary);
    return false;
  }
  if (!at.folder.sync())
    return *why = "the folder " + terminal_text(at.folder.path()) + " cannot be made durable", false;
  return true;
}

// Where the scan's rename left the file: the after line's new name when the
// rename is known done, else the intended one; empty when there is none.
std::string renamed_to(const manifest::Entry& e) {
  const std::string to = e.settled && e.outcome == "renamed" ? e.after_to : e.to;
  return same_path(to, e.path) ? "" : to;
}

// What the scan left where a rename put the file, removed when it is still
// that (a file changed since is someone's: kept). A note for out; false
// when it could not be removed.
bool remove_renamed(const manifest::Entry& e, const Place& to, std::string* note) {
  if (!to.folder.exists(to.name)) return true;
  const std::string left = e.settled && e.outcome == "renamed" ? e.after_sha256 : e.sha256;
  const std::string now = to.folder.sha256_of(to.name);
  if (now.empty()) return *note += " (but " + shown(to) + " could not be read)", false;
  if (now != left) return *note += " (" + shown(to) + " kept: changed since the scan)", true;
  if (!to.folder.remove(to.name) || !to.folder.sync())
    return *note += " (but " + shown(to) + " could not be removed)", false;
  return *note += " (" + shown(to) + " removed)", true;
}

// Whether the state at the path is one the scan may have left: the path
// then holds the scan's own work, and putting the original back loses
// nothing of anyone else's.
bool left_by_scan(const manifest::Entry& e, bool present, const files::Meta& now, const std::string& now_sha) {
  const bool settled = e.settled && e.outcome != "unknown";
  if (!present) {
    if (settled) return e.outcome == "deleted" || e.outcome == "renamed";
    return e.action == "delete" || e.action == "rename";
  }
  if (settled) return (e.outcome == "rewritten" || e.outcome == "unchanged") && now_sha == e.after_sha256;
  // Stopped during a rewrite: the same file, part written.
  return e.action == "rewrite" && now.identity == e.meta.identity;
}

void restore_entry(const manifest::Entry& e, const manifest::Run* run, const std::string& dir, bool force,
                   std::FILE* out, Tally* tally) {
  const std::string path = terminal_text(e.path);
  // Where the entry may act at all; --force does not change it.
  Place at, to;
  std::string why;
  const std::string to_path = renamed_to(e);
  bool allowed = reach(run, e.path, &at, &why);
  if (allowed && !to_path.empty() && !reach(run, to_path, &to, &why)) {
    why = "its new name " + terminal_text(to_path) + ": " + why;
    allowed = false;
  }
  if (allowed && !plain_name(e.copy)) {
    why = "its copy " + terminal_text(e.copy) + " is not a name in the backup folder";
    allowed = false;
  }
  if (!allowed) {
    std::fprintf(out, "refused: %s: %s\n", path.c_str(), why.c_str());
    ++tally->refused;
    return;
  }
  files::Meta now;
  const bool present = at.folder.meta_of(at.name, &now);
  if (present && !now.regular) {
    std::fprintf(out, "failed: %s: no longer a file\n", path.c_str());
    ++tally->failed;
    return;
  }
  const std::string now_sha = present ? at.folder.sha256_of(at.name) : "";
  if (present && now_sha == e.sha256) {
    // The original's bytes are there: at most its mode and times differ.
    if (files::same_mode_and_times(now, e.meta)) {
      std::fprintf(out, "in place: %s\n", path.c_str());
      ++tally->in_place;
      return;
    }
  } else if (!force && !left_by_scan(e, present, now, now_sha)) {
    std::fprintf(out, "refused: %s: %s; --force puts the original back anyway\n", path.c_str(),
                 present ? "changed since the scan (neither the original nor what the scan left)"
                         : "gone, and not by the scan");
    ++tally->refused;
    return;
  }
  std::string note;
  if (!put_back(e, dir, at, &note, &why)) {
    std::fprintf(out, "failed: %s: %s\n", path.c_str(), why.c_str());
    ++tally->failed;
    return;
  }
  if (!to_path.empty() && !remove_renamed(e, to, &note)) {
    std::fprintf(out, "failed: %s: put back%s\n", path.c_str(), note.c_str());
    ++tally->failed;
    return;
  }
  std::fprintf(out, "restored: %s%s\n", path.c_str(), note.c_str());
  ++tally->restored;
}

}  // namespace

int restore(const std::string& dir, const std::vector<std::string>& paths, bool force, std::FILE* out,
            std::FILE* err) {
  std::string text;
  const std::string manifest_path = files::join(dir, manifest::kFileName);
  if (!files::exists(manifest_path)) {
    std::fprintf(err, "krelvon-scan: no backup of krelvon-scan in %s (no %s)\n", terminal_text(dir).c_str(),
                 manifest::kFileName);
    return 2;
  }
  // A manifest someone else could have rewritten says nothing.
  const std::string distrust = files::untrusted_folder(dir, true);
  if (!distrust.empty()) {
    std::fprintf(err, "krelvon-scan: %s; nothing restored\n", untrusted_message(dir, distrust).c_str());
    return 2;
  }
  const bool readable = files::read_all(manifest_path, &text);
  const manifest::Contents c = manifest::read(text);
  if (!readable || !c.ours) {
    std::fprintf(err, "krelvon-scan: %s in %s is not a manifest of krelvon-scan\n", manifest::kFileName,
                 terminal_text(dir).c_str());
    return 2;
  }
  if (c.cut_short > 0)
    std::fprintf(err, "krelvon-scan: %d incomplete manifest line(s) left out (a scan stopped while writing)\n",
                 c.cut_short);
  if (c.damaged_lines > 0)
    std::fprintf(err,
                 "krelvon-scan: %d damaged manifest line(s) in %s left out (not what a stopped scan leaves): a file "
                 "one of them names is not restored\n",
                 c.damaged_lines, terminal_text(dir).c_str());

  std::vector<std::string> under;
  for (const std::string& p : paths) {
    const std::string full = files::full_path(p);
    const bool any = std::any_of(c.entries.begin(), c.entries.end(),
                                 [&](const manifest::Entry& e) { return !full.empty() && at_or_under(e.path, full); });
    if (!any) {
      std::fprintf(err, "krelvon-scan: no file of the backup lies at or under %s\n", terminal_text(p).c_str());
      return 2;
    }
    under.push_back(full);
  }

  // Newest first: a file changed by several runs ends as the first run
  // found it.
  Tally tally;
  for (auto e = c.entries.rbegin(); e != c.entries.rend(); ++e) {
    if (!under.empty() &&
        std::none_of(under.begin(), under.end(), [&](const std::string& u) { return at_or_under(e->path, u); }))
      continue;
    restore_entry(*e, c.run(e->run), dir, force, out, &tally);
  }
  std::fprintf(out, "%d restored, %d already in place, %d refused, %d failed\n", tally.restored, tally.in_place,
               tally.refused, tally.failed);
  std::fflush(out);
  return tally.refused + tally.failed > 0 || c.damaged_lines > 0 ? kRestoreIncomplete : 0;
}

}  // namespace krelvon::cli
