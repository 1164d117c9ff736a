// The offline registry cleaning over hives and their logs from the fuzzer:
// the input is split at each "|krelvon|" into SOFTWARE, SYSTEM,
// SOFTWARE.LOG1 and SYSTEM.LOG1 (a missing or empty part: no such file),
// written as an installation in a scratch folder whose worm file is
// Windows\System32\wormsvc.exe, and cleaned as krelvon-scan does it, each
// hive read in its isolated child. Every outcome must be a clean one or a
// refusal: a refused hive byte for byte as it was, a cleaned one replaced
// (its original kept beside it), nothing half-written left, and no hive
// changed without being reported.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "rescue/offline_registry.h"

namespace fs = std::filesystem;
namespace rescue = krelvon::rescue;

namespace {

constexpr char kSeparator[] = "|krelvon|";

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz_offline_registry: %s: %s\n", what, detail.c_str());
  std::abort();
}

std::string read_all(const fs::path& p) {
  std::string out;
  if (std::FILE* f = std::fopen(p.c_str(), "rb")) {
    char b[1 << 16];
    for (std::size_t n; (n = std::fread(b, 1, sizeof b, f)) > 0;) out.append(b, n);
    std::fclose(f);
  }
  return out;
}

void write_all(const fs::path& p, const std::string& bytes) {
  if (std::FILE* f = std::fopen(p.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> parts;
  for (std::size_t from = 0;;) {
    const std::size_t at = input.find(kSeparator, from);
    parts.push_back(input.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos || parts.size() == 4) break;
    from = at + sizeof kSeparator - 1;
  }
  parts.resize(4);
  if (parts[0].empty() || parts[1].empty()) return 0;  // no installation

  struct stat st {};
  static const fs::path root =
      fs::path(::stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp") / ("krelvon-fuzz-install-" + std::to_string(getpid()));
  std::error_code ignored;
  fs::remove_all(root, ignored);
  const fs::path config = root / "Windows/System32/config";
  fs::create_directories(config);
  const char* names[] = {"SOFTWARE", "SYSTEM", "SOFTWARE.LOG1", "SYSTEM.LOG1"};
  for (int i = 0; i < 4; ++i)
    if (!parts[i].empty()) write_all(config / names[i], parts[i]);

  rescue::Installation installation;
  if (!rescue::find_installation(root, &installation)) fail("no installation found", root);
  const rescue::RegistryCleaning result =
      rescue::clean_registry(installation, {(root / "Windows/System32/wormsvc.exe").string()}, nullptr);
  for (int i = 0; i < 2; ++i) {
    const fs::path hive = config / names[i];
    const std::string now = read_all(hive), path = hive.string();
    bool refused = false, removed = false;
    for (const auto& r : result.refused) refused = refused || r.hive == path;
    for (const auto& r : result.removed) removed = removed || r.hive == path;
    if (refused && removed) fail("refused and cleaned at once", path);
    if (fs::exists(path + rescue::kNewHiveSuffix)) fail("a written hive left behind", path);
    if (removed) {
      if (read_all(path + rescue::kOriginalHiveSuffix) != parts[i]) fail("the original not kept", path);
    } else if (now != parts[i]) {
      fail(refused ? "a refused hive changed" : "a hive changed without a removal", path);
    } else if (fs::exists(path + rescue::kOriginalHiveSuffix)) {
      fail("an original kept for a hive not changed", path);
    }
  }
  return 0;
}
