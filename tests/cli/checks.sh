# The checks of the process test scripts (sourced). Each failed check is
# reported and counted; checks_done ends the script with the count.
failures=0
check() {  # check DESCRIPTION COMMAND...: the command must succeed
  local what=$1
  shift
  if "$@"; then return 0; fi
  echo "FAILED: $what" >&2
  failures=$((failures + 1))
}
equals() { [ "$1" = "$2" ] || { printf 'expected: %q\n     got: %q\n' "$2" "$1" >&2; return 1; }; }
contains() { grep -qF -- "$2" <<<"$1" || { printf 'missing %q in:\n%s\n' "$2" "$1" >&2; return 1; }; }
lacks() { ! grep -qF -- "$2" <<<"$1" || { printf 'unexpected %q in:\n%s\n' "$2" "$1" >&2; return 1; }; }

checks_done() {  # checks_done CASE
  if [ "$failures" -gt 0 ]; then
    echo "$1: $failures check(s) failed" >&2
    exit 1
  fi
  echo "$1: all checks passed"
}
