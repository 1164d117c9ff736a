# The start of the i686 process tests (sourced, after scan_exe is set to
# the program's absolute path): the checks, wine_run, the prefix of the
# version in KRELVON_WINE_VERSION created on first use, and build, the
# program's build folder.
source "$(dirname "${BASH_SOURCE[0]}")/../cli/checks.sh"
: "${KRELVON_WINE_VERSION:?the Windows version to report}"
wine_run() { "$(dirname "${BASH_SOURCE[0]}")/../wine/run-in-wine.sh" "$@"; }
wine_run "$scan_exe" --version >/dev/null
build=$(cd "$(dirname "$scan_exe")" && pwd)
while [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
