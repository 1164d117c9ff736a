#include "rescue/offline_registry.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "rescue/hive_guard.h"

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

bool is_folder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

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

void plan_services(const Hive& hive, const std::string& system_folder, const std::vector<WormFile>& worms,
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

// Checks, plans, changes and commits one hive.
void clean_hive(const std::string& path, const Installation& installation, const std::vector<WormFile>& worms,
                bool software, BeforeHiveChange before_change, RegistryCleaning* result) {
  auto refuse = [&](const std::string& reason) { result->refused.push_back(RegistryRefusal{path, reason}); };
  BaseBlock base;
  std::string why = base_block_refusal(path, &base);
  if (why.empty()) why = log_refusal(path, base);
  if (!why.empty()) return refuse(why);

  Hive hive;
  if (!hive.open(path, true)) return refuse("the hive cannot be read: " + hive.error());
  std::vector<Planned> plan;
  std::vector<HiveValue> kept;
  if (software)
    plan_runonce(hive, worms, &plan, &kept);
  else
    plan_services(hive, installation.system_folder, worms, &plan);
  if (plan.empty()) return;

  why = write_refusal(path);
  if (!why.empty()) return refuse(why);
  std::vector<HiveEntry> before;
  if (!hive.inventory(&before)) return refuse("the hive cannot be read in full");
  if (software) {
    for (const HiveValue& v : kept)
      if (v.data.size() > kLargestWrittenValue)
        return refuse("RunOnce holds a value too large to be written again (" + v.name + ")");
    if (!hive.replace_values(plan.front().node, kept)) return refuse(hive.error());
  } else {
    for (const Planned& p : plan)
      if (!hive.remove_key(p.node)) return refuse(hive.error());
  }
  std::string error;
  if (!commit_hive(hive, path, expected_after(before, plan), before_change, &error)) return refuse(error);
  for (const Planned& p : plan)
    result->removed.push_back(
        RegistryRemoval{path, p.parent, p.is_value ? p.name : std::string(), p.is_value ? std::string() : p.name});
}

}  // namespace

bool find_installation(const std::string& folder, Installation* out) {
  *out = Installation{};
  out->root = folder;
  for (const char* system_name : {"Windows", "WINNT"}) {
    const std::string system = find_entry(folder, system_name);
    if (system.empty() || !is_folder(system)) continue;
    out->system_folder = system.substr(system.rfind('/') + 1);
    const std::string system32 = find_entry(system, "System32");
    const std::string config = system32.empty() ? "" : find_entry(system32, "config");
    if (!config.empty()) {
      out->software = find_entry(config, "SOFTWARE");
      out->system = find_entry(config, "SYSTEM");
      if (!out->software.empty() && !out->system.empty()) return true;
    }
    out->software.clear();
    out->system.clear();
    out->system_dat = find_entry(system, "SYSTEM.DAT");
    if (!out->system_dat.empty()) return true;
  }
  return false;
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
  for (std::size_t end = image.find(' '); end != std::string::npos; end = image.find(' ', end + 1))
    if (normalised_image(image.substr(0, end), system_folder) == wanted) return true;
  return normalised_image(image, system_folder) == wanted;
}

RegistryCleaning clean_registry(const Installation& installation, const std::vector<std::string>& worm_files,
                                BeforeHiveChange before_change) {
  RegistryCleaning result;
  const std::vector<WormFile> worms = worm_files_below(installation.root, worm_files);
  if (!installation.system_dat.empty()) {
    result.refused.push_back(
        RegistryRefusal{installation.system_dat,
                        "a registry of the Windows 95 line (SYSTEM.DAT) is not supported: it was left unchanged"});
    return result;
  }
  if (worms.empty()) return result;
  const std::string hibernated = hibernation_refusal(installation.root);
  for (const std::string* hive : {&installation.software, &installation.system}) {
    if (!hibernated.empty())
      result.refused.push_back(RegistryRefusal{*hive, hibernated});
    else
      clean_hive(*hive, installation, worms, hive == &installation.software, before_change, &result);
  }
  return result;
}

}  // namespace krelvon::rescue
