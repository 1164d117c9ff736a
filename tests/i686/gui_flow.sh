#!/usr/bin/env bash
# The GUI flow of the i686 krelvon.exe, driven by the x86_64 GUI test
# drivers (tests/gui/) in a 64-bit prefix of its own, whose 32-bit side runs
# the i686 program, with Wine reporting KRELVON_WINE_VERSION to krelvon.exe
# alone (AppDefaults: the drivers keep their own):
#   gui_flow.sh WIN32_BUILD WIN64_BUILD
# Start-up and single instance, the main dialog, the options with the folder
# tree and a scan of a folder chosen in it, a scan with the prompt answered
# (Ignore, then Disinfect for all) and unanswered (cancelled), the closing
# dialog. Screenshots in WIN32_BUILD/gui-screenshots-VERSION.
set -euo pipefail
win32=$(cd "$1" && pwd)
win64=$(cd "$2" && pwd)
here="$(cd "$(dirname "$0")" && pwd)"
version=${KRELVON_WINE_VERSION:?the Windows version to report}
unset KRELVON_WINE_VERSION  # the drivers are x86_64 programs
[ -x "$win32/ui/krelvon.exe" ] || { echo "gui_flow: no $win32/ui/krelvon.exe" >&2; exit 2; }
for driver in gui_shell_tests gui_progress_tests gui_setup_tests; do
  [ -f "$win64/tests/gui/$driver.exe" ] || { echo "gui_flow: no $driver.exe in $win64 (build the win64 preset)" >&2; exit 2; }
done
export KRELVON_GUI_WINEPREFIX="$win32/gui-wineprefix-$version"
# A display of its own per version: the versions may run side by side.
case $version in win95) n=0 ;; win98) n=1 ;; winme) n=2 ;; nt40) n=3 ;; win2k) n=4 ;; *) n=5 ;; esac
export KRELVON_GUI_DISPLAY=$((560 + n))
run() { "$here/../gui/run-gui-test.sh" "$@"; }
# The prefix (and its K: drive) on first use; J: is the i686 build.
run "$win64/tests/gui/gui_shell_tests.exe" --gtest_list_tests >/dev/null
ln -sfn "$win32" "$KRELVON_GUI_WINEPREFIX/dosdevices/j:"
WINEPREFIX=$KRELVON_GUI_WINEPREFIX WINEDEBUG=-all /usr/lib/wine/wine64 reg add \
  'HKCU\Software\Wine\AppDefaults\krelvon.exe' /v Version /d "$version" /f >/dev/null 2>&1
export KRELVON_GUI_PROGRAM='J:\ui\krelvon.exe'
export KRELVON_GUI_SCREENSHOTS="J:\\gui-screenshots-$version"
rm -rf "$win32/gui-screenshots-$version"
status=0
run "$win64/tests/gui/gui_shell_tests.exe" '--gtest_filter=StartUpTest.*:MainDialogTest.*' || status=1
run "$win64/tests/gui/gui_progress_tests.exe" '--gtest_filter=PromptTest.ThroughTheProgram*' || status=1
run "$win64/tests/gui/gui_setup_tests.exe" '--gtest_filter=ScanOptionsTest.ThroughTheProgram*' || status=1
WINEPREFIX=$KRELVON_GUI_WINEPREFIX /usr/lib/wine/wineserver64 -k 2>/dev/null || true
exit "$status"
