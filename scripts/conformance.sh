#!/usr/bin/env bash
# Compares what the Linux library and the Windows DLL (under Wine) read from
# the same recordings: nsinfo --csv of every entity of the built-in demo and
# of the tests' recordings (one ORFX file, ORF files of three versions) must
# be byte for byte the same, and so must nsinfo's exit status.
#   scripts/conformance.sh LINUX_BUILD WINDOWS_BUILD
# Expects WINEPREFIX (a prepared prefix) in the environment, as
# scripts/build-win.sh --test sets it up.
set -euo pipefail
linux=$1
windows=$2
wine=${WINE:-/usr/lib/wine/wine64}
work=$(mktemp -d "${TMPDIR:-/tmp}/nsv-conformance.XXXXXX")
trap 'rm -rf "$work"' EXIT

mapfile -t recordings < <("$linux/tests/write_recordings" "$work")
compared=0
failed=0
bytes=0
# "" stands for the built-in demo, which each nsinfo writes for itself.
for recording in "" "${recordings[@]}"; do
  args=()
  [ -n "$recording" ] && args=("$recording")
  entities=$("$linux/tools/nsinfo" --items 0 "${args[@]}" | awk '/^  Entities:/ {print $2}')
  if [ -z "$entities" ] || [ "$entities" -lt 1 ]; then
    echo "conformance: no entities found in ${recording:-the demo}"
    exit 1
  fi
  # Wine reaches the Linux file system through drive Z:.
  winargs=()
  [ -n "$recording" ] && winargs=("Z:$recording")
  for ((e = 0; e < entities; e++)); do
    set +e
    "$linux/tools/nsinfo" --entity "$e" --csv "${args[@]}" >"$work/linux.csv" 2>&1
    linuxStatus=$?
    "$wine" "$windows/tools/nsinfo.exe" --entity "$e" --csv "${winargs[@]}" >"$work/wine.csv" 2>&1
    wineStatus=$?
    set -e
    compared=$((compared + 1))
    bytes=$((bytes + $(wc -c <"$work/linux.csv")))
    if [ "$linuxStatus" -ne "$wineStatus" ] || ! cmp -s "$work/linux.csv" "$work/wine.csv"; then
      failed=$((failed + 1))
      echo "conformance: ${recording:-demo} entity $e differs" \
        "(exit $linuxStatus on Linux, $wineStatus under Wine):"
      diff "$work/linux.csv" "$work/wine.csv" | head -5 || true
    fi
  done
  echo "conformance: $(basename "${recording:-demo}"): $entities entities compared"
done
echo "conformance: $bytes bytes of CSV compared"
echo "conformance: $((compared - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
