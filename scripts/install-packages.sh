#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are not
# installed yet (with sudo when not root); does nothing when all are there.
#   scripts/install-packages.sh PACKAGE...
set -euo pipefail
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null 2>&1 ||
  { $sudo apt-get update -q >/dev/null &&
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null; }
