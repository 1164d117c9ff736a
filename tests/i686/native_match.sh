#!/usr/bin/env bash
# The i686 krelvon-scan under 32-bit Wine against the native build on the
# same trees: native_match.sh KRELVON_SCAN_EXE NATIVE_KRELVON_SCAN KRELVON_SAMPLES
# The Windows version is KRELVON_WINE_VERSION (tests/wine/run-in-wine.sh).
# Both programs scan a demonstration folder written by the native sample
# factory, with each action: the exit status, standard output, standard
# error and the report must be the same after this normalisation, and the
# folders left behind the same byte for byte (diff -r):
#   - carriage returns removed (the Windows program ends its lines with CRLF);
#   - the scanned folder's own name (C:\krelvon-match-N\a, /tmp/.../a) made
#     ROOT, and the Windows separator '\' made '/' ('\\' in the report);
#   - the finding lines sorted (Wine lists a folder in sorted order, Linux
#     in the order of the file system); the statistics block and the last
#     line are compared in order.
set -euo pipefail
abs() { printf '%s/%s' "$(cd "$(dirname "$1")" && pwd)" "$(basename "$1")"; }
scan_exe=$(abs "$1")
native_scan=$(abs "$2")
samples_bin=$(abs "$3")
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/prelude.sh"
prefix=${KRELVON_WINEPREFIX:-$build/wineprefix-$KRELVON_WINE_VERSION}
name="krelvon-match-$$"
wwork="$prefix/drive_c/$name"
win_wwork="C:\\$name"
nwork=$(mktemp -d "${TMPDIR:-/tmp}/krelvon-match.XXXXXX")
mkdir -p "$wwork"
trap 'rm -rf "$wwork" "$nwork"' EXIT

# normalise FILE ROOT: the normalised text, finding lines sorted first.
normalise() {
  local text
  text=$(tr -d '\r' <"$1" | ROOT=$2 awk '{ while ((i = index($0, ENVIRON["ROOT"])) > 0) $0 = substr($0, 1, i - 1) "ROOT" substr($0, i + length(ENVIRON["ROOT"])); print }' |
         sed -e 's/\\\\/\//g' -e 's/\\/\//g')
  grep -v '^Scanning \|^Total files \|^ $' <<<"$text" | sort || true
  grep '^Scanning \|^Total files \|^ $' <<<"$text" || true
}

input=/dev/null
# both NAME ARG...: runs both programs with ARG (@ROOT@ standing for the
# scanned folder, @REPORT@ for a report beside it) and compares.
both() {
  local what=$1
  shift
  local wargs=() nargs=() a
  for a in "$@"; do
    a=${a//@REPORT@/@OUT@/report.json}
    local n=${a//@ROOT@/$nwork/a} w=${a//@ROOT@/$win_wwork/a}
    n=${n//@OUT@/$nwork} w=${w//@OUT@/$win_wwork}
    w=${w//\//\\}  # Windows separators (no option but a path holds a '/')
    nargs+=("$n")
    wargs+=("$w")
  done
  rm -f "$wwork/report.json" "$nwork/report.json"
  local ws=0 ns=0
  wine_run "$scan_exe" "${wargs[@]}" >"$wwork/.out" 2>"$wwork/.err" <"$input" || ws=$?
  "$native_scan" "${nargs[@]}" >"$nwork/.out" 2>"$nwork/.err" <"$input" || ns=$?
  check "$what: the same status ($ws, native $ns)" equals "$ws" "$ns"
  check "$what: the same standard output" equals "$(normalise "$wwork/.out" "$win_wwork\\a")" \
    "$(normalise "$nwork/.out" "$nwork/a")"
  check "$what: the same standard error" equals "$(normalise "$wwork/.err" "$win_wwork\\a")" \
    "$(normalise "$nwork/.err" "$nwork/a")"
  if [ -f "$nwork/report.json" ] || [ -f "$wwork/report.json" ]; then
    check "$what: the same report" equals "$(normalise "$wwork/report.json" "${win_wwork//\\/\\\\}\\\\a")" \
      "$(normalise "$nwork/report.json" "$nwork/a")"
  fi
  check "$what: the same files" diff -r "$wwork/a" "$nwork/a"
}

fresh() {  # the same demonstration folder on both sides
  rm -rf "$wwork/a" "$nwork/a"
  "$samples_bin" demo "$wwork/a" >/dev/null
  "$samples_bin" demo "$nwork/a" >/dev/null
  check "the sample factory writes the same folder twice" diff -r "$wwork/a" "$nwork/a"
}

fresh
# The help: the native one names options of Linux only (--jobs, the offline
# registry); every line of the Windows one is in it, the usage line first.
wine_run "$scan_exe" --help | tr -d '\r' >"$wwork/help"
"$native_scan" --help >"$nwork/help"
check "--help: the same first line" equals "$(head -n 1 "$wwork/help")" "$(head -n 1 "$nwork/help")"
check "--help: every line in the native help" equals "$(sort "$wwork/help" | comm -23 - <(sort "$nwork/help"))" ""
check "--help: the exit statuses" grep -q "Exit status (one code wins, in the order 2, 130, 4, 5, 3, 1, 0):" "$wwork/help"
both "--version" --version
both "an unknown option" --bogus
both "an unknown action" --action=clean @ROOT@
both "no such folder" @ROOT@/missing
for action in ignore disinfect rename delete; do
  fresh
  both "--action=$action" --action="$action" --report=@REPORT@ @ROOT@
  both "--action=$action, again" --action="$action" @ROOT@
done
fresh
# One finding in each folder, so that both programs ask in the same order:
# Rename, then no answer (Enter).
printf 'r\n\n' >"$nwork/answers"
input=$nwork/answers both "answers at the prompt" --prompt @ROOT@/games @ROOT@/tools
fresh
both "one folder twice" --quiet --action=ignore @ROOT@/games @ROOT@
checks_done "native-match ($KRELVON_WINE_VERSION)"
