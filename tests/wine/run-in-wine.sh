#!/usr/bin/env bash
# Runs a Windows test program under Wine: the emulator of the cross builds.
# Each build folder gets a Wine prefix of its own (created on first use, with
# no Z: drive, so that no all-drives scan walks this machine, and with Q:
# mapped to a folder of the build), a persistent wineserver and a virtual X
# display, so message boxes and dialogs can be created and answered.
#
# Tests that change drives use a prefix of their own: KRELVON_WINEPREFIX
# names it, KRELVON_WINE_DRIVE_Q the folder its Q: maps to (default: the
# build's wine-drive-q), and KRELVON_WINE_DRIVE_R_CDROM, when set, a folder
# mapped as R:, a CD-ROM drive holding one file (a drive that exists but is
# not fixed).
#
# The i686 programs run in 32-bit prefixes: KRELVON_WINE_VERSION (win95,
# win98, winme, nt40, win2k, winxp) starts the program with 32-bit Wine in
# a prefix made for that version (default: the build's
# wineprefix-VERSION), Wine reporting that Windows version to every program
# in it. The first such prefix of a build is made from scratch and kept as
# a template (wineprefix-win32-template); the others are copies of it,
# which takes a fraction of the time.
set -euo pipefail

exe=$1
shift

# The build folder: the nearest parent of the program holding CMakeCache.txt.
build=$(cd "$(dirname "$exe")" && pwd)
while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
[ -f "$build/CMakeCache.txt" ] || { echo "run-in-wine: no build folder above $exe" >&2; exit 2; }

version=${KRELVON_WINE_VERSION:-}
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
if [ -n "$version" ]; then
  case $version in
    win95 | win98 | winme | nt40 | win2k | winxp) ;;
    *) echo "run-in-wine: unknown Windows version: $version" >&2; exit 2 ;;
  esac
  wine=/usr/lib/wine/wine
  [ -x "$wine" ] || { echo "run-in-wine: 32-bit Wine is missing (scripts/setup --wine32 installs it)" >&2; exit 2; }
  export WINEARCH=win32
  export WINEPREFIX="${KRELVON_WINEPREFIX:-$build/wineprefix-$version}"
else
  wine=/usr/lib/wine/wine64
  export WINEPREFIX="${KRELVON_WINEPREFIX:-$build/wineprefix}"
fi

# A virtual display of our own unless one is given.
if [ -z "${DISPLAY:-}" ]; then
  export DISPLAY=":${KRELVON_XVFB_DISPLAY:-93}"
fi
display_number=${DISPLAY#:}
display_number=${display_number%%.*}
# A server counts as there only when it answers: a machine that was stopped
# without its servers being ended keeps their sockets and lock files, and a
# socket alone would send every program to a display nobody serves.
display_answers() { xdotool getdisplaygeometry >/dev/null 2>&1 </dev/null; }
(
  flock 9
  if ! display_answers; then
    # Nothing answers on this display, so its socket and lock file are left
    # over from a server that is gone.
    case $display_number in
      '' | *[!0-9]*) echo "run-in-wine: no X server answers on $DISPLAY" >&2; exit 2 ;;
    esac
    rm -f "/tmp/.X11-unix/X$display_number" "/tmp/.X$display_number-lock" 2>/dev/null || true
    setsid nohup Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 </dev/null 9>&- &
    for _ in $(seq 1 100); do display_answers && break; sleep 0.1; done
    display_answers || { echo "run-in-wine: no X server answers on $DISPLAY" >&2; exit 2; }
  fi
) 9>"/tmp/krelvon-xvfb-$display_number.lock"

(
  flock 9
  if [ ! -f "$WINEPREFIX/.krelvon-ready" ]; then
    rm -rf "$WINEPREFIX"
    template=$build/wineprefix-win32-template
    if [ -n "$version" ]; then
      (
        flock 8
        if [ ! -f "$template/.krelvon-template" ]; then
          rm -rf "$template"
          mkdir -p "$template"
          WINEPREFIX=$template "$wine" wineboot -i >/dev/null 2>&1 8>&- 9>&- || true
          WINEPREFIX=$template "$wineserver" -w
          touch "$template/.krelvon-template"
        fi
      ) 8>"$template.lock"
      cp -a "$template" "$WINEPREFIX"
      rm -f "$WINEPREFIX/.krelvon-template"
    else
      mkdir -p "$WINEPREFIX"
      "$wine" wineboot -i >/dev/null 2>&1 9>&- || true
      "$wineserver" -w
    fi
    rm -f "$WINEPREFIX/dosdevices/z:"
    # The user's shell folders (Desktop, Documents, Templates, ...) are links
    # to this machine's home folder: plain empty folders instead, so that a
    # walk of C: stays inside the prefix.
    find "$WINEPREFIX/drive_c/users" -type l 2>/dev/null | while read -r link; do
      rm -f "$link" && mkdir -p "$link"
    done
    drive_q="${KRELVON_WINE_DRIVE_Q:-$build/wine-drive-q}"
    mkdir -p "$drive_q"
    ln -sfn "$drive_q" "$WINEPREFIX/dosdevices/q:"
    if [ -n "${KRELVON_WINE_DRIVE_R_CDROM:-}" ]; then
      mkdir -p "$KRELVON_WINE_DRIVE_R_CDROM"
      echo "on a CD-ROM" >"$KRELVON_WINE_DRIVE_R_CDROM/on-cdrom.txt"
      ln -sfn "$KRELVON_WINE_DRIVE_R_CDROM" "$WINEPREFIX/dosdevices/r:"
      "$wine" reg add 'HKLM\Software\Wine\Drives' /v r: /d cdrom /f >/dev/null 2>&1 9>&- || true
      # The mount manager reads the drive types when it starts.
      "$wineserver" -k 2>/dev/null || true
      "$wineserver" -w
    fi
    if [ -n "$version" ]; then
      "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1 9>&-
    fi
    touch "$WINEPREFIX/.krelvon-ready"
  fi
  # Persistent server: each program then starts in a fraction of a second.
  "$wineserver" -p >/dev/null 2>&1 9>&- || true
) 9>"$WINEPREFIX.lock"

# Output that goes into files already reaches them as the program writes it
# (a caller may watch for a prompt there).
if [ -f /dev/fd/1 ] && [ -f /dev/fd/2 ]; then
  exec "$wine" "$exe" "$@"
fi
# Wine's own helper processes (services, explorer) may outlive the program
# and would keep its output pipe open, so a caller reading it (CTest) would
# wait for them. The program writes into files instead, copied out once it
# has ended.
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
status=0
"$wine" "$exe" "$@" >"$out" 2>"$err" || status=$?
cat "$out"
cat "$err" >&2
exit "$status"
