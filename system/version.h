// The two Windows version checks, evaluated afresh at every call.
#pragma once

namespace krelvon {

enum PlatformLine : int {
  kPlatformUndetermined = 0,  // GetVersionExA failed
  kPlatformOther = 1,         // neither Windows line
  kPlatform95 = 4,            // Windows 95/98/Me
  kPlatformNT = 5,            // Windows NT/2000/XP and later
};

enum NtGeneration : int {
  kNtNone = 0,  // not NT, the query failed, or NT 6 and later
  kNt4 = 5,     // NT 4 or earlier
  kNt5 = 6,     // NT 5.x (2000, XP, Server 2003)
};

int platform_line();
int nt_generation();

}  // namespace krelvon
