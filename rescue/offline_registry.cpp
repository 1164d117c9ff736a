#include "rescue/offline_registry.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <tuple>

#include "platform/posix/beneath.h"
#include "rescue/hive.h"
#include "rescue/hive_files.h"
#include "rescue/hive_guard.h"
#include "rescue/hive_isolation.h"

namespace krelvon::rescue {

namespace {

constexpr const char* kRunOnce[] = {"Microsoft", "Windows", "CurrentVersion", "RunOnce"};
// Values larger than this live in big-data cells, which the hive library
// does not write: a key holding one is not rewritten.
constexpr std::size_t kLargestWrittenValue = 16344;

struct WormFile {
  std::string name;          // the file name, lower case
  std::string service;       // the name without its extension
  std::string windows_path;  // "\WINDOWS\System32\x.exe"
};

// One key or value to remove, found while the hive is unchanged.
struct Planned {
  HiveNode node = 0;   // the key removed, or the key a value is removed from
  std::string parent;  // the path of the key it is removed from
  std::string name;    // the subkey's or value's name
  bool is_value = false;
  HiveEntry entry;  // for a value: as the inventory lists it
};

std::string join(const std::string& path, const std::string& name) { return path.empty() ? name : path + "\\" + name; }

std::string real_path(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// The worm files that lie below the root, with their paths on its volume.
std::vector<WormFile> worm_files_below(const std::string& root, const std::vector<std::string>& paths) {
  std::vector<WormFile> out;
  const std::string top = real_path(root);
  if (top.empty()) return out;
  for (const std::string& p : paths) {
    const std::size_t slash = p.rfind('/');
    const std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    const std::string folder = real_path(slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash));
    const std::string full = folder == "/" ? "/" + name : folder + "/" + name;
    if (name.empty() || folder.empty() || full.compare(0, top.size(), top) != 0) continue;
    std::string below = full.substr(top == "/" ? 0 : top.size());
    if (below.empty() || below[0] != '/') continue;
    std::replace(below.begin(), below.end(), '/', '\\');
    const std::size_t dot = name.rfind('.');
    out.push_back(WormFile{lower(name), dot == std::string::npos ? name : name.substr(0, dot), below});
  }
  return out;
}

std::string normalised_image(std::string s, const std::string& system_folder) {
  std::replace(s.begin(), s.end(), '/', '\\');
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  const std::string l = lower(s);
  const std::string system_root = "\\" + system_folder;
  if (l.compare(0, 4, "\\??\\") == 0 || l.compare(0, 4, "\\\\?\\") == 0)
    return normalised_image(s.substr(4), system_folder);
  if (l.compare(0, 12, "%systemroot%") == 0)
    s = system_root + s.substr(12);
  else if (l.compare(0, 8, "%windir%") == 0)
    s = system_root + s.substr(8);
  else if (l.compare(0, 12, "\\systemroot\\") == 0)
    s = system_root + s.substr(11);
  else if (s.size() >= 2 && s[1] == ':' && std::isalpha(static_cast<unsigned char>(s[0])))
    s = s.substr(2);
  if (s.empty() || s[0] != '\\') s = system_root + "\\" + s;
  std::string out;
  for (char c : s)
    if (c != '\\' || out.empty() || out.back() != '\\') out += c;
  return lower(out);
}

std::vector<std::string> control_sets(const Hive& hive) {
  std::vector<std::string> sets{"ControlSet001", "ControlSet002"};
  const HiveNode select = hive.child(hive.root(), "Select");
  HiveValue current;
  std::uint32_t n = 0;
  if (select && hive.value(select, "Current", &current) && value_dword(current, &n) && n >= 1 && n <= 999) {
    char name[16];
    std::snprintf(name, sizeof name, "ControlSet%03u", n);
    if (lower(name) != lower(sets[0]) && lower(name) != lower(sets[1])) sets.emplace_back(name);
  }
  return sets;
}

void plan_runonce(const Hive& hive, const std::vector<WormFile>& worms, std::vector<Planned>* plan,
                  std::vector<HiveValue>* kept) {
  HiveNode node = hive.root();
  std::string path;
  for (const char* part : kRunOnce) {
    node = node ? hive.child(node, part) : 0;
    if (node) path = join(path, hive.name(node));
  }
  if (!node) return;
  for (HiveValue& v : hive.values(node)) {
    const std::string text = lower(value_text(v));
    const bool names_worm = std::any_of(worms.begin(), worms.end(),
                                        [&](const WormFile& w) { return text.find(w.name) != std::string::npos; });
    if (names_worm)
      plan->push_back(Planned{node, path, v.name, true, value_entry(path, v)});
    else
      kept->push_back(std::move(v));
  }
}

// Why the hive is not cleaned of its services; empty when it is.
std::string plan_services(const Hive& hive, const std::string& system_folder, const std::vector<WormFile>& worms,
                          std::vector<Planned>* plan) {
  for (const std::string& set_name : control_sets(hive)) {
    const HiveNode set = hive.child(hive.root(), set_name);
    const HiveNode services = set ? hive.child(set, "Services") : 0;
    if (!services) continue;
    const std::string services_path = hive.name(set) + "\\" + hive.name(services);
    std::set<HiveNode> seen;
    for (const WormFile& w : worms) {
      const HiveNode service = hive.child(services, w.service);
      HiveValue image;
      if (service && hive.value(service, "ImagePath", &image) && image.unread)
        return "the ImagePath of " + join(services_path, hive.name(service)) +
               " is larger than 1 MiB: it was not read, and the service's keys were left";
      if (!service || !hive.value(service, "ImagePath", &image) ||
          !image_path_names(value_text(image), system_folder, w.windows_path) || !seen.insert(service).second)
        continue;
      const std::string service_path = join(services_path, hive.name(service));
      const std::vector<HiveNode> subkeys = hive.children(service);
      std::size_t removed = 0;
      for (const char* sub : {"Enum", "Security"}) {
        const HiveNode n = hive.child(service, sub);
        if (!n || !hive.children(n).empty()) continue;
        plan->push_back(Planned{n, service_path, hive.name(n), false, {}});
        ++removed;
      }
      if (removed == subkeys.size()) plan->push_back(Planned{service, services_path, hive.name(service), false, {}});
    }
  }
  return "";
}

// The inventory as the changed hive must list it.
std::vector<HiveEntry> expected_after(std::vector<HiveEntry> entries, const std::vector<Planned>& plan) {
  for (const Planned& p : plan) {
    if (p.is_value) {
      const auto at = std::find(entries.begin(), entries.end(), p.entry);
      if (at != entries.end()) entries.erase(at);
      continue;
    }
    const std::string key = join(p.parent, p.name);
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const HiveEntry& e) {
                                   return e.key == key || e.key.compare(0, key.size() + 1, key + "\\") == 0;
                                 }),
                  entries.end());
  }
  return entries;
}

// The child's answer, as records: a tag, the length (4 bytes, little
// endian), the bytes.
constexpr char kRemovalRecord = 'r', kRefusalRecord = 'x', kHiveRecord = 'h', kPendingRecord = 'p';

void put_record(std::string* out, char tag, const std::string& body) {
  *out += tag;
  for (int i = 0; i < 4; ++i) *out += static_cast<char>(body.size() >> (8 * i));
  *out += body;
}

bool next_record(const std::string& in, std::size_t* at, char* tag, std::string* body) {
  if (in.size() - *at < 5) return false;
  *tag = in[*at];
  std::size_t length = 0;
  for (int i = 0; i < 4; ++i) length |= static_cast<std::size_t>(static_cast<unsigned char>(in[*at + 1 + i])) << (8 * i);
  if (in.size() - *at - 5 < length) return false;
  *body = in.substr(*at + 5, length);
  *at += 5 + length;
  return true;
}

// A name of a pending operation as the volume knows it: "\??\" and the
// drive letter taken off, lower case ("\windows\system32\x.dll").
std::string on_volume(std::string name) {
  if (!name.empty() && name[0] == '!') name.erase(0, 1);
  if (name.compare(0, 4, "\\??\\") == 0) name.erase(0, 4);
  if (name.size() >= 2 && name[1] == ':') name.erase(0, 2);
  return lower(name);
}

// The operations of PendingFileRenameOperations in both control sets whose
// source is one of the worm files: records of control set, source and
// target (empty: a deletion), '\0' between them.
void report_pending(const Hive& hive, const std::vector<WormFile>& worms, std::string* answer) {
  for (const char* set : {"ControlSet001", "ControlSet002"}) {
    const HiveNode key = hive.find(hive.root(), std::string(set) + "\\Control\\Session Manager");
    HiveValue v;
    if (key == 0 || !hive.value(key, "PendingFileRenameOperations", &v) || v.unread) continue;
    // REG_MULTI_SZ: UTF-16LE strings, each ended by a zero unit.
    std::vector<std::string> names;
    for (std::size_t at = 0; at + 1 < v.data.size();) {
      std::size_t end = at;
      while (end + 1 < v.data.size() && (v.data[end] != '\0' || v.data[end + 1] != '\0')) end += 2;
      HiveValue one;
      one.type = 1;  // REG_SZ
      one.data = v.data.substr(at, end - at);
      names.push_back(value_text(one));
      at = end + 2;
    }
    for (std::size_t i = 0; i + 1 < names.size() && !names[i].empty(); i += 2) {
      for (const WormFile& w : worms) {
        if (on_volume(names[i]) != lower(w.windows_path)) continue;
        const auto shown = [](std::string name) {
          if (!name.empty() && name[0] == '!') name.erase(0, 1);  // replace-existing
          if (name.compare(0, 4, "\\??\\") == 0) name.erase(0, 4);
          return name;
        };
        put_record(answer, kPendingRecord, std::string(set) + '\0' + shown(names[i]) + '\0' + shown(names[i + 1]));
      }
    }
  }
}

// The isolated part of one hive's cleaning, in the child: reads the hive,
// plans, changes it in memory, writes it to the child's written file,
// reads that back as a hive of its own and compares its inventory with the
// original's less what was meant to go. Its answer: the removals and the
// written hive, a refusal, or nothing (nothing to remove).
std::string isolated_clean(bool software, const std::string& system_folder, const std::vector<WormFile>& worms,
                           int written_fd) {
  std::string answer;
  const auto refuse = [&](const std::string& why) {
    put_record(&answer, kRefusalRecord, why);
    return answer;
  };
  Hive hive;
  if (!hive.open(kIsolatedHive, true)) return refuse("the hive cannot be read: " + hive.error());
  std::vector<Planned> plan;
  std::vector<HiveValue> kept;
  if (software) {
    plan_runonce(hive, worms, &plan, &kept);
  } else {
    report_pending(hive, worms, &answer);
    const std::string why = plan_services(hive, system_folder, worms, &plan);
    if (!why.empty()) return refuse(why);
  }
  if (plan.empty()) return answer;
  std::vector<HiveEntry> before;
  if (!hive.inventory(&before)) return refuse("the hive cannot be read in full");
  if (software) {
    for (const HiveValue& v : kept)
      if (v.unread || v.data.size() > kLargestWrittenValue)
        return refuse("RunOnce holds a value too large to be written again (" + v.name + ")");
    if (!hive.replace_values(plan.front().node, kept)) return refuse(hive.error());
  } else {
    for (const Planned& p : plan)
      if (!hive.remove_key(p.node)) return refuse(hive.error());
  }
  if (!hive.commit(kIsolatedWritten)) return refuse(hive.error());
  struct stat st {};
  std::string bytes;
  BaseBlock base;
  if (fstat(written_fd, &st) != 0 || !read_at(written_fd, 0, static_cast<std::size_t>(st.st_size), &bytes))
    return refuse("the written hive cannot be read back");
  const std::string why = base_block_refusal(bytes, &base);
  if (!why.empty()) return refuse("the written hive " + why);
  Hive check;
  std::vector<HiveEntry> found;
  if (!check.open(kIsolatedWritten, false) || !check.inventory(&found))
    return refuse("the written hive cannot be read back in full");
  const std::vector<HiveEntry> expected = expected_after(before, plan);
  if (found != expected)
    return refuse("the written hive is not what was meant (" + std::to_string(found.size()) + " keys and values, " +
                  std::to_string(expected.size()) + " expected)");
  for (const Planned& p : plan)
    put_record(&answer, kRemovalRecord,
               p.parent + '\0' + (p.is_value ? p.name : std::string()) + '\0' + (p.is_value ? std::string() : p.name));
  put_record(&answer, kHiveRecord, bytes);
  return answer;
}

// The folders of an installation as the cleaning holds them.
struct Reached {
  Fd root, config;
  dev_t device = 0;
  std::string software, system;  // the hives' names in config
};

std::string join_path(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string told_apart(const std::string& folder, const std::vector<std::string>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) list += (i ? " and " : "") + names[i];
  return folder + " holds entries whose names differ only in case (" + list +
         "): which one Windows uses cannot be told, and none is written";
}

// Finds the installation below folder, holding its root and config folder.
bool reach(const std::string& folder, Installation* out, Reached* reached) {
  *out = Installation{};
  out->root = folder;
  reached->root.reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  bool mount_root = false;
  if (!reached->root.ok() || !posix::folder_device(reached->root.get(), &reached->device, &mount_root)) return false;
  for (const char* system_name : {"Windows", "WINNT"}) {
    std::vector<std::string> names = entries_named(reached->root.get(), system_name);
    if (names.empty()) continue;
    std::string why, path = join_path(folder, names[0]);
    Fd system(open_subfolder(reached->root.get(), names[0], reached->device, path, &why));
    if (!system.ok()) continue;  // a link or a mount is no system folder of this volume
    out->system_folder = names[0];
    if (names.size() > 1) out->refusal = told_apart(folder, names);
    // System32, config, then the hives; a step that cannot be taken safely
    // is the refusal.
    int at = system.get();
    Fd system32;
    bool nt = true;
    for (auto [wanted, into] : {std::pair<const char*, Fd*>{"System32", &system32}, {"config", &reached->config}}) {
      names = at < 0 ? std::vector<std::string>{wanted} : entries_named(at, wanted);
      if (names.empty()) {
        nt = false;
        break;
      }
      if (names.size() > 1 && out->refusal.empty()) out->refusal = told_apart(path, names);
      path = join_path(path, names[0]);
      if (at >= 0 && out->refusal.empty()) {
        into->reset(open_subfolder(at, names[0], reached->device, path, &why));
        if (!into->ok()) out->refusal = why;
      }
      at = into->get();
    }
    if (nt) {
      for (auto [wanted, name, shown] : {std::tuple<const char*, std::string*, std::string*>{"SOFTWARE", &reached->software, &out->software},
                                         {"SYSTEM", &reached->system, &out->system}}) {
        names = at < 0 ? std::vector<std::string>{wanted} : entries_named(at, wanted);
        if (names.empty()) break;
        if (names.size() > 1 && out->refusal.empty()) out->refusal = told_apart(path, names);
        *name = names[0];
        *shown = join_path(path, names[0]);
      }
      if (!out->software.empty() && !out->system.empty()) return true;
    }
    out->software.clear();
    out->system.clear();
    out->refusal.clear();
    reached->config.reset();
    names = entries_named(system.get(), "SYSTEM.DAT");
    if (!names.empty()) {
      out->system_dat = join_path(join_path(folder, out->system_folder), names[0]);
      return true;
    }
  }
  return false;
}

// What the child of one hive may use: the hive's size decides it.
IsolationLimits limits_for(std::uint64_t hive_size) {
  IsolationLimits limits;
  limits.seconds = 30;
  // The edited hive grows by a few bins at most; the result holds it and
  // the removals.
  limits.output = 2 * hive_size + (16 << 20);
#if !defined(__SANITIZE_ADDRESS__)
#if defined(__has_feature)
#if !__has_feature(address_sanitizer)
  limits.memory = 4 * hive_size + (512ULL << 20);
#endif
#else
  limits.memory = 4 * hive_size + (512ULL << 20);
#endif
#endif
  // (The sanitizers' runtime reserves terabytes of address space for its
  // shadow memory: there the child's memory is not limited.)
  return limits;
}

// Checks, plans, changes and commits one hive.
void clean_hive(const Reached& reached, const Folder& config, const std::string& name, const std::string& path,
                const Installation& installation, const std::vector<WormFile>& worms, bool software,
                BeforeHiveChange before_change, const volatile std::sig_atomic_t* cancel, RegistryCleaning* result) {
  auto refuse = [&](const std::string& reason) { result->refused.push_back(RegistryRefusal{path, reason}); };
  std::string why;
  struct stat read_as {};
  Fd hive(open_regular(config.fd, name, reached.device, "the hive", &read_as, &why));
  if (!hive.ok()) return refuse(why);
  if (static_cast<std::uint64_t>(read_as.st_size) > kLargestHive)
    return refuse("the hive is larger than " + std::to_string(kLargestHive >> 20) +
                  " MiB, more than any hive Windows writes: it was not read");
  BaseBlock base;
  why = base_block_refusal(hive.get(), &base);
  if (why.empty()) why = log_refusal(config, name, base);
  if (!why.empty()) return refuse(why);

  const IsolatedRun run = run_isolated(
      hive.get(), limits_for(static_cast<std::uint64_t>(read_as.st_size)),
      [&](int written_fd) { return isolated_clean(software, installation.system_folder, worms, written_fd); }, cancel);
  if (!run.finished) return refuse("the hive could not be read safely (" + run.failure + ")");
  std::vector<RegistryRemoval> removed;
  std::string bytes, body;
  char tag = 0;
  std::size_t at = 0;
  while (next_record(run.result, &at, &tag, &body)) {
    if (tag == kRefusalRecord) return refuse(body);
    if (tag == kHiveRecord) bytes = std::move(body);
    if (tag == kPendingRecord) {
      const std::size_t first = body.find('\0'), second = first == std::string::npos ? first : body.find('\0', first + 1);
      if (second != std::string::npos)
        result->pending.push_back(PendingOperation{path, body.substr(0, first),
                                                   body.substr(first + 1, second - first - 1), body.substr(second + 1)});
    }
    if (tag != kRemovalRecord) continue;
    const std::size_t first = body.find('\0'), second = first == std::string::npos ? first : body.find('\0', first + 1);
    if (second == std::string::npos) return refuse("the reader's answer cannot be understood");
    removed.push_back(RegistryRemoval{path, body.substr(0, first), body.substr(first + 1, second - first - 1),
                                      body.substr(second + 1)});
  }
  if (at != run.result.size() || (removed.empty() != bytes.empty()))
    return refuse("the reader's answer cannot be understood");
  if (removed.empty()) return;
  why = write_refusal(config, name);
  if (!why.empty()) return refuse(why);
  std::string error;
  if (!commit_hive(config, name, hive.get(), read_as, bytes, before_change, &error)) return refuse(error);
  result->removed.insert(result->removed.end(), removed.begin(), removed.end());
}

}  // namespace

bool find_installation(const std::string& folder, Installation* out) {
  Reached reached;
  return reach(folder, out, &reached);
}

bool image_path_names(const std::string& image_path, const std::string& system_folder,
                      const std::string& windows_path) {
  std::string image = image_path;
  image.erase(0, image.find_first_not_of(" \t"));
  const std::string wanted = lower(windows_path);
  if (!image.empty() && image[0] == '"') {
    const std::size_t end = image.find('"', 1);
    return normalised_image(image.substr(1, end == std::string::npos ? std::string::npos : end - 1), system_folder) ==
           wanted;
  }
  // Unquoted: the program is the text up to one of its spaces, or all of it.
  // The forms the system reads add 16 characters at most to the file's path
  // ("\\??\\C:", "%SystemRoot%"), besides separators that follow a
  // separator and spaces at the end: the prefixes are tried only while they
  // are no longer than that, so however long the text, the search ends
  // soon (each later prefix is longer still).
  const auto counted = [](const std::string& text, std::size_t from, std::size_t to, char* previous,
                          std::size_t* trailing) {
    std::size_t n = 0;
    for (std::size_t i = from; i < to; ++i) {
      const char c = text[i] == '/' ? '\\' : text[i];
      if (!(c == '\\' && *previous == '\\')) ++n;
      *trailing = c == ' ' || c == '\t' ? *trailing + 1 : 0;
      *previous = c;
    }
    return n;
  };
  char previous = 0;
  std::size_t trailing = 0;
  const std::size_t longest = counted(wanted, 0, wanted.size(), &previous, &trailing) + 16;
  previous = 0;
  trailing = 0;
  std::size_t seen = 0, from = 0;
  for (std::size_t end = image.find(' '); end != std::string::npos; end = image.find(' ', end + 1)) {
    seen += counted(image, from, end, &previous, &trailing);
    from = end;
    if (seen - trailing > longest) return false;
    if (normalised_image(image.substr(0, end), system_folder) == wanted) return true;
  }
  return normalised_image(image, system_folder) == wanted;
}

RegistryCleaning clean_registry(const Installation& given, const std::vector<std::string>& worm_files,
                                BeforeHiveChange before_change, const volatile std::sig_atomic_t* cancel) {
  RegistryCleaning result;
  // Found again, and held: the folders are used through these descriptors.
  Installation installation;
  Reached reached;
  if (!reach(given.root, &installation, &reached)) return result;
  const std::vector<WormFile> worms = worm_files_below(installation.root, worm_files);
  if (!installation.system_dat.empty()) {
    result.refused.push_back(
        RegistryRefusal{installation.system_dat,
                        "a registry of the Windows 95 line (SYSTEM.DAT) is not supported: it was left unchanged"});
    return result;
  }
  if (worms.empty()) return result;
  std::string why = installation.refusal;
  if (why.empty()) why = hibernation_refusal(reached.root.get(), installation.root);
  const Folder config{reached.config.get(), reached.device, installation.software.substr(0, installation.software.rfind('/'))};
  for (const bool software : {true, false}) {
    const std::string& path = software ? installation.software : installation.system;
    if (why.empty() && cancel && *cancel) why = "the run was interrupted before this hive was cleaned";
    if (!why.empty())
      result.refused.push_back(RegistryRefusal{path, why});
    else
      clean_hive(reached, config, software ? reached.software : reached.system, path, installation, worms, software,
                 before_change, cancel, &result);
  }
  return result;
}

}  // namespace krelvon::rescue
