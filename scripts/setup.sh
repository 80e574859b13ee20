#!/usr/bin/env bash
# Installs what the build needs on a Debian machine (only what is missing),
# then configures and builds. Re-running it only rebuilds what changed.
#
#   scripts/setup.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build"}
shift || true

"$here/scripts/install-packages.sh" g++ cmake make libgtest-dev binutils

if [ ! -f "$build/CMakeCache.txt" ] || [ $# -gt 0 ]; then
  cmake -S "$here" -B "$build" "$@" >/dev/null
fi
cmake --build "$build" -j "$(nproc)"
