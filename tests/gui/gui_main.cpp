// The GUI test driver's entry: prepares the prefix's window system, then runs
// the tests.
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/gui/gui_support.h"

namespace {

// Wine draws every window's caption and frame itself rather than leaving it
// to an X window manager (the virtual display has none), so the
// screenshots show what Windows would. Programs started afterwards read it.
void draw_frames_in_wine() {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\X11 Driver", 0, nullptr, 0, KEY_SET_VALUE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  for (const char* name : {"Decorated", "Managed"})
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>("N"), 2);
  RegCloseKey(key);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  draw_frames_in_wine();
  CreateDirectoryA(krelvon::gui::build_path("gui-screenshots").c_str(), nullptr);
  return RUN_ALL_TESTS();
}
