#include "cli/registry_step.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "report/report.h"
#include "report/text.h"
#include "engine/change_guard.h"
#include "engine/scan_context.h"
#include "handlers/signatures.h"
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
  }
}

}  // namespace krelvon::cli
