#!/usr/bin/env bash
# Worm files in use, deleted or renamed at the next start of Windows, under
# Wine with a restart of the whole Windows session (wineboot --restart):
#   restart_test.sh CASE KRELVON_SCAN_EXE KRELVON_SAMPLES HOLD_OPEN_EXE
# CASE: nt (Wine reports Windows XP to krelvon-scan), 95-existing and
# 95-new (Windows 98, with a WININIT.INI holding other entries, and none),
# 95-refused (the new WININIT.INI cannot be written).
# Every case runs in a Wine prefix of its own, copied from a template kept
# in the build folder, so the restart touches no prefix another test uses;
# its server is ended when the case ends.
set -euo pipefail
case_name=$1
scan_bin=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
samples_bin=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
hold_bin=$(cd "$(dirname "$4")" && pwd)/$(basename "$4")
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/checks.sh"

build=$(dirname "$scan_bin")
while [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=${DISPLAY:-:93}

template=$build/wineprefix-restart-template
(
  flock 9
  if [ ! -f "$template/.krelvon-template" ]; then
    rm -rf "$template"
    mkdir -p "$template"
    WINEPREFIX=$template "$wine" wineboot -i >/dev/null 2>&1 9>&- || true
    WINEPREFIX=$template "$wineserver" -w
    rm -f "$template/dosdevices/z:"
    touch "$template/.krelvon-template"
  fi
) 9>"$template.lock"

tmp=$(mktemp -d "$build/restart-test.XXXXXX")
export WINEPREFIX=$tmp/prefix
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
# Hard links for the big unchanging files; the registry and the Windows
# folder's ini files are written, so they are copies of their own.
cp -al "$template" "$WINEPREFIX"
rm -f "$WINEPREFIX/.krelvon-template"
for f in "$WINEPREFIX"/*.reg; do cp --remove-destination "$template/$(basename "$f")" "$f"; done
find "$WINEPREFIX/drive_c/windows" -maxdepth 1 -type f -iname '*.ini' -exec sh -c 'cp --remove-destination "$1" "$1.c" && mv "$1.c" "$1"' _ {} \;

# The scanner by a Windows path on a drive of its own: an i686 program then
# starts on the 32-bit side of the prefix as well.
ln -sfn "$(dirname "$scan_bin")" "$WINEPREFIX/dosdevices/j:"
scan_exe="J:\\$(basename "$scan_bin")"

win_version=winxp64
case $case_name in 95-*) win_version=win98 ;; esac
"$wine" reg add 'HKCU\Software\Wine\AppDefaults\krelvon-scan.exe' /v Version /d $win_version /f >/dev/null 2>&1

c=$WINEPREFIX/drive_c
windows=$c/windows
# The samples, outside the scanned folders.
"$wine" "$samples_bin" demo 'C:\samples' >/dev/null
demo=$c/samples
# The scanned folder: two worm files held open, each by a process that
# shares reading only (no delete sharing), and files that stay.
mkdir -p "$c/Cleaned Folder/sub"
cp "$demo/worm-helper.dll" "$c/Cleaned Folder/"
cp "$demo/worm-helper-b.dll" "$c/Cleaned Folder/sub/"
cp "$demo/readme.txt" "$demo/calc.exe" "$c/Cleaned Folder/"
echo "stays" >"$c/Cleaned Folder/sub/notes.txt"

holders=()
hold() {  # hold WINDOWS-PATH: a process holds it open until the restart
  local ready="C:\\ready-$((${#holders[@]}))"
  "$wine" "$hold_bin" "$1" "$ready" &
  holders+=($!)
  local n=0
  while [ ! -f "$c/ready-$((${#holders[@]} - 1))" ] && [ $n -lt 300 ]; do sleep 0.1; n=$((n + 1)); done
  check "$1 is held open" test -f "$c/ready-$((${#holders[@]} - 1))"
}
hold 'C:\Cleaned Folder\worm-helper.dll'
hold 'C:\Cleaned Folder\sub\worm-helper-b.dll'

# Everything but the two worm files, byte for byte.
others() { (cd "$c/Cleaned Folder" && find . -type f ! -name 'worm-helper*' -print0 | sort -z | xargs -0 sha256sum); }
before=$(others)

scan() {  # scan ACTION [ARGS] FOLDER: $out, $err, $status
  status=0
  "$wine" "$scan_exe" --action="$1" "${@:2}" >"$tmp/out" 2>"$tmp/err" || status=$?
  out=$(tr -d '\r' <"$tmp/out")
  err=$(tr -d '\r' <"$tmp/err")
}

# The restart: every process of the session ends, then Wine starts again
# and carries out what is pending.
restart() {
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w
  wait "${holders[@]}" 2>/dev/null || true
  "$wine" wineboot --restart >/dev/null 2>&1
  "$wineserver" -w
}

# WININIT.INI in whatever letter case it was written.
wininit() { find "$windows" -maxdepth 1 -type f -iname wininit.ini; }
pending() { "$wine" reg query 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations 2>/dev/null | tr -d '\r' | grep REG_MULTI_SZ || true; }

case $case_name in
  nt)
    # Rename of a file held open: it moves at the restart.
    mkdir -p "$c/Renamed"
    cp "$demo/worm-helper.dll" "$c/Renamed/helper.dll"
    hold 'C:\Renamed\helper.dll'
    scan rename --quiet 'C:\Renamed'
    check "rename: exit status 5" equals "$status" 5
    check "rename line" contains "$out" 'C:\Renamed\helper.dll     W32/BugBear.B.Worm will be renamed at restart'
    check "not counted as renamed" contains "$out" $'Total files renamed\t\t:  0'
    scan delete --backup='C:\backup' --report='C:\report.json' --quiet 'C:\Cleaned Folder'
    check "exit status 5" equals "$status" 5
    check "delete line" contains "$out" 'C:\Cleaned Folder\worm-helper.dll     W32/BugBear.B.Worm will be deleted at restart'
    check "counted infected, not deleted" contains "$out" $'Total files deleted\t\t:  0'
    check "restart line after the statistics" equals "$(sed -n '/^Total files deleted/{n;p}' <<<"$out")" \
      "Restart the computer to finish the cleaning."
    report=$(tr -d '\r' <"$c/report.json")
    check "report outcome and restart field" contains "$report" \
      '"path":"C:\\Cleaned Folder\\worm-helper.dll","detection":"W32/BugBear.B.Worm","kind":"worm_file","action":"delete","outcome":"will be deleted at restart","ok":true,"restart":true'
    check "backup copy made" test "$(grep -rl 'worm-helper.dll' "$c/backup" | wc -l)" -ge 1
    # A second run schedules nothing more.
    scan delete --quiet 'C:\Cleaned Folder'
    check "second run: exit status 5" equals "$status" 5
    check "pending holds both, each once" equals "$(pending | grep -o 'worm-helper[^\\]*\.dll' | sort | tr '\n' ' ')" \
      "worm-helper-b.dll worm-helper.dll "
    check "one entry for the file in the folder" equals "$(pending | grep -o 'Folder\\worm-helper.dll' | wc -l)" 1
    restart
    check "deleted at restart" test ! -e "$c/Cleaned Folder/worm-helper.dll"
    check "deleted at restart (below)" test ! -e "$c/Cleaned Folder/sub/worm-helper-b.dll"
    check "renamed at restart" cmp "$c/Renamed/helper.Vll" "$demo/worm-helper.dll"
    check "renamed: the old name gone" test ! -e "$c/Renamed/helper.dll"
    check "nothing pending after the restart" equals "$(pending)" ""
    ;;
  95-existing | 95-new)
    if [ "$case_name" = 95-existing ]; then
      printf '[Settings]\r\nkeep=1\r\n[rename]\r\nNUL=C:\\OTHER.TMP\r\n\r\n[Later]\r\nx=y\r\n' >"$windows/wininit.ini"
      # What the last start left of another program's operation stays too.
      echo "gone at restart" >"$c/other.tmp"
    else
      rm -f "$windows/wininit.ini" "$windows/WININIT.INI"
    fi
    scan delete --quiet 'C:\Cleaned Folder'
    check "exit status 5" equals "$status" 5
    check "delete line" contains "$out" 'C:\Cleaned Folder\worm-helper.dll     W32/BugBear.B.Worm will be deleted at restart'
    check "delete line (below)" contains "$out" 'C:\Cleaned Folder\sub\worm-helper-b.dll     W32/BugBear.B.Worm will be deleted at restart'
    scan delete --quiet 'C:\Cleaned Folder'  # the same again: nothing added
    short=$("$wine" "$hold_bin" --short 'C:\Cleaned Folder\worm-helper.dll' 'C:\Cleaned Folder\sub\worm-helper-b.dll' \
      2>/dev/null | tr -d '\r' || true)
    ini=$(tr -d '\r' <"$(wininit)")
    if [ "$case_name" = 95-existing ]; then
      check "earlier lines kept, the new ones in the one [rename] section" equals "$ini" \
        "$(printf '[Settings]\nkeep=1\n[rename]\nNUL=C:\\OTHER.TMP\nNUL=%s\nNUL=%s\n\n[Later]\nx=y' \
          "$(sed -n 1p <<<"$short")" "$(sed -n 2p <<<"$short")")"
    else
      check "a new [rename] section" equals "$ini" \
        "$(printf '[rename]\nNUL=%s\nNUL=%s' "$(sed -n 1p <<<"$short")" "$(sed -n 2p <<<"$short")")"
    fi
    check "8.3 names" test "$(grep -c '^NUL=C:\\[^ ]*~' <<<"$ini")" -eq 2
    check "one [rename] section" equals "$(grep -ci '^\[rename\]' <<<"$ini")" 1
    restart
    check "deleted at restart" test ! -e "$c/Cleaned Folder/worm-helper.dll"
    check "deleted at restart (below)" test ! -e "$c/Cleaned Folder/sub/worm-helper-b.dll"
    [ "$case_name" = 95-existing ] && check "the other program's operation carried out" test ! -e "$c/other.tmp"
    check "WININIT.INI done" equals "$(wininit)" ""
    ;;
  95-refused)
    printf '[rename]\r\nNUL=C:\\OTHER.TMP\r\n' >"$windows/wininit.ini"
    cp "$windows/wininit.ini" "$tmp/wininit.before"
    # The new copy is written beside it first: a folder in its place makes
    # that fail.
    mkdir "$windows/WININIT.KRN"
    scan delete --quiet 'C:\Cleaned Folder'
    # Left infected, no restart pending.
    check "exit status 4" equals "$status" 4
    check "Delete failed" contains "$out" 'C:\Cleaned Folder\worm-helper.dll     W32/BugBear.B.Worm Delete failed'
    check "no restart line" lacks "$out" "Restart the computer"
    check "the reason on standard error" contains "$err" \
      'krelvon-scan: "C:\\Cleaned Folder\\worm-helper.dll" is in use and could not be scheduled for the next start of Windows: WININIT.INI could not be written'
    check "WININIT.INI as it was" cmp "$(wininit)" "$tmp/wininit.before"
    restart
    check "the file stays" test -e "$c/Cleaned Folder/worm-helper.dll"
    ;;
  *) echo "unknown case $case_name" >&2; exit 2 ;;
esac
check "every other file as it was" equals "$(others)" "$before"
if [ "$failures" -gt 0 ]; then
  printf 'last scan: status %s\n--- output\n%s\n--- standard error\n%s\n--- WININIT.INI\n' "$status" "$out" "$err" >&2
  cat "$(wininit)" >&2 2>/dev/null || echo "(none)" >&2
fi
checks_done "restart $case_name"
