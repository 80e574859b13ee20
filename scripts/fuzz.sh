#!/usr/bin/env bash
# Builds the fuzzers (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, in build-fuzz/) and runs one target or all of
# them, each for SECONDS from its committed seed corpus. Installs clang and
# the fuzzer runtime when missing. Exits non-zero when any target finds a
# crash, a failed check, a leak, a timeout or the memory limit; the input
# that did it is left in build-fuzz/runs/TARGET/.
#
#   scripts/fuzz.sh [TARGET|all] [SECONDS]
#
# Limits: -timeout=20 (seconds for one input), -rss_limit_mb=2048 and
# -malloc_limit_mb=64: no single allocation may exceed 64 MiB. The library's
# largest legitimate allocations are a few 64 KiB blocks and caches of a few
# MiB; an input is at most 1 MiB. A bigger allocation can only come from a
# size read from the file that was trusted.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
seconds=${2:-60}
targets=(ns_open_orfx ns_open_orf kel64_read kel32_read kel64_write kel32_write
         string_table lookup_table)
if [ "$which" != all ]; then
  found=0
  for t in "${targets[@]}"; do [ "$t" = "$which" ] && found=1; done
  [ $found -eq 1 ] || { echo "unknown target $which (one of: ${targets[*]} all)" >&2; exit 2; }
  targets=("$which")
fi

"$here/scripts/install-packages.sh" clang libclang-rt-14-dev cmake make

build="$here/build-fuzz"
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DNSV_FUZZ=ON -DNSV_TESTS=OFF \
    -DNSV_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j 2 --target nsv_fuzzers >/dev/null

# A smaller quarantine than ASan's default keeps the runs fast; leaks are
# still reported at the end of each run.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=32:detect_leaks=1}
failed=()
for t in "${targets[@]}"; do
  work="$build/runs/$t"
  rm -rf "$work"
  mkdir -p "$work/corpus"
  dict=()
  case $t in
    ns_open_orfx|kel64_read) dict=(-dict="$here/fuzz/dict/orfx.dict") ;;
    ns_open_orf|kel32_read) dict=(-dict="$here/fuzz/dict/orf.dict") ;;
  esac
  echo "=== fuzz $t: ${seconds} s"
  if (cd "$work" && "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=20 \
        -rss_limit_mb=2048 -malloc_limit_mb=64 -max_len=1048576 -print_final_stats=1 \
        "${dict[@]}" corpus "$here/fuzz/corpus/$t") >"$work/log" 2>&1; then
    grep -E "^#[0-9]+.*DONE" "$work/log" | tail -1 || true
  else
    echo "fuzz $t FAILED; see $work/log"
    grep -E -A30 "^==[0-9]+==ERROR|fuzz check failed|runtime error|ERROR: libFuzzer" "$work/log" |
      head -40 || true
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}"
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets, no findings"
