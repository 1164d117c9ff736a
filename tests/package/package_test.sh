#!/usr/bin/env bash
# krelvon-scan installed as users install it, each stage a check that fails
# with what is wrong:
#   install     cmake --install into a prefix (and with DESTDIR): exactly
#               the program, the manual page, the completion, README, LICENSE
#   manual      every option and exit status --help prints is in the page
#   completion  every option completes; actions, folders and files after =
#   deb         the CPack package passes lintian, installs with apt-get,
#               runs, has its manual page, scans, and is removed again
#   static      krelvon-scan-static has no shared library, and in an empty
#               root it writes what the native program writes, byte for byte
#   windows     the release archive holds exactly what it should
# Usage: package_test.sh [STAGE]...   (default: all of them)
set -euo pipefail
src="$(cd "$(dirname "$0")/../.." && pwd)"
native="$src/build/native"
scan="$native/cli/krelvon-scan"
samples="$native/tools/krelvon-samples"
work=$(mktemp -d)
cleanups=()
cleanup() {
  local i
  for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do eval "${cleanups[i]}" || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package_test: FAIL: $*" >&2; exit 1; }
version=$(sed -n 's/^project(krelvon VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -x "$scan" ] && [ -x "$samples" ] || fail "build krelvon-scan and krelvon-samples (preset native) first"
cmake --build "$native" --target krelvon-scan-manual >/dev/null

# The options --help prints, one a line ("--action", "-h", ...).
help_options() { "$scan" --help | sed -n 's/^  \(-[-a-z]*\)\(, \(--[a-z-]*\)\)\{0,1\}.*/\1 \3/p' | tr ' ' '\n' |
                 sed 's/=.*//' | grep .; }

stage_install() {
  local listing expected
  expected="bin/krelvon-scan
share/bash-completion/completions/krelvon-scan
share/doc/krelvon/LICENSE
share/doc/krelvon/README.md
share/man/man1/krelvon-scan.1"
  cmake --install "$native" --prefix "$work/prefix" >/dev/null
  listing=$(cd "$work/prefix" && find . ! -type d | sed 's|^\./||' | sort)
  [ "$listing" = "$expected" ] || fail "cmake --install --prefix wrote:"$'\n'"$listing"$'\n'"expected:"$'\n'"$expected"
  DESTDIR="$work/dest" cmake --install "$native" --prefix /opt/krelvon >/dev/null
  listing=$(cd "$work/dest" && find . ! -type d | sed 's|^\./||' | sort)
  [ "$listing" = "$(sed 's|^|opt/krelvon/|' <<<"$expected")" ] || fail "DESTDIR not honoured:"$'\n'"$listing"
  cmp -s "$work/prefix/share/doc/krelvon/LICENSE" "$src/LICENSE" || fail "the installed LICENSE differs"
  [ "$("$work/prefix/bin/krelvon-scan" --version)" = "$("$scan" --version)" ] || fail "the installed program differs"
  echo "install: $(wc -l <<<"$expected") files, exactly those expected; DESTDIR honoured"
}

stage_manual() {
  local page text options_section status_section o n missing=0
  page="$native/packaging/krelvon-scan.1"
  text=$(MANWIDTH=200 man -l "$page" 2>/dev/null)
  options_section=$(sed -n '/^OPTIONS$/,/^[A-Z]/p' <<<"$text")
  status_section=$(sed -n '/^EXIT STATUS$/,/^[A-Z]/p' <<<"$text")
  for o in $(help_options); do
    # An entry of OPTIONS starts with the option: "--action=ACTION", "-h, --help".
    grep -Eq -- "^ +(-[a-z], )?$o([=, ]|\$)" <<<"$options_section" ||
      { echo "package_test: the manual page lacks $o, which krelvon-scan --help prints" \
             "(add it to OPTIONS in packaging/krelvon-scan.1.scd)" >&2; missing=1; }
  done
  for n in $("$scan" --help | sed -n '/^Exit status/,$p' | tr -s ' \n,' '\n\n\n' | grep -xE '[0-9]{1,3}' | sort -un); do
    grep -Eq "^ +$n\$" <<<"$status_section" ||
      { echo "package_test: the manual page lacks exit status $n, which krelvon-scan --help names" >&2; missing=1; }
  done
  for section in SYNOPSIS REPORT "BACKUP AND RESTORE" "OFFLINE REGISTRY CLEANING" EXAMPLES; do
    grep -q "^$section\$" <<<"$text" || { echo "package_test: the manual page has no $section" >&2; missing=1; }
  done
  [ "$missing" = 0 ] || fail "the manual page is behind --help"
  man --warnings -l "$page" 2>&1 >/dev/null | grep . && fail "the manual page gives troff warnings"
  echo "manual: $(help_options | wc -l) options and the exit statuses of --help all in the page"
}

stage_completion() {
  local out o
  mkdir -p "$work/complete/folder one" "$work/complete/other"
  : >"$work/complete/report.jsonl"
  out=$(cd "$work/complete" && bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    compopt() { :; }
    c() { COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}; COMPREPLY=()
          _krelvon_scan; echo "$*|$(printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " ")"; }
    c krelvon-scan --
    c krelvon-scan --action=
    c krelvon-scan --action=de
    c krelvon-scan --backup=
    c krelvon-scan --restore=
    c krelvon-scan --windows-root=
    c krelvon-scan --report=
    c krelvon-scan --format=
    c krelvon-scan --file-list=
    c krelvon-scan ""
  ' _ "$src/packaging/krelvon-scan.bash")
  expect() { grep -qxF -- "$1|$2" <<<"$out" || fail "completing '$1' gave '$(grep -F -- "$1|" <<<"$out" | head -1)', expected '$2'"; }
  for o in $(help_options | grep -- '^--'); do
    grep -F -- "krelvon-scan --|" <<<"$out" | grep -q -- " $o[= ]\| $o\$\|^krelvon-scan --|$o[= ]" ||
      fail "the completion does not offer $o, which krelvon-scan --help prints (packaging/krelvon-scan.bash)"
  done
  expect "krelvon-scan --action=" "delete disinfect ignore rename "
  expect "krelvon-scan --action=de" "delete "
  expect "krelvon-scan --backup=" "folder one other "
  expect "krelvon-scan --restore=" "folder one other "
  expect "krelvon-scan --windows-root=" "folder one other "
  expect "krelvon-scan --report=" "folder one other report.jsonl "
  expect "krelvon-scan --format=" "jsonl text "
  expect "krelvon-scan --file-list=" "folder one other report.jsonl "
  expect "krelvon-scan " "folder one other report.jsonl "
  echo "completion: every option of --help; actions, folders and files after ="
}

stage_deb() {
  local deb lint before after out
  (cd "$native" && cpack >/dev/null)
  deb="$native/krelvon-scan_${version}_amd64.deb"
  [ -f "$deb" ] || fail "cpack wrote no $deb"
  lint=$(lintian -I --pedantic "$deb" 2>&1 | grep -v 'running with root privileges' || true)
  echo "lintian: ${lint:-(nothing)}"
  grep -q '^[EW]:' <<<"$lint" && fail "lintian errors or warnings"
  dpkg-deb -f "$deb" Depends | grep -q 'libhivex0' || fail "the package's dependencies lack libhivex0"
  if dpkg-query -W -f='${Status}' krelvon-scan 2>/dev/null | grep -q 'install ok installed'; then
    fail "krelvon-scan is installed already: the test installs and removes it, so it leaves it alone"
  fi
  SUDO=; [ "$(id -u)" = 0 ] || SUDO=sudo
  before=$(dpkg-query -W -f='${Package}\n' | sort)
  cleanups+=("dpkg-query -W -f='\${Status}' krelvon-scan 2>/dev/null | grep -q 'ok installed' &&
              DEBIAN_FRONTEND=noninteractive $SUDO apt-get remove -y -qq -o DPkg::Lock::Timeout=300 krelvon-scan >/dev/null")
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq -o DPkg::Lock::Timeout=300 "$deb" >/dev/null
  after=$(dpkg-query -W -f='${Package}\n' | sort)
  [ "$(comm -13 <(echo "$before") <(echo "$after"))" = krelvon-scan ] ||
    echo "deb: apt-get also installed: $(comm -13 <(echo "$before") <(echo "$after") | grep -vx krelvon-scan | tr '\n' ' ')"
  [ "$(/usr/bin/krelvon-scan --version)" = "$("$scan" --version)" ] || fail "the installed krelvon-scan --version differs"
  [ "$(man -w krelvon-scan)" = /usr/share/man/man1/krelvon-scan.1.gz ] || fail "man -w krelvon-scan: $(man -w krelvon-scan 2>&1)"
  [ -f /usr/share/bash-completion/completions/krelvon-scan ] || fail "no completion installed"
  "$samples" demo "$work/deb/demo" >/dev/null
  cp -a "$work/deb/demo" "$work/deb/copy"
  local status=0
  out=$(cd "$work/deb" && /usr/bin/krelvon-scan --quiet demo) || status=$?
  [ "$status" = 1 ] || fail "the installed krelvon-scan ended with $status on the demonstration folder, not 1"
  [ "$out" = "$(cd "$work/deb" && "$scan" --quiet copy | sed 's|^copy/|demo/|')" ] ||
    fail "the installed krelvon-scan found otherwise:"$'\n'"$out"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get remove -y -qq -o DPkg::Lock::Timeout=300 krelvon-scan >/dev/null
  dpkg-query -W -f='${Status}' krelvon-scan 2>/dev/null | grep -q 'ok installed' && fail "krelvon-scan still installed"
  [ ! -e /usr/bin/krelvon-scan ] && [ ! -e /usr/share/man/man1/krelvon-scan.1.gz ] || fail "files left after removal"
  echo "deb: $(basename "$deb") ($(dpkg-deb -f "$deb" Depends)) installed, ran, scanned, removed"
}

# The static program and the native one on copies of one folder, in the same
# place relative to their working folder, so that every path they write is
# the same: stdout, stderr, exit status, report and the folder afterwards.
stage_static() {
  local bin root kind out
  bin="$src/build/static/cli/krelvon-scan-static"
  (cd "$src" && cmake --preset static && cmake --build --preset static) >"$work/static-build.log" 2>&1 ||
    { tail -30 "$work/static-build.log" >&2; fail "the static build failed (its last lines above)"; }
  out=$(ldd "$bin" 2>&1 || true)
  [[ $out == *"not a dynamic executable"* ]] || fail "ldd krelvon-scan-static: $out"
  # The empty root: the program and the folder to scan, nothing else (no /proc).
  in_root() { if [ "$(id -u)" = 0 ]; then chroot "$@"; else unshare --user --map-root-user --root="$1" "${@:2}"; fi; }
  state() { (cd "$1" && find . -printf '%y %m %s %p\n' | sort && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
  for kind in demo offline; do
    root="$work/static-$kind"
    mkdir -p "$root" "$work/native-$kind"
    "$samples" "$kind" "$work/template-$kind" >/dev/null
    cp "$bin" "$root/krelvon-scan-static"
    cp -a "$work/template-$kind" "$root/scan"
    cp -a "$work/template-$kind" "$work/native-$kind/scan"
    local s=0 n=0
    in_root "$root" /krelvon-scan-static --quiet --report=report.jsonl scan >"$work/$kind.static.out" \
      2>"$work/$kind.static.err" || s=$?
    (cd "$work/native-$kind" && "$scan" --quiet --report=report.jsonl scan) >"$work/$kind.native.out" \
      2>"$work/$kind.native.err" || n=$?
    [ "$s" = "$n" ] || fail "$kind: exit status $s in the empty root, $n natively"
    [ "$n" = 1 ] || fail "$kind: the native scan found nothing (status $n)"
    cmp "$work/$kind.static.out" "$work/$kind.native.out" || { diff "$work/$kind.static.out" "$work/$kind.native.out" >&2; fail "$kind: standard output differs"; }
    cmp "$work/$kind.static.err" "$work/$kind.native.err" || fail "$kind: standard error differs"
    cmp "$root/report.jsonl" "$work/native-$kind/report.jsonl" || fail "$kind: the report differs"
    [ "$(state "$root/scan")" = "$(state "$work/native-$kind/scan")" ] || fail "$kind: the folder differs after the scan"
    echo "static: $kind: $(wc -l <"$work/$kind.native.out") lines, $(wc -l <"$root/report.jsonl") report objects, the folder afterwards: identical"
  done
  grep -q 'System Registry' "$work/offline.static.out" || fail "offline: no registry value removed in the empty root"
  # A backup and its restore in the empty root give the folder back.
  rm -rf "$work/static-demo/scan" && cp -a "$work/template-demo" "$work/static-demo/scan"
  in_root "$work/static-demo" /krelvon-scan-static --quiet --backup=backup scan >/dev/null || true
  in_root "$work/static-demo" /krelvon-scan-static --restore=backup >/dev/null || fail "restore in the empty root failed"
  [ "$(state "$work/static-demo/scan" | grep -v '^d ')" = "$(state "$work/template-demo" | grep -v '^d ')" ] ||
    fail "backup and restore in the empty root did not give the folder back"
  [ "$(in_root "$work/static-demo" /krelvon-scan-static --help)" = "$("$scan" --help)" ] || fail "--help differs"
  echo "static: not a dynamic executable, $(stat -c %s "$bin") bytes; backup and restore in the empty root: folder back"
}

stage_windows() {
  local zip listing expected name="krelvon-$version-windows"
  zip=$("$src/scripts/release-windows")
  expected="$name/
$name/LICENSE.txt
$name/README.txt
$name/i686/
$name/i686/krelvon-scan.exe
$name/i686/krelvon.exe
$name/x86_64/
$name/x86_64/krelvon-scan.exe
$name/x86_64/krelvon.exe"
  listing=$(unzip -Z1 "$zip" | sort)
  [ "$listing" = "$expected" ] || fail "the archive holds:"$'\n'"$listing"$'\n'"expected:"$'\n'"$expected"
  unzip -q "$zip" -d "$work/zip"
  for f in x86_64/krelvon.exe x86_64/krelvon-scan.exe; do
    file "$work/zip/$name/$f" | grep -q 'PE32+ executable.*x86-64' || fail "$f is not an x86_64 program"
  done
  for f in i686/krelvon.exe i686/krelvon-scan.exe; do
    file "$work/zip/$name/$f" | grep -q 'PE32 executable.*Intel 80386' || fail "$f is not an i686 program"
  done
  cmp -s "$work/zip/$name/LICENSE.txt" <(sed 's/$/\r/' "$src/LICENSE") || fail "LICENSE.txt differs"
  echo "windows: $(basename "$zip"): $(unzip -Z1 "$zip" | grep -vc '/$') files, exactly those expected"
}

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(install manual completion deb static windows)
for s in "${stages[@]}"; do "stage_$s"; done
echo "package_test: passed (${stages[*]})"
