#include "cli/registry_step.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>

#include <fstream>
#include <set>
#include <sstream>

#include "report/report.h"
#include "report/text.h"
#include "engine/change_guard.h"
#include "engine/scan_context.h"
#include "handlers/signatures.h"
#include "platform/files/folders.h"
#include "platform/files/restart.h"
#include "rescue/offline_registry.h"

namespace krelvon::cli {

namespace {

std::string registry_json(const rescue::RegistryRemoval& r) {
  JsonObject json("registry");
  json.text("hive", r.hive).text("key", r.key);
  if (r.value.empty())
    json.text("subkey", r.subkey);
  else
    json.text("value", r.value);
  return json.text("detection", "W32/BugBear.Worm").text("line", kSystemRegistryLine).done();
}

std::string refusal_json(const rescue::RegistryRefusal& r) {
  return JsonObject("registry-refused").text("hive", r.hive).text("reason", r.reason).done();
}

// With --backup, a hive is kept in the backup right before the new one
// takes its place (and then the original is not kept beside it). The
// backup hears what became of it before the next hive is backed up: the new
// hive is another file at the same path, known by its contents.
std::string g_backed_up_hive;

void settle_backed_up_hive() {
  if (!g_backed_up_hive.empty()) after_change(g_backed_up_hive.c_str(), ChangeOutcome::kReplaced);
  g_backed_up_hive.clear();
}

bool back_up_hive(const char* hive_path) {
  settle_backed_up_hive();
  if (!before_change(hive_path, ChangeKind::kRewrite)) return false;
  g_backed_up_hive = hive_path;
  return true;
}

std::string lowered(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// The operations of the installation's WININIT.INI (in its system folder,
// the name in any case) on the worm files below its root: by the path
// below the root ("C:\WINDOWS\SYSTEM\WORM.DLL" for <root>/WINDOWS/SYSTEM/
// worm.dll), or, for the 8.3 names WININIT holds, by a file name equal to
// the worm file's own. A worm file's generated short name (WORM~1.DLL)
// cannot be told from the mounted disk and is not matched. Each is named
// on standard error and in a report object pending-at-restart.
void report_wininit(const rescue::Installation& installation, const std::vector<std::string>& worm_files,
                    Report& report) {
  const std::string folder = installation.root + "/" + installation.system_folder;
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return;
  std::string ini;
  while (const dirent* e = readdir(d))
    if (lowered(e->d_name) == "wininit.ini") ini = folder + "/" + e->d_name;
  closedir(d);
  if (ini.empty()) return;
  std::ifstream in(ini, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  char root[PATH_MAX];
  if (!realpath(installation.root.c_str(), root)) return;
  const std::string top = root;
  for (const files::PendingOperation& op : files::wininit_operations_of(text.str())) {
    std::string source = op.source;
    if (source.size() >= 2 && source[1] == ':') source.erase(0, 2);
    const std::string name = lowered(source.substr(source.find_last_of('\\') + 1));
    for (const std::string& w : worm_files) {
      char full[PATH_MAX];
      if (!realpath(files::parent_of(w).c_str(), full)) continue;
      std::string below = std::string(full) + "/" + w.substr(w.find_last_of('/') + 1);
      if (below.compare(0, top.size(), top) != 0) continue;
      below.erase(0, top.size());
      for (char& c : below)
        if (c == '/') c = '\\';
      const std::string worm_name = lowered(below.substr(below.find_last_of('\\') + 1));
      if (lowered(source) != lowered(below) && name != worm_name) continue;
      std::fprintf(stderr, "krelvon-scan: the next start of this Windows will %s %s%s%s (%s)\n",
                   op.target.empty() ? "delete" : "move", terminal_text(op.source).c_str(),
                   op.target.empty() ? "" : " to ", terminal_text(op.target).c_str(), terminal_text(ini).c_str());
      JsonObject json("pending-at-restart");
      json.text("file", ini).text("source", op.source);
      if (!op.target.empty()) json.text("target", op.target);
      report.put(json.done());
      break;
    }
  }
}

}  // namespace

bool is_windows_root(const std::string& folder) {
  rescue::Installation installation;
  return rescue::find_installation(folder, &installation);
}

void clean_offline_registries(const std::string& windows_root, const std::vector<std::string>& scan_paths,
                              const std::vector<std::string>& worm_files, bool backup, Report& report) {
  const std::vector<std::string> roots = windows_root.empty() ? scan_paths : std::vector<std::string>{windows_root};
  std::set<std::string> cleaned;
  for (const std::string& root : roots) {
    rescue::Installation installation;
    char resolved[PATH_MAX];
    if (!rescue::find_installation(root, &installation) || !realpath(root.c_str(), resolved) ||
        !cleaned.insert(resolved).second)
      continue;
    const rescue::RegistryCleaning result =
        rescue::clean_registry(installation, worm_files, backup ? &back_up_hive : nullptr, &g_scan.cancel);
    settle_backed_up_hive();
    for (const rescue::RegistryRemoval& r : result.removed) {
      // The finding line and its finding object (written by the front end),
      // named by the hive and the key or value removed; then the object
      // that tells the hive and key apart.
      const std::string removed = r.hive + "\\" + r.key + "\\" + (r.value.empty() ? r.subkey : r.value);
      append_finding({FindingKind::kSystemRegistry, FindingOutcome::kRemoved, removed.c_str(), kSystemDetection},
                     kSystemRegistryObject, kSystemDetection);
      report.put(registry_json(r));
    }
    // What the installation's next start will try on a worm file the scan
    // dealt with: a line on standard error and an object in the report.
    for (const rescue::PendingOperation& p : result.pending) {
      std::fprintf(stderr, "krelvon-scan: the next start of this Windows will %s %s%s%s (%s, %s)\n",
                   p.target.empty() ? "delete" : "move", terminal_text(p.source).c_str(), p.target.empty() ? "" : " to ",
                   terminal_text(p.target).c_str(), terminal_text(p.hive).c_str(), p.control_set.c_str());
      JsonObject json("pending-at-restart");
      json.text("hive", p.hive).text("control_set", p.control_set).text("source", p.source);
      if (!p.target.empty()) json.text("target", p.target);
      report.put(json.done());
    }
    // Names and reasons come from the hive's folder and the hive itself:
    // written as paths are, so that none can break the line.
    for (const rescue::RegistryRefusal& r : result.refused) {
      std::fprintf(stderr, "krelvon-scan: registry left unchanged: %s: %s\n", terminal_text(r.hive).c_str(),
                   terminal_text(r.reason).c_str());
      report.put(refusal_json(r));
    }
    if (!worm_files.empty()) report_wininit(installation, worm_files, report);
  }
}

}  // namespace krelvon::cli
