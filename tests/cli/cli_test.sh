#!/usr/bin/env bash
# krelvon-scan end to end, as a process on real temporary folders:
#   cli_test.sh CASE KRELVON_SCAN KRELVON_SAMPLES [CONSOLE_INTERRUPT]
# Windows programs (.exe) run under Wine through tests/wine/run-in-wine.sh,
# in folders of the Wine prefix's C: drive. Each CASE is one CTest entry.
set -euo pipefail
case_name=$1
scan_bin=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
samples_bin=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
interrupt_bin=${4:-}  # Windows: the helper that presses Ctrl-C in a console
here="$(cd "$(dirname "$0")" && pwd)"

source "$here/checks.sh"

windows=0
[[ "$scan_bin" == *.exe ]] && windows=1

if [ "$windows" = 1 ]; then
  wine_run() { "$here/../wine/run-in-wine.sh" "$@"; }
  wine_run "$scan_bin" --version >/dev/null  # creates the prefix on first use
  build=$(cd "$(dirname "$scan_bin")" && pwd)
  while [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
  prefix=${KRELVON_WINEPREFIX:-$build/wineprefix${KRELVON_WINE_VERSION:+-$KRELVON_WINE_VERSION}}
  name="krelvon-cli-$case_name-$$"
  work="$prefix/drive_c/$name"
  win_work="C:\\$name"
  sep='\'
  scan() { wine_run "$scan_bin" "$@"; }
  win() { local p=${1#"$work"}; printf '%s%s' "$win_work" "${p//\//\\}"; }  # a folder's name in Windows
  unwin() { local p=${1#"$win_work"}; printf '%s%s' "$work" "${p//\\//}"; }  # and back
  if [[ "$samples_bin" == *.exe ]]; then
    samples() { wine_run "$samples_bin" "$@"; }
  else
    # The i686 build has no sample factory of its own: the native one
    # writes into the prefix's C: drive by its Linux path.
    samples() { "$samples_bin" "$1" "$(unwin "$2")" "${@:3}"; }
  fi
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/krelvon-cli.XXXXXX")
  sep=/
  scan() { "$scan_bin" "$@"; }
  samples() { "$samples_bin" "$@"; }
  win() { printf '%s' "$1"; }
fi
mkdir -p "$work"
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT

tab=$'\t'
statistics() {  # statistics SCANNED INFECTED DISINFECTED RENAMED DELETED
  [ "$2" -gt 0 ] && echo " "
  echo "Scanning statistics${tab}${tab}:"
  echo "Total files scanned${tab}${tab}:  $1"
  echo "Total files infected${tab}${tab}:  $2"
  echo "Total files disinfected${tab}:  $3"
  echo "Total files renamed${tab}${tab}:  $4"
  echo "Total files deleted${tab}${tab}:  $5"
}

# One folder per sample of the demonstration set, so that the order of the
# findings is the order of the arguments.
make_sample_folders() {
  rm -rf "$work/demo" "$work"/only-*
  samples demo "$(win "$work/demo")" >/dev/null
  local f
  for f in worm.exe worm-helper.dll editor.exe games/game.exe tools/tool.exe calc.exe; do
    local d="$work/only-$(basename "$f" | tr . -)"
    mkdir -p "$d"
    cp "$work/demo/$f" "$d/"
  done
}

# $work/big: 80 folders of 500 empty files, long enough a scan to be
# interrupted in the middle.
make_big_folder() {
  mkdir -p "$work/big"
  (cd "$work/big" && for d in $(seq 0 79); do mkdir "d$d"; (cd "d$d" && seq -f 'f%g.txt' 0 499 | xargs touch); done)
}

# statistics_field NAME: a figure of the statistics block in $out.
statistics_field() { sed -n "s/^Total files $1${tab}${tab}:  //p" <<<"$out"; }

# as_unprivileged COMMAND...: runs it as an ordinary user (nobody when this
# is the superuser, whom no permission stops).
as_unprivileged() {
  if [ "$(id -u)" = 0 ]; then setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; else "$@"; fi
}

# wait_for FILE TEXT PID: until FILE holds TEXT; false when process PID ends
# first.
wait_for() {
  local _
  for _ in $(seq 1 1200); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

# skip_line PATH REASON: the standard-error line of an entry not examined.
skip_line() { printf 'krelvon-scan: skipped "%s": %s' "$(sed 's/\\/\\\\/g' <<<"$1")" "$2"; }
# skip_json PATH REASON: its object in the report.
skip_json() { printf '{"type":"skipped","path":"%s","reason":"%s"}' "$(sed 's/\\/\\\\/g' <<<"$1")" "$2"; }

run_scan() {  # run_scan [ARG]...: sets out, err, status (stdin passes through)
  status=0
  scan "$@" >"$work/.out" 2>"$work/.err" || status=$?
  out=$(tr -d '\r' <"$work/.out")
  err=$(tr -d '\r' <"$work/.err")
}

case "$case_name" in

usage)
  run_scan --bogus
  check "unknown option: status 2" equals "$status" 2
  check "unknown option: message" equals "$err" "krelvon-scan: unknown option: --bogus
Try 'krelvon-scan --help'."
  check "unknown option: nothing on standard output" equals "$out" ""
  run_scan --action=clean "$(win "$work")"
  check "unknown action" equals "$status:$err" "2:krelvon-scan: unknown action: clean
Try 'krelvon-scan --help'."
  run_scan "$(win "$work/missing")"
  check "no such folder" equals "$status" 2
  check "no such folder: message" contains "$err" "krelvon-scan: no such file or folder: "
  mkdir -p "$work/scanned"
  run_scan --report="$(win "$work/no-such-folder/r.json")" "$(win "$work/scanned")"
  check "report not writable" equals "$status" 2
  check "report not writable: message" contains "$err" "krelvon-scan: cannot write the report: "
  check "report not writable: no scan" equals "$out" ""
  run_scan --help
  check "--help status 0" equals "$status" 0
  check "--help text" contains "$out" "usage: krelvon-scan [OPTION]... [PATH]..."
  check "--help names the exit status" contains "$out" "Exit status (one code wins, in the order 2, 130, 4, 5, 3, 1, 0):"
  check "--help names status 4" contains "$out" "  4    found, and some finding left infected (ignored, no answer, or"
  run_scan --version
  check "--version" equals "$status:$out" "0:krelvon-scan 1.6.0 (Krelvon Ver 1.6)"
  ;;

clean)
  mkdir -p "$work/clean/sub"
  echo text >"$work/clean/a.txt"
  echo more >"$work/clean/sub/b.txt"
  run_scan "$(win "$work/clean")"
  check "nothing found: status 0" equals "$status" 0
  check "nothing found: statistics and completed" equals "$out" "$(statistics 2 0 0 0 0)
Scanning completed"
  # Two folders: one statistics block for the whole run.
  run_scan --quiet "$(win "$work/clean/sub")" "$(win "$work/clean")"
  check "two folders, one block" equals "$out" "$(statistics 3 0 0 0 0)
Scanning completed"
  ;;

disinfect)
  samples demo "$(win "$work/demo")" >/dev/null
  d=$(win "$work/demo")
  run_scan --quiet --report="$(win "$work/report.json")" "$d"
  check "found: status 1" equals "$status" 1
  for line in "$d${sep}worm.exe     W32/BugBear.B.Worm deleted" \
              "$d${sep}worm-helper.dll     W32/BugBear.B.Worm deleted" \
              "$d${sep}worm-helper-b.dll     W32/BugBear.B.Worm deleted" \
              "$d${sep}editor.exe     W32/BugBear.B.Worm Disinfected" \
              "$d${sep}games${sep}game.exe     W32/BugBear.B.Worm Disinfected" \
              "$d${sep}tools${sep}tool.exe     W32/BugBear.B.Worm Disinfected"; do
    check "finding line $line" contains "$out" "$line"
  done
  check "six finding lines" equals "$(grep -c '     W32/BugBear' <<<"$out")" 6
  check "statistics" contains "$out" "$(statistics 8 6 3 0 3)
Scanning completed"
  check "worm files gone" test ! -e "$work/demo/worm.exe" -a ! -e "$work/demo/worm-helper.dll"
  check "hosts kept" test -f "$work/demo/editor.exe" -a -f "$work/demo/games/game.exe"
  # The report: one object per finding line, then the statistics.
  report=$(tr -d '\r' <"$work/report.json")
  check "report: seven lines" equals "$(wc -l <<<"$report")" 7
  json_path=$(sed 's/\\/\\\\/g' <<<"$d${sep}editor.exe")
  check "report: a disinfected host" contains "$report" \
    "{\"type\":\"finding\",\"path\":\"$json_path\",\"detection\":\"W32/BugBear.B.Worm\",\"kind\":\"infected_file\",\"action\":\"disinfect\",\"outcome\":\"Disinfected\",\"ok\":true,\"line\":\"$json_path     W32/BugBear.B.Worm Disinfected\"}"
  check "report: deleted worm files" equals "$(grep -c '"kind":"worm_file","action":"delete","outcome":"deleted","ok":true' <<<"$report")" 3
  check "report: statistics last" equals "$(tail -n 1 <<<"$report")" \
    '{"type":"statistics","scanned":8,"infected":6,"disinfected":3,"renamed":0,"deleted":3,"status":"completed"}'
  if command -v python3 >/dev/null; then
    check "report: every line is JSON" python3 -c 'import json, sys
for line in open(sys.argv[1], encoding="utf-8"): json.loads(line)' "$work/report.json"
  fi
  # Cleaned: a second scan finds nothing.
  run_scan --quiet "$d"
  check "second scan: status 0" equals "$status" 0
  check "second scan: nothing left" equals "$out" "$(statistics 5 0 0 0 0)
Scanning completed"
  ;;

prompt)
  make_sample_folders
  w=$(win "$work/only-worm-exe") e=$(win "$work/only-editor-exe") g=$(win "$work/only-game-exe")
  t=$(win "$work/only-tool-exe")
  # One answer per finding: Delete, Disinfect, Rename, Ignore.
  run_scan --prompt "$w" "$e" "$g" "$t" <<<$'e\nd\nr\ni'
  check "answers: one ignored, status 4" equals "$status" 4
  check "answers: one question each" equals "$(grep -o 'Object :' <<<"$err" | wc -l)" 4
  check "answers: the question" contains "$err" "Object :      $e${sep}editor.exe
Virus Name :  W32/BugBear.B.Worm
[d] Disinfect, [e] Delete, [r] Rename, [i] Ignore, [a] apply to all (off), Enter: no choice? "
  check "answers: the lines" equals "$(grep '     W32' <<<"$out")" \
"$w${sep}worm.exe     W32/BugBear.B.Worm deleted
$e${sep}editor.exe     W32/BugBear.B.Worm Disinfected
$g${sep}game.exe     W32/BugBear.B.Worm renamed
$t${sep}tool.exe     W32/BugBear.B.Worm not disinfected as per user's selection"
  check "answers: statistics" contains "$out" "$(statistics 4 4 1 1 1)"
  check "answers: renamed file" test -f "$work/only-game-exe/game.Vxe"
  check "answers: ignored file untouched" cmp -s "$work/only-tool-exe/tool.exe" "$work/demo/tools/tool.exe"

  # "a" ticks apply to all; the next answer holds for the rest of the scan.
  make_sample_folders
  run_scan --prompt "$e" "$g" "$t" <<<$'a\nI'
  check "apply to all: asked once" equals "$(grep -o 'Object :' <<<"$err" | wc -l)" 1
  check "apply to all: the box shown ticked" contains "$err" "[a] apply to all (on), Enter: no choice? "
  check "apply to all: every finding ignored" equals "$(grep -c "not disinfected as per user's selection" <<<"$out")" 3

  # Enter gives no choice: that file is left alone, whatever the previous
  # answer was (the report tells it from a chosen Ignore). An unknown answer
  # asks again.
  make_sample_folders
  run_scan --prompt --report="$(win "$work/enter.json")" "$e" "$g" "$t" <<<$'d\n\nx\nI'
  check "enter: four questions for three findings" equals "$(grep -o 'Enter: no choice? ' <<<"$err" | wc -l)" 4
  check "enter: lines" equals "$(grep '     W32' <<<"$out")" \
"$e${sep}editor.exe     W32/BugBear.B.Worm Disinfected
$g${sep}game.exe     W32/BugBear.B.Worm not disinfected as per user's selection
$t${sep}tool.exe     W32/BugBear.B.Worm not disinfected as per user's selection"
  check "enter: the file without an answer untouched" cmp -s "$work/only-game-exe/game.exe" "$work/demo/games/game.exe"
  check "enter: statistics" contains "$out" "$(statistics 3 3 1 0 0)
Scanning completed"
  report=$(tr -d '\r' <"$work/enter.json")
  check "enter: no answer in the report" contains "$(sed -n 2p <<<"$report")" '"action":"none","outcome":"not disinfected as per user'"'"'s selection"'
  check "enter: ignore in the report" contains "$(sed -n 3p <<<"$report")" '"action":"ignore","outcome":"not disinfected as per user'"'"'s selection"'

  # One answer, then end of input: the first file is deleted, the second
  # gets its line and is left alone, and the scan ends there.
  make_sample_folders
  run_scan --prompt "$w" "$e" "$g" "$t" <<<'e'
  check "one answer: one left without an answer, status 4" equals "$status" 4
  check "one answer: two questions" equals "$(grep -o 'Object :' <<<"$err" | wc -l)" 2
  check "one answer: lines" equals "$(grep '     W32' <<<"$out")" \
"$w${sep}worm.exe     W32/BugBear.B.Worm deleted
$e${sep}editor.exe     W32/BugBear.B.Worm not disinfected as per user's selection"
  check "one answer: terminated" equals "$(tail -n 7 <<<"$out")" "$(statistics 2 2 0 0 1 | tail -n 6)
Scanning terminated"
  for f in editor.exe games/game.exe tools/tool.exe; do
    check "one answer: $f untouched" cmp -s "$work/only-$(basename "$f" | tr . -)/$(basename "$f")" "$work/demo/$f"
  done

  # No answer at all: one finding, one line, nothing done, scan ended.
  make_sample_folders
  run_scan --prompt "$(win "$work/demo")" </dev/null
  check "end of input: left infected, status 4" equals "$status" 4
  check "end of input: one finding line" equals "$(grep -c '     W32' <<<"$out" || true)" 1
  check "end of input: it says not acted on" contains "$out" " not disinfected as per user's selection"
  check "end of input: one finding counted" contains "$out" "Total files infected${tab}${tab}:  1"
  check "end of input: terminated" equals "$(tail -n 1 <<<"$out")" "Scanning terminated"
  check "end of input: nothing deleted" test -f "$work/demo/worm.exe" -a -f "$work/demo/worm-helper.dll" -a -f "$work/demo/worm-helper-b.dll"
  check "end of input: hosts untouched" cmp -s "$work/demo/editor.exe" "$work/only-editor-exe/editor.exe"
  ;;

rename)
  # The 'V' goes into the file name, never into a folder's: a name without
  # a dot gets ".V"; a rename never replaces a file and never moves nothing.
  mkdir -p "$work/site.d" "$work/site.V" "$work/taken"
  samples demo "$(win "$work/demo")" >/dev/null
  cp "$work/demo/worm.exe" "$work/site.d/payload"
  cp "$work/demo/worm-helper.dll" "$work/site.d/helper.dll"
  cp "$work/demo/worm.exe" "$work/taken/w.exe"
  echo occupied >"$work/taken/w.Vxe"
  s=$(win "$work/site.d") tk=$(win "$work/taken")
  run_scan --action=rename --report="$(win "$work/r1.json")" "$s" "$tk"
  check "rename: one rename failed, status 4" equals "$status" 4
  check "rename: lines" equals "$(grep '     W32' <<<"$out" | sort)" "$(sort <<EOT
$s${sep}payload     W32/BugBear.B.Worm renamed
$s${sep}helper.dll     W32/BugBear.B.Worm renamed
$tk${sep}w.exe     W32/BugBear.B.Worm Rename failed
EOT
)"
  check "rename: statistics" contains "$out" "$(statistics 4 3 0 2 0)"
  check "rename: in its own folder" test -f "$work/site.d/payload.V" -a -f "$work/site.d/helper.Vll"
  check "rename: nothing left the folder" equals "$(ls -A "$work/site.V")" ""
  check "rename: an existing name is kept" equals "$(cat "$work/taken/w.Vxe")" occupied
  check "rename: the file with it stays" cmp -s "$work/taken/w.exe" "$work/demo/worm.exe"
  report=$(tr -d '\r' <"$work/r1.json")
  json_s=$(sed 's/\\/\\\\/g' <<<"$s")
  check "rename: the new path in the report" contains "$report" \
    "\"path\":\"$json_s${sep//\\/\\\\}payload\",\"detection\":\"W32/BugBear.B.Worm\",\"kind\":\"worm_file\",\"action\":\"rename\",\"outcome\":\"renamed\",\"ok\":true,\"new_path\":\"$json_s${sep//\\/\\\\}payload.V\""
  check "rename: a failed rename in the report" contains "$report" '"action":"rename","outcome":"Rename failed","ok":false,"line"'
  # Once more: names already renamed are where a rename puts them: the
  # rename line again, nothing moved, nothing counted, nothing left to do.
  run_scan --action=rename --report="$(win "$work/r2.json")" "$s"
  check "again: nothing left to do, status 0" equals "$status" 0
  check "again: lines" equals "$(grep '     W32' <<<"$out" | sort)" "$(sort <<EOT
$s${sep}payload.V     W32/BugBear.B.Worm renamed
$s${sep}helper.Vll     W32/BugBear.B.Worm renamed
EOT
)"
  check "again: renamed earlier in the report" equals "$(tr -d '\r' <"$work/r2.json" | grep -c '"outcome":"renamed","ok":true,"renamed_earlier":true,"line"')" 2
  check "again: nothing renamed" contains "$out" "$(statistics 2 2 0 0 0)"
  check "again: the files stay" equals "$(cd "$work/site.d" && ls | sort | tr '\n' ' ')" "helper.Vll payload.V "
  ;;

report-place)
  # The report never destroys a scanned file, never lands in a scanned
  # folder, and overwrites only an earlier report: each refusal comes
  # before anything is scanned.
  samples demo "$(win "$work/demo")" >/dev/null
  mkdir -p "$work/out"
  cp "$work/demo/worm.exe" "$work/worm.copy"
  d=$(win "$work/demo")
  refused() {  # refused WHAT REPORT MESSAGE
    run_scan --action=ignore --report="$(win "$2")" "$d"
    check "$1: status 2" equals "$status" 2
    check "$1: message" contains "$err" "krelvon-scan: $3"
    check "$1: nothing scanned" equals "$out" ""
  }
  refused "a scanned file" "$work/demo/worm.exe" "the report is inside a scanned folder: "
  check "a scanned file: untouched" cmp -s "$work/demo/worm.exe" "$work/worm.copy"
  refused "a new file in a scanned folder" "$work/demo/games/new.json" "the report is inside a scanned folder: "
  check "a new file in a scanned folder: not made" test ! -e "$work/demo/games/new.json"
  refused "named from beside" "$work/out/../demo/r.json" "the report is inside a scanned folder: "
  cp "$work/demo/worm.exe" "$work/out/program.exe"
  refused "a program outside" "$work/out/program.exe" "the report would overwrite a file that is no report of krelvon-scan: "
  check "a program outside: untouched" cmp -s "$work/out/program.exe" "$work/worm.copy"
  if [ "$windows" = 0 ]; then
    ln -s "$work/demo/games" "$work/out/games-link"
    refused "through a link" "$work/out/games-link/r.json" "the report is inside a scanned folder: "
    ln -s "$work/out/program.exe" "$work/out/link.json"
    refused "a link" "$work/out/link.json" "the report is a link: "
  fi
  # A new file, then the same file again: an earlier report is replaced.
  for run in first second; do
    run_scan --action=ignore --report="$(win "$work/out/r.json")" "$d"
    check "$run report: ignored, status 4" equals "$status" 4
    check "$run report: written" equals "$(tr -d '\r' <"$work/out/r.json" | tail -n 1)" \
      '{"type":"statistics","scanned":8,"infected":6,"disinfected":0,"renamed":0,"deleted":0,"status":"completed"}'
    check "$run report: one object a finding" equals "$(wc -l <"$work/out/r.json")" 7
  done
  ;;

skipped)
  # Entries that cannot be examined are named on standard error and in the
  # report, and a run that found nothing else ends with status 3.
  samples demo "$(win "$work/demo")" >/dev/null
  # A path too long for the path buffers when the folder is named by its
  # absolute path, short enough when named from the folder above it.
  deep="long/$(printf 'a%.0s' $(seq 1 50))/$(printf 'b%.0s' $(seq 1 50))/$(printf 'c%.0s' $(seq 1 50))/$(printf 'd%.0s' $(seq 1 50))/$(printf 'e%.0s' $(seq 1 28))"
  mkdir -p "$work/$deep"
  cp "$work/demo/worm-helper.dll" "$work/$deep/"
  long_folder=$(win "$work/$deep")
  [ "${#long_folder}" -gt 255 ] || { echo "the long folder is only ${#long_folder} characters" >&2; exit 2; }
  run_scan --action=ignore --report="$(win "$work/long.json")" "$(win "$work/long")"
  check "long path: status 3" equals "$status" 3
  check "long path: named on standard error" equals "$err" "$(skip_line "$long_folder" "path too long")"
  check "long path: nothing scanned" equals "$out" "$(statistics 0 0 0 0 0)
Scanning completed"
  check "long path: in the report" equals "$(tr -d '\r' <"$work/long.json" | head -n 1)" "$(skip_json "$long_folder" "path too long")"
  status=0
  (cd "$work" && scan --action=ignore long) >"$work/.out" 2>"$work/.err" || status=$?
  check "long path by a shorter name: ignored, status 4" equals "$status" 4
  check "long path by a shorter name: the finding" grep -qF "worm-helper.dll     W32/BugBear" "$work/.out"

  if [ "$windows" = 0 ]; then
    # Permission, as an ordinary user: a worm file of mode 000 and a folder
    # that may not be listed, next to a readable file.
    s="$work/perm"
    mkdir -p "$s/locked" "$work/out" "$work/bin"
    cp "$work/demo/worm.exe" "$s/locked/worm.exe"
    cp "$work/demo/worm.exe" "$s/unreadable.exe"
    echo text >"$s/readable.txt"
    cp "$scan_bin" "$work/bin/krelvon-scan"
    chmod 000 "$s/unreadable.exe" "$s/locked"
    chmod 755 "$work" "$s" "$work/bin" "$work/bin/krelvon-scan"
    chmod 777 "$work/out"
    status=0
    as_unprivileged "$work/bin/krelvon-scan" --action=ignore --report="$work/out/perm.json" "$s" \
      >"$work/.out" 2>"$work/.err" || status=$?
    out=$(cat "$work/.out")
    err=$(cat "$work/.err")
    check "permission: status 3" equals "$status" 3
    check "permission: both named" equals "$(sort <<<"$err")" "$(skip_line "$s/locked" "permission denied")
$(skip_line "$s/unreadable.exe" "permission denied")"
    check "permission: scanned the two files, found nothing" equals "$out" "$(statistics 2 0 0 0 0)
Scanning completed"
    check "permission: report" equals "$(grep -c '"type":"skipped"' "$work/out/perm.json")" 2
    check "permission: report names the file" grep -qF "$(skip_json "$s/unreadable.exe" "permission denied")" "$work/out/perm.json"
    chmod 755 "$s/locked"
    chmod 644 "$s/unreadable.exe"

    # FIFOs, sockets and devices: named, never opened. A writer waits on the
    # FIFO for a reader that must never come.
    f="$work/special"
    mkdir -p "$f"
    echo text >"$f/plain.txt"
    mkfifo "$f/p.exe"
    (exec 3>"$f/p.exe"; echo opened >"$work/writer-opened") &
    writer=$!
    expected="$(skip_line "$f/p.exe" "not a regular file")"
    specials=1
    if mknod "$f/d.exe" c 1 3 2>/dev/null; then
      expected+=$'\n'"$(skip_line "$f/d.exe" "not a regular file")"
      specials=$((specials + 1))
    fi
    if command -v python3 >/dev/null &&
      python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$f/s.exe"; then
      expected+=$'\n'"$(skip_line "$f/s.exe" "not a regular file")"
      specials=$((specials + 1))
    fi
    run_scan --action=ignore --report="$work/special.json" "$f"
    check "special files: status 3" equals "$status" 3
    check "special files: each named" equals "$(sort <<<"$err")" "$(sort <<<"$expected")"
    check "special files: counted as files" equals "$out" "$(statistics $((specials + 1)) 0 0 0 0)
Scanning completed"
    check "special files: in the report" equals "$(grep -c '"reason":"not a regular file"' "$work/special.json")" "$specials"
    writer_status=0
    kill "$writer" 2>/dev/null || true
    wait "$writer" || writer_status=$?
    check "special files: the FIFO's writer still waited (status $writer_status)" equals "$writer_status" 143
    check "special files: the FIFO was never opened" test ! -e "$work/writer-opened"
  fi
  ;;

rename-many)
  # A folder of 2,000 worm files renamed in one scan: each is met, renamed
  # and counted once; no renamed file is met again under its new name.
  samples demo "$(win "$work/demo")" >/dev/null
  mkdir -p "$work/many"
  for i in $(seq 1 2000); do cp "$work/demo/worm-helper.dll" "$work/many/w$i.dll"; done
  run_scan --quiet --action=rename "$(win "$work/many")"
  check "2,000 worms: status 1" equals "$status" 1
  check "2,000 worms: each renamed once" equals "$(grep -c '     W32/BugBear.B.Worm renamed$' <<<"$out")" 2000
  check "2,000 worms: no other finding line" equals "$(grep -c '     W32/BugBear' <<<"$out")" 2000
  check "2,000 worms: statistics" contains "$out" "$(statistics 2000 2000 0 2000 0)"
  check "2,000 worms: every file under its new name" equals "$(find "$work/many" -name '*.Vll' | wc -l)" 2000
  ;;

swap)
  # A folder swapped for a link while the scanner waits at a prompt: the
  # walk has listed the folder (and, in the second run, entered it). Nothing
  # the link leads to is examined or changed.
  samples demo "$(win "$work/demo")" >/dev/null
  mkdir -p "$work/scan/sub" "$work/elsewhere"
  cp "$work/demo/editor.exe" "$work/scan/a-host.exe"
  for h in h1 h2 h3; do
    cp "$work/demo/games/game.exe" "$work/scan/sub/$h.exe"
    cp "$work/demo/games/game.exe" "$work/elsewhere/$h.exe"
  done
  cp -r "$work/elsewhere" "$work/elsewhere.orig"
  cp -r "$work/scan/sub" "$work/sub.orig"
  # A link there from the start: passed over without a word. Counted as a
  # file entry where it is listed as one (POSIX); Wine lists it as a folder.
  ln -s "$work/elsewhere" "$work/scan/z-link"
  link_entries=1
  [ "$windows" = 1 ] && link_entries=0
  # prompt_swap FOLDER SWAPPED: scans FOLDER with --prompt; at the first
  # question, SWAPPED is moved aside and a link to elsewhere put in its
  # place, then Disinfect is given for all. Sets out, err, status.
  prompt_swap() {
    rm -f "$work/answers"
    mkfifo "$work/answers"
    scan --prompt "$(win "$1")" <"$work/answers" >"$work/.out" 2>"$work/.err" &
    local pid=$!
    exec 4>"$work/answers"
    if wait_for "$work/.err" "Object :" "$pid"; then
      mv "$2" "$2.old"
      ln -s "$work/elsewhere" "$2"
    fi
    printf 'a\nd\n' >&4
    exec 4>&-
    status=0
    wait "$pid" || status=$?
    out=$(tr -d '\r' <"$work/.out")
    err=$(tr -d '\r' <"$work/.err")
  }
  prompt_swap "$work/scan" "$work/scan/sub"
  check "swapped before entry: found, an entry not examined, status 3" equals "$status" 3
  check "swapped before entry: the link not entered, named" contains "$err" "$(skip_line "$(win "$work/scan/sub")" "a link, not followed")"
  check "swapped before entry: one finding" equals "$(grep '     W32' <<<"$out")" \
    "$(win "$work/scan/a-host.exe")     W32/BugBear.B.Worm Disinfected"
  check "swapped before entry: statistics" contains "$out" "$(statistics $((1 + link_entries)) 1 1 0 0)"
  check "swapped before entry: the link there from the start passed over" lacks "$err" "z-link"
  check "swapped before entry: what the link leads to untouched" diff -r "$work/elsewhere" "$work/elsewhere.orig"
  check "swapped before entry: the folder moved aside untouched" diff -r "$work/scan/sub.old" "$work/sub.orig"

  if [ "$windows" = 0 ]; then
    # Swapped once the walk is inside the folder: its files are read and
    # disinfected in the folder that was listed, now sub.old.
    rm -rf "$work/scan2"
    mkdir -p "$work/scan2"
    cp -r "$work/sub.orig" "$work/scan2/sub"
    prompt_swap "$work/scan2" "$work/scan2/sub"
    check "swapped inside: found, status 1" equals "$status" 1
    check "swapped inside: three disinfected" equals "$(grep -c '     W32/BugBear.B.Worm Disinfected$' <<<"$out")" 3
    check "swapped inside: nothing skipped" equals "$(grep -c 'skipped' <<<"$err" || true)" 0
    check "swapped inside: what the link leads to untouched" diff -r "$work/elsewhere" "$work/elsewhere.orig"
    for h in h1 h2 h3; do
      check "swapped inside: $h disinfected in the listed folder" \
        test -s "$work/scan2/sub.old/$h.exe" -a "$(stat -c %s "$work/scan2/sub.old/$h.exe")" -lt "$(stat -c %s "$work/sub.orig/$h.exe")"
    done
  fi
  ;;

interrupt)
  # Waits until the scan of process $1 is under way (past its start-up, a
  # few thousand reads into the walk): a fixed delay would be too short for a
  # busy machine and too long for an idle one.
  # Without the kernel's I/O counts, a fixed delay.
  wait_until_scanning() {
    local reads
    while kill -0 "$1" 2>/dev/null; do
      reads=$(awk '$1 == "syscr:" { print $2 }' "/proc/$1/io" 2>/dev/null || true)
      if [ -z "$reads" ]; then
        kill -0 "$1" 2>/dev/null && sleep 0.1
        return 0
      fi
      [ "$reads" -gt 2000 ] && return 0
      sleep 0.005
    done
  }
  total=40000
  make_big_folder
  "$scan_bin" --action=ignore --report="$work/report.json" "$work/big" >"$work/.out" 2>"$work/.err" &
  pid=$!
  wait_until_scanning "$pid"
  kill -INT "$pid"
  status=0
  wait "$pid" || status=$?
  out=$(cat "$work/.out")
  scanned=$(statistics_field scanned)
  check "interrupt: stopped in the middle (scanned $scanned of $total)" test "${scanned:-0}" -gt 0 -a "${scanned:-0}" -lt "$total"
  check "interrupt: status 130 (nothing found)" equals "$status" 130
  check "interrupt: statistics and terminated" equals "$out" "$(statistics "$scanned" 0 0 0 0)
Scanning terminated"
  check "interrupt: report" equals "$(cat "$work/report.json")" \
    "{\"type\":\"statistics\",\"scanned\":$scanned,\"infected\":0,\"disinfected\":0,\"renamed\":0,\"deleted\":0,\"status\":\"terminated\"}"
  check "interrupt: no message" equals "$(cat "$work/.err")" ""

  # Something found before the interrupt: status 1.
  samples demo "$work/big/d0/demo" >/dev/null
  "$scan_bin" --action=ignore --quiet "$work/big/d0/demo" "$work/big" >"$work/.out" 2>&1 &
  pid=$!
  wait_until_scanning "$pid"
  kill -INT "$pid"
  status=0
  wait "$pid" || status=$?
  check "interrupt after findings (ignored): status 4" equals "$status" 4
  check "interrupt after findings: terminated" equals "$(tail -n 1 "$work/.out")" "Scanning terminated"

  # Ctrl-C at the second prompt: the file shown is left alone, gets its
  # line, and the scan ends.
  make_sample_folders
  mkfifo "$work/answers"
  "$scan_bin" --prompt "$work/only-worm-exe" "$work/only-editor-exe" "$work/only-game-exe" \
    <"$work/answers" >"$work/.out" 2>"$work/.err" &
  pid=$!
  exec 7>"$work/answers"
  echo e >&7
  for _ in $(seq 1 500); do
    [ "$(grep -o 'Object :' "$work/.err" | wc -l)" -ge 2 ] && break
    sleep 0.01
  done
  kill -INT "$pid"
  status=0
  wait "$pid" || status=$?
  exec 7>&-
  out=$(cat "$work/.out")
  check "Ctrl-C at a prompt: one left without an answer, status 4" equals "$status" 4
  check "Ctrl-C at a prompt: lines" equals "$(grep '     W32' <<<"$out")" \
"$work/only-worm-exe/worm.exe     W32/BugBear.B.Worm deleted
$work/only-editor-exe/editor.exe     W32/BugBear.B.Worm not disinfected as per user's selection"
  check "Ctrl-C at a prompt: the file shown untouched" cmp -s "$work/only-editor-exe/editor.exe" "$work/demo/editor.exe"
  check "Ctrl-C at a prompt: terminated" equals "$(tail -n 1 <<<"$out")" "Scanning terminated"
  ;;

readonly-host)
  # Examining changes nothing: --action=ignore leaves every file's mode and
  # time stamps as they were, and a read-only host that the user cannot
  # change (here owned by root, scanned by nobody) is still examined and
  # reported.
  samples demo "$(win "$work/demo")" >/dev/null
  chmod a-w "$work/demo/editor.exe" "$work/demo/worm.exe"
  # nobody reaches the folder and the scanner, and owns nothing in it.
  chmod 0711 "$work"
  chmod -R a+rX "$work/demo"
  stamps() { (cd "$work/demo" && find . -type f -exec stat -c '%n %a %y %z' {} + | sort); }
  before=$(stamps)
  run_scan --action=ignore "$work/demo"
  check "ignore: status 4" equals "$status" 4
  check "ignore: six findings" equals "$(grep -c "not disinfected as per user's selection" <<<"$out")" 6
  check "ignore: modes and time stamps unchanged" equals "$(stamps)" "$before"
  if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null; then
    echo "readonly-host: not root, or no setpriv: the unprivileged user's scan is not run" >&2
  else
    mkdir -p "$work/bin"
    cp "$scan_bin" "$work/bin/krelvon-scan"
    chmod -R a+rX "$work/bin"
    as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$work/bin/krelvon-scan" "$@"; }
    status=0
    as_nobody --action=ignore "$work/demo" >"$work/.out" 2>"$work/.err" || status=$?
    out=$(cat "$work/.out")
    check "nobody, ignore: found, status 4" equals "$status" 4
    check "nobody, ignore: the read-only host reported" contains "$out" \
      "$work/demo/editor.exe     W32/BugBear.B.Worm not disinfected as per user's selection"
    check "nobody, ignore: every host reported" contains "$out" "Total files infected${tab}${tab}:  6"
    check "nobody, ignore: nothing changed" equals "$(stamps)" "$before"
    # Disinfect as nobody: the hosts cannot be changed, each says so.
    status=0
    as_nobody --quiet "$work/demo" >"$work/.out" 2>"$work/.err" || status=$?
    out=$(cat "$work/.out")
    check "nobody, disinfect: the host could not be disinfected" contains "$out" \
      "$work/demo/editor.exe     W32/BugBear.B.Worm Could not disinfect"
    check "nobody, disinfect: six lines for six findings" equals "$(grep -c '     W32/BugBear' <<<"$out")" 6
    check "nobody, disinfect: nothing changed" equals "$(stamps)" "$before"
  fi
  ;;

names)
  # File names cannot forge output: control characters are escaped on
  # standard output and in the status line, and the report keeps names
  # apart that differ only in bytes that are not UTF-8.
  export SHELL=/bin/sh
  samples demo "$work/demo" >/dev/null
  mkdir -p "$work/n/a     W32/BugBear.B.Worm deleted"
  cp "$work/demo/worm.exe" "$work/n/x"$'\n'"Scanning completed"$'\n'"y.exe"
  cp "$work/demo/worm.exe" "$work/n/"$'\e'"[2J"$'\e'"]0;title"$'\a'"red.exe"
  cp "$work/demo/worm.exe" "$work/n/caf"$'\xe9'".exe"
  cp "$work/demo/worm.exe" "$work/n/caf"$'\xc3\xa9'".exe"
  cp "$work/demo/worm.exe" "$work/n/a     W32/BugBear.B.Worm deleted/f.exe"
  run_scan --action=ignore --report="$work/names.json" "$work/n"
  check "names: ignored, status 4" equals "$status" 4
  check "names: one line per finding and the block" equals "$(wc -l <<<"$out")" "$((5 + 8))"
  check "names: one Scanning completed, the last line" equals "$(grep -n '^Scanning completed$' <<<"$out")" "13:Scanning completed"
  check "names: the new line escaped" contains "$out" "$work/n/x\nScanning completed\ny.exe     W32/BugBear.Worm not disinfected"
  check "names: the escape sequence escaped" contains "$out" "$work/n/\x1b[2J\x1b]0;title\x07red.exe     W32/BugBear.Worm"
  check "names: a byte that is no UTF-8" contains "$out" "$work/n/caf\xe9.exe     "
  check "names: no control byte on standard output" equals "$(tr -d '\n\t' <"$work/.out" | tr -d '[:print:]' | LC_ALL=C tr -d '\200-\377' | wc -c)" 0
  if command -v python3 >/dev/null; then
    check "names: the report holds each name as it is" python3 - "$work/names.json" "$work/n" <<'EOT'
import json, os, sys
report, folder = sys.argv[1], os.fsencode(sys.argv[2])
names = set()
for dirpath, _, files in os.walk(folder):
    names.update(os.path.join(dirpath, f) for f in files)
paths = set()
for line in open(report, encoding="utf-8"):
    obj = json.loads(line)
    if obj["type"] == "finding":
        paths.add(obj["path"].encode("utf-8", "surrogateescape"))
        assert obj["detection"] == "W32/BugBear.Worm", obj
        assert obj["kind"] == "worm_file" and obj["action"] == "ignore", obj
assert paths == names, (sorted(paths), sorted(names))
EOT
  fi
  # The prompt shows the object escaped as well: its two lines stay two.
  mkdir -p "$work/p"
  cp "$work/demo/worm.exe" "$work/p/x"$'\n'$'\e'"[2Jy.exe"
  run_scan --prompt "$work/p" </dev/null
  check "names: the prompt's object escaped" equals "$(head -n 2 <<<"$err")" "Object :      $work/p/x\n\x1b[2Jy.exe
Virus Name :  W32/BugBear.Worm"
  # The status line on a terminal: no control character of a name reaches it.
  script -qec "'$scan_bin' --action=ignore '$work/n'" /dev/null >"$work/tty" </dev/null || true
  check "names: the status line escaped" grep -aqF '\x1b[2J' "$work/tty"
  check "names: no escape byte on the terminal" equals "$(grep -ac $'\e' "$work/tty" || true)" 0
  ;;

console-interrupt)
  # Windows: Ctrl-C pressed in the scanner's console once it has printed its
  # first finding line. The console control handler sets the cancel flag,
  # so the scan stops at the next check, long before the end of the large
  # folder after the samples, and still ends with its statistics.
  [ -n "$interrupt_bin" ] || { echo "console-interrupt: no helper given" >&2; exit 2; }
  total=40000
  make_big_folder
  samples demo "$(win "$work/demo")" >/dev/null
  # The helper starts the scanner by a Windows path.
  cp "$scan_bin" "$work/krelvon-scan.exe"
  status=0
  wine_run "$interrupt_bin" "$(win "$work/.out")" "$(win "$work/.err")" "$(win "$work/krelvon-scan.exe")" \
    --action=ignore --report="$(win "$work/report.json")" "$(win "$work/demo")" "$(win "$work/big")" || status=$?
  out=$(tr -d '\r' <"$work/.out")
  scanned=$(statistics_field scanned)
  infected=$(statistics_field infected)
  lines=$(grep -c "not disinfected as per user's selection" <<<"$out" || true)
  check "console Ctrl-C: status 4 (found and ignored before it)" equals "$status" 4
  check "console Ctrl-C: stopped before the end (scanned $scanned of more than $total)" \
    test "${scanned:-0}" -gt 0 -a "${scanned:-0}" -lt "$total"
  check "console Ctrl-C: a finding line for each infected file" equals "$lines" "${infected:-x}"
  check "console Ctrl-C: statistics and terminated" equals "$(tail -n 7 <<<"$out")" \
    "$(statistics "${scanned:-0}" "${infected:-0}" 0 0 0 | tail -n 6)
Scanning terminated"
  check "console Ctrl-C: report" equals "$(tr -d '\r' <"$work/report.json" | tail -n 1)" \
    "{\"type\":\"statistics\",\"scanned\":${scanned:-0},\"infected\":${infected:-0},\"disinfected\":0,\"renamed\":0,\"deleted\":0,\"status\":\"terminated\"}"
  check "console Ctrl-C: no message" equals "$(tr -d '\r' <"$work/.err")" ""
  ;;

status-line)
  # script(1) runs its command with $SHELL: the same plain POSIX sh for
  # every run, whatever the caller's login shell is.
  export SHELL=/bin/sh
  make_sample_folders
  mkdir -p "$work/tree/a/b"
  for i in $(seq 1 50); do echo "$i" >"$work/tree/a/b/file-$i.txt"; done
  # On a terminal (a pseudo-terminal from script(1)): the status line on
  # standard error, one line rewritten in place: a carriage return, the
  # object padded to 78 characters, a carriage return; cleared at the end.
  script -qec "'$scan_bin' --action=ignore '$work/tree'" /dev/null >"$work/tty" </dev/null || true
  status_lines=$(grep -aoP '\r[^\r\n]{78}\r' "$work/tty" | tr -d '\r' | sed 's/ *$//' || true)
  check "terminal: a status line" test -n "$status_lines"
  check "terminal: it shows the object being scanned" contains "$status_lines" "$work/tree/"
  check "terminal: cleared before the statistics" grep -aqP '\r {79}\rScanning statistics' "$work/tty"
  # A long path is shortened to the line.
  long="$work/tree/$(printf 'x%.0s' $(seq 1 100))"
  mkdir -p "$long"
  echo x >"$long/deep.txt"
  script -qec "'$scan_bin' --action=ignore '$long'" /dev/null >"$work/tty" </dev/null || true
  shown=$(grep -aoP '\r[^\r\n]{78}\r' "$work/tty" | tr -d '\r' | sed 's/ *$//' | head -n 1 || true)
  check "terminal: a long object shortened to 60 characters" equals "${#shown}" 60
  check "terminal: the middle left out" contains "$shown" "..xxxxxxxxxx"
  # --quiet on a terminal, and a scan whose standard error is a file: none.
  script -qec "'$scan_bin' --quiet --action=ignore '$work/tree'" /dev/null >"$work/tty" </dev/null || true
  check "--quiet: no status line" test "$(grep -acP '\r[^\r\n]{78}\r' "$work/tty" || true)" = 0
  check "--quiet: the statistics still" grep -aq "Total files scanned" "$work/tty"
  run_scan --action=ignore "$(win "$work/tree")"
  check "not a terminal: standard error empty" equals "$err" ""
  # A prompt on a terminal clears the status line first.
  script -qec "printf 'i\\n' | '$scan_bin' --prompt '$work/only-editor-exe'" /dev/null >"$work/tty" </dev/null || true
  check "prompt on a terminal" grep -aq "not disinfected as per user's selection" "$work/tty"
  ;;

exit-codes)
  # One scan per code a deployment tool tells apart (130: the interrupt
  # case; 5 needs a restart, which no scan here can schedule).
  samples demo "$(win "$work/demo")" >/dev/null
  mkdir -p "$work/clean"
  echo text >"$work/clean/a.txt"
  run_scan --quiet "$(win "$work/clean")"
  check "0: nothing found" equals "$status" 0
  run_scan --quiet --action=bogus "$(win "$work/clean")"
  check "2: usage" equals "$status" 2
  cp -r "$work/demo" "$work/ignored"
  run_scan --quiet --action=ignore "$(win "$work/ignored")"
  check "4: found and ignored" equals "$status" 4
  check "4: the files untouched" diff -r "$work/ignored" "$work/demo"
  # A listed path that is gone: not everything examined, nothing found.
  printf '%s\n' "$(win "$work/clean/a.txt")" "$(win "$work/clean/gone.exe")" >"$work/list"
  run_scan --quiet --file-list="$(win "$work/list")"
  check "3: not everything examined" equals "$status" 3
  check "3: the gone path named" contains "$err" "$(skip_line "$(win "$work/clean/gone.exe")" "gone since it was listed")"
  # Found, all dealt with, and one entry not examined: 3 wins over 1.
  cp -r "$work/demo" "$work/mixed"
  printf '%s\n' "$(win "$work/mixed")" "$(win "$work/clean/gone.exe")" >"$work/list"
  run_scan --quiet --file-list="$(win "$work/list")"
  check "3: found and cleaned but one path gone" equals "$status" 3
  check "3: the folder cleaned" contains "$out" "$(statistics 8 6 3 0 3)"
  cp -r "$work/demo" "$work/cleaned"
  run_scan --quiet "$(win "$work/cleaned")"
  check "1: found, every finding dealt with" equals "$status" 1
  # A failed action leaves a file infected: 4, even with another cleaned.
  cp -r "$work/demo" "$work/taken"
  echo occupied >"$work/taken/worm.Vxe"
  run_scan --quiet --action=rename "$(win "$work/taken")"
  check "4: a rename failed" equals "$status:$(grep -c 'Rename failed' <<<"$out")" 4:1
  ;;

inputs)
  samples demo "$(win "$work/demo")" >/dev/null
  d=$(win "$work/demo")
  # A file as PATH: examined alone, with the line a folder scan gives it.
  cp -r "$work/demo" "$work/one"
  run_scan --quiet --action=ignore "$(win "$work/one/tools/tool.exe")" "$(win "$work/one/readme.txt")"
  check "file argument: found, ignored" equals "$status" 4
  check "file argument: its line" equals "$(grep '     W32' <<<"$out")" \
    "$(win "$work/one/tools/tool.exe")     W32/BugBear.B.Worm not disinfected as per user's selection"
  check "file argument: two files scanned" contains "$out" "$(statistics 2 1 0 0 0)"
  run_scan --quiet "$(win "$work/one/worm.exe")"
  check "file argument: the worm file deleted" equals "$status:$(test -e "$work/one/worm.exe" && echo kept)" 1:
  # A list, NUL-separated (as find -print0 writes it), its names holding
  # line feeds where the system allows them; a folder in it is walked.
  mkdir -p "$work/listed/sub"
  if [ "$windows" = 0 ]; then odd=$'odd\nname.exe'; else odd='odd name.exe'; fi
  cp "$work/demo/worm.exe" "$work/listed/$odd"
  cp "$work/demo/editor.exe" "$work/listed/sub/editor.exe"
  cp "$work/demo/calc.exe" "$work/listed/calc.exe"
  printf '%s\0' "$(win "$work/listed/$odd")" "$(win "$work/listed/calc.exe")" "$(win "$work/listed/sub")" \
    >"$work/names0.list"
  run_scan --quiet --null --file-list="$(win "$work/names0.list")"
  check "NUL list: all dealt with" equals "$status" 1
  check "NUL list: three scanned, two found" contains "$out" "$(statistics 3 2 1 0 1)"
  check "NUL list: the name with its line feed deleted" test ! -e "$work/listed/$odd"
  check "NUL list: the host in the folder disinfected" contains "$out" \
    "$(win "$work/listed/sub")${sep}editor.exe     W32/BugBear.B.Worm Disinfected"
  check "NUL list: the clean file kept" cmp -s "$work/listed/calc.exe" "$work/demo/calc.exe"
  # The same list by standard input, one path a line.
  cp "$work/demo/worm.exe" "$work/listed/again.exe"
  run_scan --quiet --action=ignore --file-list=- <<<"$(win "$work/listed/again.exe")"
  check "list on standard input" equals "$status:$(grep -c '     W32' <<<"$out")" 4:1
  if [ "$windows" = 0 ]; then
    # A listed link is not followed (an action would change the link), and
    # what it names is left alone.
    ln -s "$work/demo/worm.exe" "$work/listed/link.exe"
    run_scan --quiet --file-list=- <<<"$work/listed/link.exe"
    check "listed link: not followed" equals "$status" 3
    check "listed link: named" contains "$err" "$(skip_line "$work/listed/link.exe" "a link, not followed")"
    check "listed link: its target untouched" test -f "$work/demo/worm.exe"
  fi
  # Excludes: files by name, folders by name and by path; each counted.
  cp -r "$work/demo" "$work/ex"
  mkdir -p "$work/ex/games/deep"
  cp "$work/demo/worm.exe" "$work/ex/games/deep/w.exe"
  run_scan --quiet --action=ignore --report="$(win "$work/ex.json")" --exclude='*.dll' --exclude='*.txt' \
    --exclude-dir=tools --exclude-dir="*${sep}games${sep}deep" "$(win "$work/ex")"
  check "excludes: found, ignored" equals "$status" 4
  check "excludes: what is left is scanned" equals "$(grep '     W32' <<<"$out" | sed 's/     .*//' | sort)" \
    "$(printf '%s\n' "$(win "$work/ex/editor.exe")" "$(win "$work/ex/games/game.exe")" "$(win "$work/ex/worm.exe")" | sort)"
  check "excludes: statistics without the excluded" contains "$out" "$(statistics 4 3 0 0 0)"
  check "excludes: the text block has no new line" lacks "$out" "xclude"
  check "excludes: five entries left out, counted in the report" contains "$(tr -d '\r' <"$work/ex.json")" \
    '"deleted":0,"excluded":5,"status":"completed"}'
  # A file or folder named is left out by the patterns too.
  run_scan --quiet --exclude='*.exe' --exclude-dir=games --report="$(win "$work/ex2.json")" \
    "$(win "$work/ex/worm.exe")" "$(win "$work/ex/games")"
  check "excluded arguments: nothing scanned" equals "$status:$(grep -c '"scanned":0,.*"excluded":2' "$work/ex2.json")" 0:1
  ;;

jsonl)
  samples demo "$(win "$work/demo")" >/dev/null
  mkfifo_or_gone() { if [ "$windows" = 0 ]; then mkfifo "$work/demo/pipe"; fi; }
  mkfifo_or_gone
  run_scan --format=jsonl --report="$(win "$work/r.json")" "$(win "$work/demo")"
  check "jsonl: status" equals "$status" "$([ "$windows" = 0 ] && echo 3 || echo 1)"
  check "jsonl: no text lines" lacks "$out" "Scanning"
  check "jsonl: the same objects as the report" equals "$out" "$(tr -d '\r' <"$work/r.json")"
  check "jsonl: parsed line by line" python3 -c '
import json, sys
objs = [json.loads(line) for line in sys.stdin]
assert [o["type"] for o in objs if o["type"] != "skipped"] == ["finding"] * 6 + ["statistics"], objs
assert sum(o.get("outcome") == "Disinfected" for o in objs) == 3, objs
assert sum(o.get("outcome") == "deleted" for o in objs) == 3, objs
stats = objs[-1]
assert (stats["scanned"], stats["infected"], stats["status"]) == (8 + int(sys.argv[1]), 6, "completed"), stats
assert "excluded" not in stats, stats
skipped = [o for o in objs if o["type"] == "skipped"]
assert len(skipped) == int(sys.argv[1]), skipped
' "$([ "$windows" = 0 ] && echo 1 || echo 0)" <<<"$out"
  check "jsonl: the skipped entry still named on standard error" \
    test "$windows" = 1 -o -n "$(grep 'skipped' <<<"$err")"
  ;;

converge)
  # A second run with the same action over the tree the first one cleaned
  # has nothing left to do; Ignore leaves everything, both times.
  for action in disinfect delete rename ignore; do
    rm -rf "$work/c"
    samples demo "$(win "$work/c")" >/dev/null
    run_scan --quiet --action="$action" "$(win "$work/c")"
    first=$status
    after=$(cd "$work/c" && find . -type f | sort | xargs md5sum)
    run_scan --quiet --action="$action" --report="$(win "$work/c2.json")" "$(win "$work/c")"
    case $action in
      ignore) check "$action: 4, then 4" equals "$first:$status" 4:4 ;;
      *) check "$action: 1, then nothing left to do (0)" equals "$first:$status" 1:0 ;;
    esac
    check "$action: the second run changed nothing" equals "$(cd "$work/c" && find . -type f | sort | xargs md5sum)" "$after"
    check "$action: no failed action" lacks "$out" "failed"
    case $action in
      disinfect|delete) check "$action: nothing found again" contains "$out" "$(statistics 5 0 0 0 0)" ;;
      rename)
        check "rename: the renamed files reported renamed" equals "$(grep -c 'W32/BugBear.B.Worm renamed$' <<<"$out")" 6
        check "rename: none counted again" contains "$out" "$(statistics 8 6 0 0 0)"
        check "rename: each marked in the report" equals "$(grep -c '"renamed_earlier":true' "$work/c2.json")" 6
        ;;
      ignore) check "ignore: all six left again" equals "$(grep -c "as per user's selection" <<<"$out")" 6 ;;
    esac
  done
  ;;

*)
  echo "unknown case $case_name" >&2
  exit 2
  ;;
esac

checks_done "$case_name"
