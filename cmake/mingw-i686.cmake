# The 32-bit programs: they must start on Windows 95, 98, Me, NT 4.0, 2000
# and XP. The -win32 thread-model compilers: the -posix runtime
# (winpthreads, pulled in by libgcc's unwinder and libstdc++) imports
# functions that those systems do not export, and the loader refuses a
# program over a single missing import.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Processor: the Pentium (i586). The compiler's default, the Pentium Pro,
# may use CMOV, which the Pentium and Pentium MMX of that era lack.
set(CMAKE_C_FLAGS_INIT "-march=i586")
set(CMAKE_CXX_FLAGS_INIT "-march=i586")
# Oldest systems: Windows 95 and NT 4.0 (version 4.0) and COMCTL32 4.70
# (Internet Explorer 3). mingw-w64's headers guard little by these, so they
# document the target rather than enforce it; scripts/check-imports does.
set(KRELVON_WINDOWS_VERSION 0x0400)
set(KRELVON_WINDOWS_IE 0x0300)
# Operating system and subsystem version 4.0 in the PE header: Windows 95
# refuses a program that asks for a later one.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--major-os-version,4,--minor-os-version,0,--major-subsystem-version,4,--minor-subsystem-version,0")
