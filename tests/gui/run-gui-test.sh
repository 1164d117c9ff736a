#!/usr/bin/env bash
# Runs a GUI test program under Wine, apart from the other Windows tests:
# a prefix of its own (build/win64/gui-wineprefix, or KRELVON_GUI_WINEPREFIX),
# a virtual display of its own (KRELVON_GUI_DISPLAY, else a number derived
# from the build folder, so worktrees side by side do not share a screen),
# and drive K: mapped onto the build folder, so the driver finds
# krelvon.exe as K:\ui\krelvon.exe.
set -euo pipefail

exe=$1
shift
runner="$(cd "$(dirname "$0")/.." && pwd)/wine/run-in-wine.sh"

build=$(cd "$(dirname "$exe")" && pwd)
while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
[ -f "$build/CMakeCache.txt" ] || { echo "run-gui-test: no build folder above $exe" >&2; exit 2; }

export KRELVON_WINEPREFIX="${KRELVON_GUI_WINEPREFIX:-$build/gui-wineprefix}"
display=${KRELVON_GUI_DISPLAY:-$(( $(printf %s "$build" | cksum | cut -d' ' -f1) % 400 + 100 ))}
export DISPLAY=":$display"
export KRELVON_GUI_ROOT='K:\'

if [ ! -L "$KRELVON_WINEPREFIX/dosdevices/k:" ] || [ ! -f "$KRELVON_WINEPREFIX/.krelvon-ready" ]; then
  # The first run creates the prefix; the drive is added to it afterwards.
  "$runner" "$exe" --gtest_list_tests >/dev/null
  ln -sfn "$build" "$KRELVON_WINEPREFIX/dosdevices/k:"
fi
exec "$runner" "$exe" "$@"
