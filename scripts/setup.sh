#!/usr/bin/env bash
# Installs what the build needs on a Debian machine (only what is missing),
# then configures and builds. Re-running it only rebuilds what changed.
#
#   scripts/setup.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build"}
shift || true

packages=(g++ cmake make libboost-thread-dev libgtest-dev binutils)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get install -y -q "${missing[@]}" >/dev/null 2>&1 ||
    { $sudo apt-get update -q >/dev/null && $sudo apt-get install -y -q "${missing[@]}" >/dev/null; }
fi

if [ ! -f "$build/CMakeCache.txt" ] || [ $# -gt 0 ]; then
  cmake -S "$here" -B "$build" "$@" >/dev/null
fi
cmake --build "$build" -j "$(nproc)"
