#!/usr/bin/env bash
# Builds the Debian packages: nsvslorfx (libnsvslorfx.so.2, nsinfo,
# nsconvert) and nsvslorfx-dev (headers, libvslk64.a, the CMake and
# pkg-config files). Installs what is missing first, builds a Release tree
# installed under /usr in build-pkg/ (only what the packages hold) and prints
# the paths of the .deb files it made, one a line.
#   scripts/package.sh [build-dir]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build-pkg"}

"$here/scripts/install-packages.sh" g++ cmake make binutils dpkg-dev file

# Neither tests nor benchmarks: nsinfo's built-in demo comes from the demo
# library. Installing does not build everything first, only what the
# packages hold is built below.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DNSV_TESTS=OFF -DNSV_BENCH=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target nsvslorfx vslk64 nsinfo nsconvert >/dev/null
rm -f "$build"/packages/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/packages/*.deb
