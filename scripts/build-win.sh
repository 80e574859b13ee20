#!/usr/bin/env bash
# Cross-builds the Windows x86-64 library from the same source into build-win/:
# nsvslorfx.dll, tools/nsinfo.exe and every test program the CMake tree
# defines, with Debian's MinGW-w64 toolchain (posix threads) and GoogleTest
# compiled from Debian's sources. Installs what is missing first; re-running
# it only rebuilds what changed.
#
#   scripts/build-win.sh          build only
#   scripts/build-win.sh --test   build, then run the whole test suite under
#                                 Wine in a fresh Wine prefix, and compare
#                                 nsinfo --csv of the Linux build (build/,
#                                 set up if missing) with nsinfo.exe's
#                                 (scripts/conformance.sh)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build-win"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
test=false
[ "${1:-}" = "--test" ] && test=true
started=$SECONDS
lap() { echo "--- $1: $((SECONDS - started)) s"; started=$SECONDS; }

packages=(g++-mingw-w64-x86-64-posix cmake make googletest)
$test && packages+=(wine64)
"$here/scripts/install-packages.sh" "${packages[@]}"
lap "packages"

# Release: the DLL as it ships, and a much quicker cross build than one with
# debug information.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" -DCMAKE_BUILD_TYPE=Release -DNSV_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)"
lap "cross build"
$test || exit 0

# A fresh prefix for every run, and one wine server kept alive for all the
# programs started in it (each start would otherwise boot a server of its
# own). Without its .NET and browser stand-ins, which nothing here uses, the
# prefix is made in seconds.
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/nsv-wine.XXXXXX")
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
"$wineserver" -p
"$wine" wineboot --init >/dev/null 2>&1
lap "Wine prefix"

ctest --test-dir "$build" --output-on-failure -j 2
lap "tests under Wine"
"$here/scripts/setup.sh" "$here/build" >/dev/null
"$here/scripts/conformance.sh" "$here/build" "$build"
lap "conformance"
