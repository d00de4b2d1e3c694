#!/bin/sh
# Cross-builds the Windows trainer (preset windows-cross) and tests it under
# Wine: the unit tests, then end-to-end runs of nettrainer.exe in a
# pseudo-terminal. Installs nothing; where the cross compiler, Wine, the
# GoogleTest sources or Python are missing it says so and exits 0.
#
# Packages (Debian 12): g++-mingw-w64-x86-64-posix wine wine64 googletest python3
set -eu

cd "$(dirname "$0")/.."

skip() {
    echo "SKIPPED: Windows tests: $1"
    exit 0
}

command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 ||
    skip "x86_64-w64-mingw32-g++-posix not found (apt-get install g++-mingw-w64-x86-64-posix)"
WINE64=$(command -v wine64 2>/dev/null || true)
if [ -z "$WINE64" ] && [ -x /usr/lib/wine/wine64 ]; then
    WINE64=/usr/lib/wine/wine64  # where Debian's wine64 package puts it, off PATH
fi
[ -n "$WINE64" ] || skip "wine64 not found (apt-get install wine wine64)"
[ -f /usr/src/googletest/CMakeLists.txt ] ||
    skip "GoogleTest sources not found in /usr/src/googletest (apt-get install googletest)"
command -v python3 >/dev/null 2>&1 || skip "python3 not found (apt-get install python3)"

BUILD=build/windows-cross
export WINEDEBUG=-all
export WINEPREFIX="$PWD/$BUILD/wineprefix"
export WINEDLLOVERRIDES="mscoree,mshtml=d"

echo "== Windows cross build (MinGW-w64)"
cmake --preset windows-cross
cmake --build --preset windows-cross

echo "== Unit tests under Wine"
ctest --preset windows-cross

echo "== End-to-end runs under Wine"
python3 tools/windows_e2e.py "$BUILD/bin" "$BUILD/e2e" "$WINE64" "$WINEPREFIX"

echo "Windows tests passed."
