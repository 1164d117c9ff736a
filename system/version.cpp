#include "system/version.h"

#include <cstring>

#include "platform/platform.h"

namespace krelvon {

namespace {

bool query(OSVERSIONINFOA* info) {
  std::memset(info, 0, sizeof *info);
  info->dwOSVersionInfoSize = sizeof *info;
#if defined(_WIN32) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  return GetVersionExA(info) != FALSE;
#if defined(_WIN32) && defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

}  // namespace

int platform_line() {
  OSVERSIONINFOA info;
  if (!query(&info)) return kPlatformUndetermined;
  if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) return kPlatform95;
  if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) return kPlatformNT;
  return kPlatformOther;
}

int nt_generation() {
  OSVERSIONINFOA info;
  if (!query(&info) || info.dwPlatformId != VER_PLATFORM_WIN32_NT) return kNtNone;
  if (info.dwMajorVersion <= 4) return kNt4;
  if (info.dwMajorVersion == 5) return kNt5;
  return kNtNone;
}

}  // namespace krelvon
