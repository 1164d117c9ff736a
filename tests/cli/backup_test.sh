#!/usr/bin/env bash
# krelvon-scan --backup and --restore as processes on real folders:
#   backup_test.sh CASE KRELVON_SCAN KRELVON_SAMPLES
#   round-trip  each action with --backup, then --restore: the folder as before
#               (names, bytes, modes, time stamps)
#   refusals    files changed since the scan, --force, PATH
#   usage       the backup folder checked before anything is scanned
#   kill        (POSIX, strace) the scanner killed at each system call that
#               writes, then --restore: the folder as before
#   hostile     (POSIX) a backup folder others may write to, refused by both;
#               (root) a backup file system that is full: said once, on
#               standard error and in the report, and nothing changed
# Windows programs (.exe) run under Wine, in a folder of the prefix's C: drive.
set -euo pipefail
case_name=$1
scan_bin=$2
samples_bin=$3
here="$(cd "$(dirname "$0")" && pwd)"

source "$here/checks.sh"

windows=0
if [[ "$scan_bin" == *.exe ]]; then
  windows=1
  wine_run() { "$here/../wine/run-in-wine.sh" "$@"; }
  wine_run "$scan_bin" --version >/dev/null
  build=$(cd "$(dirname "$scan_bin")" && pwd)
  while [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
  name="krelvon-backup-$case_name-$$"
  work="${KRELVON_WINEPREFIX:-$build/wineprefix${KRELVON_WINE_VERSION:+-$KRELVON_WINE_VERSION}}/drive_c/$name"
  scan() { wine_run "$scan_bin" "$@"; }
  win() { local p=${1#"$work"}; p=${p//\//\\}; printf 'C:\\%s%s' "$name" "$p"; }
  if [[ "$samples_bin" == *.exe ]]; then
    samples() { wine_run "$samples_bin" "$@"; }
  else
    # The i686 build's tests: the native sample factory, by Linux paths.
    samples() { local p=${2#"C:\\$name"}; "$samples_bin" "$1" "$work${p//\\//}" "${@:3}"; }
  fi
else
  # The real location: the restore names files by it.
  work=$(realpath "$(mktemp -d "${TMPDIR:-/tmp}/krelvon-backup.XXXXXX")")
  scan() { "$scan_bin" "$@"; }
  samples() { "$samples_bin" "$@"; }
  win() { printf '%s' "$1"; }
fi
mkdir -p "$work"
mounted=""
trap '[ -z "$mounted" ] || umount "$mounted"; chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT

run() {  # run [ARG]...: krelvon-scan; sets out, err, status
  status=0
  scan "$@" >"$work/.out" 2>"$work/.err" || status=$?
  out=$(tr -d '\r' <"$work/.out")
  err=$(tr -d '\r' <"$work/.err")
}

# The demonstration folder and copies of two of its hosts and of a clean
# program with other modes: eight findings. Every time stamp is set:
# modification times in the past (to the nanosecond; on Windows, whose
# file times count 100 ns, to that), access times ahead of the change
# times, so that reading a file does not move them (relatime). Windows
# keeps one mode bit, the read-only attribute.
make_folder() {  # make_folder DIR
  rm -rf "$1"
  samples demo "$(win "$1")" >/dev/null
  cp "$1/editor.exe" "$1/read-only.exe"
  cp "$1/tools/tool.exe" "$1/tools/private.exe"
  cp "$1/calc.exe" "$1/games/run.exe"
  chmod 444 "$1/read-only.exe"
  if [ "$windows" = 0 ]; then
    chmod 600 "$1/tools/private.exe"
    chmod 755 "$1/games/run.exe"
  fi
  local f n=0 fraction ahead
  ahead=$(date -d '+1 hour' '+%Y-%m-%d %H:%M:%S')
  while IFS= read -r f; do
    n=$((n + 1))
    fraction=$((123456789 + n))
    [ "$windows" = 1 ] && fraction=$((1234567 + n))00
    touch -m -d "2001-02-03 04:05:$((n % 60)).$fraction" "$f"
    touch -a -d "$ahead.$fraction" "$f"
  done < <(find "$1" -type f)
}

# Names, sizes, modes (Windows: whether the owner may write), time stamps
# and SHA-256 of the files of a folder, the names and modes of its folders
# (whose own time stamps change with every name added or removed).
snapshot() {  # snapshot DIR
  (cd "$1" && find . -mindepth 1 \( -type f -printf '%p %s %M %T@ %A@\n' \) -o -printf '%p %y %M\n' | sort) |
    awk -v windows="$windows" '{ $3 = windows ? substr($3, 3, 1) : $3 } 1'
  (cd "$1" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
}

# Each copy in the backup folder holds what its before line's SHA-256 says
# (sha256sum, not our own code), and every manifest line is JSON.
check_manifest() {  # check_manifest BACKUP
  local m="$1/manifest.jsonl"
  check "manifest: one line per entry and run" test -s "$m"
  command -v python3 >/dev/null || return 0
  check "manifest: JSON lines, copies as named" python3 - "$1" <<'EOF'
import hashlib, json, os, sys
folder = sys.argv[1]
lines = [json.loads(l) for l in open(os.path.join(folder, "manifest.jsonl"), encoding="utf-8")]
assert lines[0] == {"type": "krelvon-backup", "version": 1}, lines[0]
for l in lines:
    if l["type"] == "before":
        data = open(os.path.join(folder, l["copy"]), "rb").read()
        assert hashlib.sha256(data).hexdigest() == l["sha256"], l
        assert len(data) == l["size"], l
EOF
}

case "$case_name" in

round-trip)
  # Disinfect also deletes the worm files; rename and delete act on every
  # finding. The eight findings and the clean files around them.
  for action in disinfect rename delete; do
    d="$work/$action"
    make_folder "$d"
    before=$(snapshot "$d")
    run --quiet --action="$action" --backup="$(win "$work/B-$action")" "$(win "$d")"
    check "$action: found (status 1)" equals "$status" 1
    check "$action: eight findings" equals "$(grep -c '     W32/BugBear' <<<"$out")" 8
    check "$action: the folder changed" test "$(snapshot "$d")" != "$before"
    check_manifest "$work/B-$action"
    run --restore="$(win "$work/B-$action")"
    check "$action: restore status 0" equals "$status:$err" "0:"
    check "$action: all put back" contains "$out" "8 restored, 0 already in place, 0 refused, 0 failed"
    check "$action: the folder as before" equals "$(snapshot "$d")" "$before"
    run --restore="$(win "$work/B-$action")"
    check "$action: a second restore finds all in place" contains "$out" "0 restored, 8 already in place"
    check "$action: and changes nothing" equals "$(snapshot "$d")" "$before"
    [ "$action" = rename ] && before_rename=$before
  done
  # Scanned again with the same backup folder: a second run in it.
  run --quiet --action=rename --backup="$(win "$work/B-rename")" "$(win "$work/rename")"
  check "second run: status 1" equals "$status" 1
  check "second run: appended" equals "$(grep -c '"type":"run"' "$work/B-rename/manifest.jsonl")" 2
  check "second run: one header" equals "$(grep -c '"type":"krelvon-backup"' "$work/B-rename/manifest.jsonl")" 1
  run --restore="$(win "$work/B-rename")"
  check "second run: restored" contains "$out" "8 restored, 8 already in place, 0 refused, 0 failed"
  check "second run: the folder as before" equals "$(snapshot "$work/rename")" "$before_rename"
  ;;

refusals)
  d="$work/data"
  make_folder "$d"
  before=$(snapshot "$d")
  run --quiet --action=disinfect --backup="$(win "$work/B")" "$(win "$d")"
  check "scan: status 1" equals "$status" 1
  # Someone writes to a disinfected file and puts a file where a worm file was.
  echo mine >"$d/editor.exe"
  echo mine >"$d/worm.exe"
  run --restore="$(win "$work/B")"
  check "changed: status 4" equals "$status" 4
  for f in editor.exe worm.exe; do
    check "changed: $f refused" contains "$out" "refused: $(win "$d/$f"): changed since the scan (neither the original nor what the scan left); --force puts the original back anyway"
  done
  check "changed: the rest put back" contains "$out" "6 restored, 0 already in place, 2 refused, 0 failed"
  check "changed: the refused files kept" equals "$(cat "$d/editor.exe" "$d/worm.exe")" "mine
mine"
  # One of them forced back, named by its path; the other still refused.
  run --restore="$(win "$work/B")" --force "$(win "$d/worm.exe")"
  check "forced by path: status 0" equals "$status" 0
  check "forced by path: one restored" contains "$out" "1 restored, 0 already in place, 0 refused, 0 failed"
  run --restore="$(win "$work/B")"
  check "again: one refused" equals "$status" 4
  run --restore="$(win "$work/B")" --force
  check "forced: status 0" equals "$status" 0
  check "forced: the folder as before" equals "$(snapshot "$d")" "$before"
  ;;

usage)
  d="$work/data"
  make_folder "$d"
  before=$(snapshot "$d")
  refused() {  # refused DESCRIPTION MESSAGE ARG...: status 2, the message, nothing scanned
    local what=$1 message=$2
    shift 2
    run --quiet "$@"
    check "$what: status 2" equals "$status" 2
    check "$what: message" contains "$err" "$message"
    check "$what: nothing scanned" equals "$out" ""
    check "$what: nothing changed" equals "$(snapshot "$d")" "$before"
  }
  refused "inside the scanned folder" "the backup folder lies inside a scanned folder (it would be scanned)" \
    --backup="$(win "$d/games/B")" "$(win "$d")"
  check "inside: not created" test ! -e "$d/games/B"
  refused "the scanned folder itself" "the backup folder lies inside a scanned folder" \
    --backup="$(win "$d")" "$(win "$d")"
  refused "holding a scanned folder" "a scanned folder lies inside the backup folder" \
    --backup="$(win "$work")" "$(win "$d")"
  if [ "$windows" = 0 ]; then
    ln -s "$d/games" "$work/games-link"
    refused "through a link into it" "inside a scanned folder" --backup="$work/games-link/B" "$d"
  else
    # No PATH: every fixed drive, C: among them (ignore, should the check
    # ever let it through).
    refused "on a fixed drive, all scanned" "the backup folder is on a fixed drive, and every fixed drive is scanned" \
      --action=ignore --backup="$(win "$work/B")"
  fi
  mkdir -p "$work/notes" && echo mine >"$work/notes/todo.txt"
  refused "a folder of other files" "the folder holds files but no backup of krelvon-scan" \
    --backup="$(win "$work/notes")" "$(win "$d")"
  refused "no parent" "no folder to create the backup folder in" --backup="$(win "$work/no/B")" "$(win "$d")"
  run --force "$(win "$d")"
  check "--force alone" equals "$status:$err" "2:krelvon-scan: --force goes with --restore
Try 'krelvon-scan --help'."
  run --backup="$(win "$work/B")" --restore="$(win "$work/B")"
  check "--backup with --restore" equals "$status" 2
  run --restore="$(win "$work/notes")"
  check "restore from no backup: status 2" equals "$status" 2
  check "restore from no backup: message" contains "$err" "no backup of krelvon-scan in"
  run --quiet --action=ignore --backup="$(win "$work/B")" "$(win "$d")"
  check "nothing changed: no entry" equals "$(grep -c '"type":"before"' "$work/B/manifest.jsonl")" 0
  # A file of the backup folder named for the scan (its copies are the very
  # files a scan would clean): refused, named alone or listed.
  manifest_before=$(cat "$work/B/manifest.jsonl")
  refused "a named file inside it" "a scanned file lies inside the backup folder" \
    --backup="$(win "$work/B")" "$(win "$work/B/manifest.jsonl")"
  printf '%s\n' "$(win "$work/B/manifest.jsonl")" >"$work/inside.list"
  refused "a listed file inside it" "a scanned file lies inside the backup folder" \
    --backup="$(win "$work/B")" --file-list="$(win "$work/inside.list")"
  check "a file inside it: the manifest unchanged" equals "$(cat "$work/B/manifest.jsonl")" "$manifest_before"
  run --restore="$(win "$work/B")" "$(win "$d")"
  check "restore of a path without entries: status 2" equals "$status" 2
  check "restore of a path without entries: message" contains "$err" "no file of the backup lies at or under"
  run --help
  for option in "--backup=DIR" "--restore=DIR" "--force" "--restore: 0 every file"; do
    check "--help names $option" contains "$out" "$option"
  done
  ;;

kill)
  command -v strace >/dev/null || { echo "kill: strace is not installed (scripts/setup installs it): skipped"; exit 77; }
  # The system calls that change a file or a folder, and fsync.
  calls=openat,write,pwrite64,ftruncate,fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat,chmod,fchmod,fchmodat,utimensat,mkdir,mkdirat,fchown,close
  make_folder "$work/template"
  total=0
  for action in disinfect rename delete; do
    # One infected host and one worm file.
    src="$work/src-$action"
    rm -rf "$src" && mkdir -p "$src"
    cp -p "$work/template/editor.exe" "$work/template/worm.exe" "$work/template/readme.txt" "$src/"
    before=$(snapshot "$src")
    rm -rf "$work/d" "$work/B"
    cp -a "$src" "$work/d"
    strace -f -qq -o "$work/trace" -e trace="$calls" "$scan_bin" --quiet --action="$action" \
      --backup="$work/B" "$work/d" >/dev/null 2>&1 || true
    counts=$(awk -F'(' '{ split($1, w, " "); n[w[2]]++ } END { for (c in n) print c, n[c] }' "$work/trace" | sort)
    points=0
    bad=0
    while read -r call n; do
      for i in $(seq 1 "$n"); do
        points=$((points + 1))
        rm -rf "$work/d" "$work/B"
        cp -a "$src" "$work/d"
        # strace ends itself with its tracee's signal: the shell's "Killed"
        # goes to the subshell's standard error.
        (strace -f -qq -o /dev/null -e trace="$call" -e inject="$call":signal=KILL:when="$i" \
          "$scan_bin" --quiet --action="$action" --backup="$work/B" "$work/d" >/dev/null 2>&1 || true) 2>/dev/null
        status=0
        "$scan_bin" --restore="$work/B" >"$work/.out" 2>&1 || status=$?
        failed_before=$failures
        if [ ! -e "$work/B/manifest.jsonl" ]; then
          # Killed before the backup began: nothing may have changed.
          check "$action, $call #$i: no backup, nothing changed" equals "$status:$(snapshot "$work/d")" "2:$before"
        else
          check "$action, $call #$i: restore status 0 ($(tail -n 1 "$work/.out"))" equals "$status" 0
          check "$action, $call #$i: the folder as before" equals "$(snapshot "$work/d")" "$before"
        fi
        [ "$failures" = "$failed_before" ] || bad=$((bad + 1))
      done
    done <<<"$counts"
    echo "kill: $action: $points kill points ($(tr '\n' ',' <<<"$counts" | sed 's/,$//; s/,/, /g')):" \
      "$((points - bad)) restored to the original"
    total=$((total + points))
  done
  echo "kill: $total kill points in all"
  check "kill: enough kill points" test "$total" -gt 60
  ;;

hostile)
  [ "$windows" = 0 ] || { echo "hostile: POSIX modes and mounts: skipped"; exit 77; }
  d="$work/data"
  make_folder "$d"
  before=$(snapshot "$d")
  # A backup folder that another user may write to.
  mkdir -m 0777 "$work/shared"
  chmod 0777 "$work/shared"
  run --quiet --backup="$work/shared" "$d"
  check "shared: status 2" equals "$status" 2
  check "shared: message" contains "$err" "the backup folder $work/shared cannot be trusted: $work/shared can be written by others than its owner"
  check "shared: nothing scanned" equals "$out:$(snapshot "$d")" ":$before"
  run --quiet --backup="$work/B" "$d"
  check "backup: status 1" equals "$status" 1
  chmod 0770 "$work/B"
  run --restore="$work/B"
  check "restore from a shared folder: status 2" equals "$status" 2
  check "restore from a shared folder: message" contains "$err" "cannot be trusted: $work/B can be written by others"
  check "restore from a shared folder: nothing restored" equals "$out" ""
  chmod 0700 "$work/B"
  run --restore="$work/B"
  check "restore: status 0" equals "$status" 0
  check "restore: the folder as before" equals "$(snapshot "$d")" "$before"
  if [ "$(id -u)" != 0 ] || ! mkdir "$work/small" || ! mount -t tmpfs -o size=16k,mode=0700 krelvon-small "$work/small" 2>/dev/null; then
    echo "hostile: a full backup file system needs root and mount: skipped"
  else
    mounted="$work/small"
    run --quiet --backup="$work/small/B" --report="$work/report.jsonl" "$d"
    check "full: actions failed, status 4" equals "$status" 4
    check "full: said once" equals "$(grep -c 'krelvon-scan: the backup folder .* is full' <<<"$err")" 1
    check "full: message" contains "$err" "krelvon-scan: the backup folder $work/small/B is full: a file whose copy does not fit in it is left unchanged"
    check "full: in the report once" equals "$(grep -c '"type":"backup-full"' "$work/report.jsonl")" 1
    check "full: the report names the folder" contains "$(cat "$work/report.jsonl")" "{\"type\":\"backup-full\",\"folder\":\"$work/small/B\"}"
    check "full: the actions failed" contains "$out" "Could not disinfect"
    # The small files whose copies fit were changed, and come back.
    run --restore="$work/small/B"
    check "full: what was changed is restored" equals "$status:$(snapshot "$d")" "0:$before"
  fi
  ;;

*)
  echo "unknown case $case_name" >&2
  exit 2
  ;;
esac

checks_done "$case_name"
