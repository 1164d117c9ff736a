#!/usr/bin/env bash
# krelvon-scan.exe's version resource and manifest, read back from the file
# with wrestool, against what the program itself says under Wine:
#   version_resource_test.sh KRELVON_SCAN_EXE
set -euo pipefail
exe=$1
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/checks.sh"
command -v wrestool >/dev/null || { echo "wrestool (icoutils) is missing: scripts/setup installs it" >&2; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/krelvon-version.XXXXXX")
trap 'rm -rf "$work"' EXIT

said=$("$here/../wine/run-in-wine.sh" "$exe" --version | tr -d '\r')
version=$(sed -n 's/^krelvon-scan \([0-9][0-9.]*\) (Krelvon Ver 1.6)$/\1/p' <<<"$said")
check "--version names a version ($said)" test -n "$version"

wrestool -x --raw -t16 "$exe" >"$work/version.res"
wrestool -x --raw -t24 "$exe" >"$work/manifest.xml"
# VS_VERSIONINFO: the fixed part's file and product versions (four 16-bit
# numbers each), and the strings of StringFileInfo in UTF-16.
read_back=$(python3 - "$work/version.res" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
fixed = data.find(struct.pack("<I", 0xFEEF04BD))
assert fixed >= 0, "no VS_FIXEDFILEINFO"
ms, ls, pms, pls = struct.unpack_from("<IIII", data, fixed + 8)
def four(hi, lo): return "%d.%d.%d.%d" % (hi >> 16, hi & 0xFFFF, lo >> 16, lo & 0xFFFF)
text = data.decode("utf-16-le", "replace")
def value(key):
    at = text.find(key + "\0")
    assert at >= 0, key
    rest = text[at + len(key) + 1:].lstrip("\0")
    return rest[:rest.index("\0")]
print(four(ms, ls), four(pms, pls), value("FileVersion"), value("ProductVersion"), value("OriginalFilename"))
PY
)
check "version resource: fixed versions and strings" equals "$read_back" \
  "$version.0 $version.0 $version $version krelvon-scan.exe"
manifest=$(tr -d '\r' <"$work/manifest.xml")
check "manifest: the same version" contains "$manifest" "name=\"Corvane.Krelvon.Scan\" version=\"$version.0\""
check "manifest: runs as the invoker" contains "$manifest" 'requestedExecutionLevel level="asInvoker"'
checks_done version-resource
