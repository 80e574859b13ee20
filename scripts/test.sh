#!/usr/bin/env bash
# Sets up (scripts/setup.sh), builds and runs the whole test suite.
#   scripts/test.sh            the normal build, in build/
#   scripts/test.sh --sanitize the same suite under AddressSanitizer and
#                              UndefinedBehaviorSanitizer, in build-asan/
#   scripts/test.sh --tsan     the tests that run threads, under
#                              ThreadSanitizer, in build-tsan/
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "--sanitize" ]; then
  "$here/scripts/setup.sh" "$here/build-asan" -DNSV_SANITIZE=ON -DNSV_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=Debug
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  ctest --test-dir "$here/build-asan" --output-on-failure -j 2
elif [ "${1:-}" = "--tsan" ]; then
  "$here/scripts/setup.sh" "$here/build-tsan" -DNSV_TSAN=ON -DNSV_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=Debug
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  # Every test whose name says it runs calls at once: the readers and writer
  # of one file, property calls beside a writer, and the exports' messages.
  ctest --test-dir "$here/build-tsan" --output-on-failure -j 2 -R 'Concurren' --no-tests=error
else
  "$here/scripts/setup.sh" "$here/build"
  ctest --test-dir "$here/build" --output-on-failure -j 2
fi
