#!/usr/bin/env bash
# krelvon-scan --jobs=N: for every number of readers the same standard
# output, standard error, report, exit status and resulting files as with
# --jobs=1 (no reader), on a tree with every kind of entry (the
# demonstration samples, a corpus of folders of 100 files, nested folders,
# links to a file, to a folder and to nothing, a FIFO, a file and a folder
# the scanning user may not read), and with files changed while the scan
# waits at a prompt: after the scout has read them ahead, before the walker
# reaches them. The walker reads every file itself, so what the scout read
# earlier cannot matter; the prompt makes the order of the two certain.
# Before each scan the tree's pages are taken out of the page cache, so that
# the walker's first read misses and sets the readers going.
#   read_ahead_test.sh KRELVON_SCAN KRELVON_SAMPLES
set -euo pipefail
scan_bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
samples_bin=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/checks.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/krelvon-read-ahead.XXXXXX")
chmod 755 "$work"
trap 'chmod -R u+rwx "$work" 2>/dev/null; rm -rf "$work"' EXIT
jobs_tried=(0 2 16 64)

# As an ordinary user (nobody when this is the superuser, whom no
# permission stops).
as_unprivileged() {
  if [ "$(id -u)" = 0 ]; then setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; else "$@"; fi
}

# make_tree DIR: every kind of entry.
make_tree() {
  local t=$1
  mkdir -p "$t"
  "$samples_bin" demo "$t/demo" >/dev/null
  "$samples_bin" corpus "$t/corpus" 1500 >/dev/null
  mkdir -p "$t/deep/a/b/c" "$t/deep/closed"
  cp "$t/demo/editor.exe" "$t/demo/worm.exe" "$t/deep/a/b/c/"
  cp "$t/demo/worm-helper.dll" "$t/deep/a/"
  cp "$t/demo/calc.exe" "$t/deep/closed/"
  cp "$t/demo/worm.exe" "$t/deep/a/locked.exe"
  ln -s demo/editor.exe "$t/link-to-file.exe"
  ln -s ../demo "$t/deep/link-to-folder"
  ln -s /nonexistent "$t/deep/dangling.exe"
  mkfifo "$t/deep/pipe.exe"
  chmod -R go+rX "$t"
  chmod 000 "$t/deep/a/locked.exe" "$t/deep/closed"
}

# evict DIR: the pages of every file below DIR out of the page cache, as
# after a reboot (a file system whose cache cannot be emptied keeps them).
evict() {
  sync
  python3 - "$1" <<'PY'
import os, sys
for folder, _, names in os.walk(sys.argv[1]):
    for name in names:
        try:
            fd = os.open(os.path.join(folder, name), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
        except OSError:
            continue
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        except OSError:
            pass  # a FIFO
        os.close(fd)
PY
}

# run_as RUNNER NAME [ARG]...: one scan; its output, errors and status kept
# as $work/NAME.{out,err,status}.
run_as() {
  local runner=$1 name=$2 status=0
  shift 2
  evict "$work"
  $runner "$scan_bin" "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null || status=$?
  echo "$status" >"$work/$name.status"
}
direct() { "$@"; }

# same NAME REFERENCE: the kept output, errors, status and report agree.
same() {
  local f
  for f in out err status report; do
    [ -e "$work/$2.$f" ] || continue
    cmp -s "$work/$1.$f" "$work/$2.$f" || { echo "$1.$f differs from $2.$f:" >&2; diff "$work/$2.$f" "$work/$1.$f" | head -20 >&2; return 1; }
  done
}

# --- 1. Report only, as an ordinary user --------------------------------
make_tree "$work/tree"
mkdir -m 777 "$work/reports"
run_as as_unprivileged j1 --jobs=1 --action=ignore --quiet --report="$work/reports/j1" "$work/tree"
cp "$work/reports/j1" "$work/j1.report"
check "ignore: found and ignored, status 4" equals "$(cat "$work/j1.status")" 4
check "ignore: the unreadable file is named" contains "$(cat "$work/j1.err")" "locked.exe\": permission denied"
check "ignore: the closed folder is named" contains "$(cat "$work/j1.err")" "closed\": permission denied"
check "ignore: the FIFO is named" contains "$(cat "$work/j1.err")" "pipe.exe\": not a regular file"
check "ignore: the nested worm is found" contains "$(cat "$work/j1.out")" "deep/a/b/c/worm.exe"
check "ignore: nothing through the folder link" lacks "$(cat "$work/j1.out")" "link-to-folder/"
for j in "${jobs_tried[@]}"; do
  run_as as_unprivileged "j$j" --jobs="$j" --action=ignore --quiet --report="$work/reports/j$j" "$work/tree"
  cp "$work/reports/j$j" "$work/j$j.report"
  check "ignore: --jobs=$j as --jobs=1" same "j$j" j1
done
# The default number of readers too.
run_as as_unprivileged jd --action=ignore --quiet --report="$work/reports/jd" "$work/tree"
cp "$work/reports/jd" "$work/jd.report"
check "ignore: the default --jobs as --jobs=1" same jd j1

# --- 2. Disinfect: the same lines and the same files left ---------------
# state DIR: every entry with its kind, mode and, for a file, its bytes.
state() { (cd "$1" && find . -printf '%p %y %m\n' | sort && find . -type f -readable -exec sha256sum {} + | sort -k2); }
for j in 1 "${jobs_tried[@]}"; do
  rm -rf "$work/t"
  cp -a "$work/tree" "$work/t"
  run_as direct "d$j" --jobs="$j" --quiet --report="$work/d$j.report" "$work/t"
  state "$work/t" >"$work/d$j.files"
  [ "$j" = 1 ] && continue
  check "disinfect: --jobs=$j as --jobs=1" same "d$j" d1
  check "disinfect: --jobs=$j leaves the files as --jobs=1" cmp -s "$work/d$j.files" "$work/d1.files"
done
check "disinfect: the hosts disinfected" contains "$(cat "$work/d1.out")" "deep/a/b/c/editor.exe     W32/BugBear.B.Worm Disinfected"

# --- 3. Files changed after the scout read them -------------------------
# c/worm.exe makes the scan wait at its prompt; c/later, walked after the
# files of c, holds the files changed meanwhile and a corpus that keeps the
# readers busy. At the prompt the scout has long read all of c/later (its
# bound is more than the tree); then an infected host is swapped for a clean
# program, a clean program for an infected host, one host grows by 4 KiB,
# and one is cut to 100 bytes. The answers: "apply to all", then Ignore.
make_changing_tree() {
  rm -rf "$work/c"
  mkdir -p "$work/c/later"
  cp "$work/tree/demo/worm.exe" "$work/c/"
  for f in host grown cut; do cp "$work/tree/demo/editor.exe" "$work/c/later/$f.exe"; done
  cp "$work/tree/demo/calc.exe" "$work/c/later/clean.exe"
  "$samples_bin" corpus "$work/c/later/bulk" 600 >/dev/null
}
change_files() {
  local l=$work/c/later
  mv "$l/host.exe" "$work/host.away"
  cp "$work/tree/demo/calc.exe" "$l/host.exe"
  cp "$work/tree/demo/editor.exe" "$work/clean.new"
  mv -f "$work/clean.new" "$l/clean.exe"
  cat "$work/noise" >>"$l/grown.exe"
  truncate -s 100 "$l/cut.exe"
}
seq 1 1000 | head -c 4096 >"$work/noise"
for j in 1 "${jobs_tried[@]}"; do
  make_changing_tree
  rm -f "$work/answers"
  mkfifo "$work/answers"
  status=0
  evict "$work/c"
  "$scan_bin" --jobs="$j" --prompt --report="$work/p$j.report" "$work/c" <"$work/answers" >"$work/p$j.out" \
    2>"$work/p$j.err" &
  pid=$!
  exec 3>"$work/answers"
  for _ in $(seq 1 600); do grep -q "Virus Name" "$work/p$j.err" 2>/dev/null && break; sleep 0.05; done
  sleep 0.5
  change_files
  printf 'a\ni\n' >&3
  exec 3>&-
  wait "$pid" || status=$?
  echo "$status" >"$work/p$j.status"
  state "$work/c" >"$work/p$j.files"
  [ "$j" = 1 ] && continue
  check "changed: --jobs=$j as --jobs=1" same "p$j" p1
  check "changed: --jobs=$j leaves the files as --jobs=1" cmp -s "$work/p$j.files" "$work/p1.files"
done
out=$(cat "$work/p1.out")
check "changed: the prompt was answered" contains "$(cat "$work/p1.err")" "Virus Name"
check "changed: the host swapped in is found" contains "$out" "later/clean.exe     W32/BugBear.B.Worm"
check "changed: the clean program swapped in is not" lacks "$out" "later/host.exe "
check "changed: the host cut short is not" lacks "$out" "later/cut.exe "
check "changed: every finding ignored" equals "$(grep -c "not disinfected as per user's selection" <<<"$out")" \
  "$(grep -c BugBear <<<"$out")"

checks_done read-ahead
