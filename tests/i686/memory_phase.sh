#!/usr/bin/env bash
# The memory phase of the i686 krelvon-scan under 32-bit Wine, with the
# sample factory's PE32 runnable worm file running in the prefix:
#   memory_phase.sh KRELVON_SCAN_EXE KRELVON_SAMPLES
# (the Windows version from KRELVON_WINE_VERSION; its own prefix, since any
# scan in the prefix would find and end the sample).
#   NT line: the process is found by its full path (psapi), ended by its id,
#   and its file deleted; left running on Ignore.
# Left out: --action=delete or rename on the NT line, which end a process
# by its file through the performance data, which Wine does not provide.
#   95 line: Wine's Toolhelp names a process by its bare file name (Windows
#   95 and 98 give the full path), which the scanner can read only as a
#   name in its current folder: the process is found when the scanner runs
#   in the sample's folder, and not from elsewhere.
set -euo pipefail
abs() { printf '%s/%s' "$(cd "$(dirname "$1")" && pwd)" "$(basename "$1")"; }
scan_exe=$(abs "$1")
samples_bin=$(abs "$2")
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/prelude.sh"
prefix=${KRELVON_WINEPREFIX:?the prefix of the memory tests}
name="krelvon-memory-$$"
work="$prefix/drive_c/$name"
win_work="C:\\$name"
mkdir -p "$work/run" "$work/empty" "$work/elsewhere"
sample_pid=
stop_sample() {
  if [ -n "$sample_pid" ] && kill -0 "$sample_pid" 2>/dev/null; then kill "$sample_pid" 2>/dev/null || true; fi
  [ -z "$sample_pid" ] || wait "$sample_pid" 2>/dev/null || true
  sample_pid=
}
trap 'stop_sample; rm -rf "$work"' EXIT
case $KRELVON_WINE_VERSION in win9* | winme) line=95 ;; *) line=nt ;; esac
tab=$'\t'

# start_sample: the PE32 sample running (a minute at most) from its folder;
# true once the scanner finds it (a scan of an empty folder whose memory
# phase recognises it), false when it never does.
start_sample() {
  "$samples_bin" runnable "$work/run/worm.exe" 60000 pe32 >/dev/null
  (cd "$work/run" && exec "$here/../wine/run-in-wine.sh" "$work/run/worm.exe") >/dev/null 2>&1 &
  sample_pid=$!
  local _
  for _ in $(seq 1 100); do
    kill -0 "$sample_pid" 2>/dev/null || return 1
    out=$( (cd "$work/run" && wine_run "$scan_exe" --action=ignore --quiet "$win_work\\empty") | tr -d '\r' || true)
    grep -q "Total files infected${tab}${tab}:  [1-9]" <<<"$out" && return 0
    sleep 0.1
  done
  return 1
}

run_scan() {  # run_scan FOLDER_TO_RUN_IN ARG...: sets out, err, status
  local in=$1
  shift
  status=0
  (cd "$in" && wine_run "$scan_exe" "$@") >"$work/.out" 2>"$work/.err" </dev/null || status=$?
  out=$(tr -d '\r' <"$work/.out")
  err=$(tr -d '\r' <"$work/.err")
}

if [ "$line" = nt ]; then
  memory_object="$win_work\\run\\worm.exe"
else
  memory_object="System Memory"
fi

check "the PE32 sample runs and is found" start_sample

# Ignore: the process runs on, and the memory phase writes no line for it
# (nothing was done). A folder scan runs the memory phase twice (before it
# builds the mask, and again before the walk) and each recognition counts:
# infected 3 for the one file, the walk's line the only one.
run_scan "$work/run" --action=ignore "$win_work\\run"
check "ignore: found and ignored, status 4" equals "$status" 4
check "ignore: the walk's line only" equals "$(grep '     W32/BugBear' <<<"$out")" \
  "$win_work\\run\\worm.exe     W32/BugBear.B.Worm not disinfected as per user's selection"
check "ignore: two recognitions in memory, one by the walk" contains "$out" "Total files infected${tab}${tab}:  3"
check "ignore: one file scanned" contains "$out" "Total files scanned${tab}${tab}:  1"
check "ignore: the process runs on" kill -0 "$sample_pid"
check "ignore: the file stays" test -f "$work/run/worm.exe"

if [ "$line" = 95 ]; then
  # From another folder the bare name leads nowhere: not found.
  run_scan "$work/elsewhere" --action=ignore "$win_work\\empty"
  check "95 line, from elsewhere: not found" equals "$status:$(grep -c '     W32' <<<"$out" || true)" "0:0"
fi

# Disinfect (the default): ended and deleted in the memory phase's second
# pass, which names the file as the process list does (95 line under Wine:
# the bare name, found in the current folder).
if [ "$line" = nt ]; then deleted="$win_work\\run\\worm.exe"; else deleted=worm.exe; fi
run_scan "$work/run" --quiet "$win_work\\empty"
check "disinfect: status 1" equals "$status" 1
check "disinfect: the memory lines" equals "$(grep '     W32/BugBear' <<<"$out")" "System Memory     W32/BugBear.Worm removed
$deleted     W32/BugBear.B.Worm deleted"
check "disinfect: first check and second pass counted" contains "$out" "Total files infected${tab}${tab}:  2"
check "disinfect: one deleted" contains "$out" "Total files deleted${tab}${tab}:  1"
check "disinfect: the file is gone" test ! -e "$work/run/worm.exe"
ended=0
for _ in $(seq 1 50); do kill -0 "$sample_pid" 2>/dev/null || { ended=1; break; }; sleep 0.1; done
check "disinfect: the process ended" equals "$ended" 1
stop_sample
checks_done "memory-phase ($KRELVON_WINE_VERSION)"
