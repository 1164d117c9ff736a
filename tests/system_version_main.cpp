// The main of the test programs that run under a chosen Windows version.
// Wine reports a chosen version to a program named under
// HKCU\Software\Wine\AppDefaults; the test fixture runs the program once
// with --wine-version=VERSION (win98, nt40, winxp64, win7) before its cases
// and once with an empty value after them, which removes the setting.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support.h"

namespace {

constexpr char kOption[] = "--wine-version=";

int set_wine_version(const char* version) {
  std::string name = __argv[0];
  const std::size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  const std::string key = "Software\\Wine\\AppDefaults\\" + name;
  if (*version == '\0') {
    const LONG result = RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND ? 0 : 1;
  }
  return RegSetKeyValueA(HKEY_CURRENT_USER, key.c_str(), "Version", REG_SZ, version,
                         static_cast<DWORD>(std::strlen(version) + 1)) == ERROR_SUCCESS
             ? 0
             : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strncmp(argv[1], kOption, sizeof kOption - 1) == 0)
    return set_wine_version(argv[1] + sizeof kOption - 1);
  ::testing::InitGoogleTest(&argc, argv);
  krelvon::test::install_message_box_answerer();
  return RUN_ALL_TESTS();
}
