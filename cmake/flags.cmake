# One list of warning flags for every target of the project.
set(KRELVON_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wcast-qual -Wformat=2 -Wundef)
if(KRELVON_WERROR)
  list(APPEND KRELVON_WARNINGS -Werror)
endif()

# Sanitizer build of the native suite: -DKRELVON_SANITIZE=ON.
option(KRELVON_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(KRELVON_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# Fuzz build: every library instrumented for coverage and the sanitizers.
if(KRELVON_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(KRELVON_NO_WAITS)
endif()

if(WIN32)
  # No runtime DLLs next to the programs: everything links statically.
  add_link_options(-static -static-libgcc -static-libstdc++)
  # The oldest Windows the build targets: the toolchain file of a build may
  # name an older one (cmake/mingw-i686.cmake).
  if(NOT DEFINED KRELVON_WINDOWS_VERSION)
    set(KRELVON_WINDOWS_VERSION 0x0601)
  endif()
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX
                          _WIN32_WINNT=${KRELVON_WINDOWS_VERSION} WINVER=${KRELVON_WINDOWS_VERSION})
  if(DEFINED KRELVON_WINDOWS_IE)
    add_compile_definitions(_WIN32_IE=${KRELVON_WINDOWS_IE})
  endif()
endif()

function(krelvon_target_defaults target)
  target_compile_options(${target} PRIVATE ${KRELVON_WARNINGS})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# The rescue build (preset static): krelvon-scan-static links no shared
# library at all, so every library found is taken as its static archive.
option(KRELVON_STATIC "Build krelvon-scan-static, linked with no shared library" OFF)
if(KRELVON_STATIC)
  set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
endif()
