#!/usr/bin/env bash
# Uses the installed libraries as a newcomer would, from the installed files
# only:
#  - installs the build into a temporary prefix and checks what it holds
#    (no format internals among the headers, each header compiling on its
#    own, the SONAME matching the version the library reports);
#  - builds examples/record against the prefix with find_package(vslk64) and
#    with pkg-config, runs it and reads its recording with the installed
#    nsinfo; links a host against nsvslorfx both ways;
#  - runs examples/read_recording.py with the system python3 on the demo
#    recording and on the example's, and compares its values with nsinfo's;
#  - builds the Debian packages (scripts/package.sh); as root installs them,
#    uses the installed nsinfo, the Python example and the CMake package from
#    there, and removes them again; otherwise lists their contents.
#   scripts/install-test.sh [build-dir]    (default build/, set up if missing)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build"}

"$here/scripts/install-packages.sh" pkg-config python3
"$here/scripts/setup.sh" "$build" >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/nsv-install.XXXXXX")
installed_debs=false
cleanup() {
  if $installed_debs; then dpkg -P nsvslorfx-dev nsvslorfx >/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
# check NAME COMMAND...: runs the command, counts and reports its outcome.
check() {
  local name=$1
  shift
  if "$@" >"$work/check.log" 2>&1; then
    passed=$((passed + 1))
    echo "ok: $name"
  else
    failed=$((failed + 1))
    echo "FAILED: $name"
    sed 's/^/    /' "$work/check.log" | tail -20
  fi
}

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(cd "$prefix" && find . -name libvslk64.a)")
libdir=${libdir#./}

installed_files() {
  local expected="$work/expected.txt"
  sed "s|@LIBDIR@|$libdir|" >"$expected" <<'EOF'
bin/nsconvert
bin/nsinfo
include/nsvslorfx/ns_api.h
include/vslk64/corruption.h
include/vslk64/kel64_file.h
include/vslk64/kel64_types.h
include/vslk64/mark_filter.h
include/vslk64/status.h
@LIBDIR@/cmake/nsvslorfx/nsvslorfxConfig.cmake
@LIBDIR@/cmake/nsvslorfx/nsvslorfxConfigVersion.cmake
@LIBDIR@/cmake/nsvslorfx/nsvslorfxTargets-noconfig.cmake
@LIBDIR@/cmake/nsvslorfx/nsvslorfxTargets.cmake
@LIBDIR@/cmake/vslk64/vslk64Config.cmake
@LIBDIR@/cmake/vslk64/vslk64ConfigVersion.cmake
@LIBDIR@/cmake/vslk64/vslk64Targets-noconfig.cmake
@LIBDIR@/cmake/vslk64/vslk64Targets.cmake
@LIBDIR@/libnsvslorfx.so
@LIBDIR@/libnsvslorfx.so.2
@LIBDIR@/libnsvslorfx.so.2.0
@LIBDIR@/libvslk64.a
@LIBDIR@/pkgconfig/nsvslorfx.pc
@LIBDIR@/pkgconfig/vslk64.pc
EOF
  # The exported targets' per-configuration file is named for the build type.
  (cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' |
    sed -E 's/Targets-[a-z]+\.cmake$/Targets-noconfig.cmake/' | sort) | diff "$expected" -
}
check "installed files" installed_files

headers_compile_alone() {
  local h
  for h in "$prefix"/include/vslk64/*.h "$prefix"/include/nsvslorfx/*.h; do
    echo "#include <$(basename "$(dirname "$h")")/$(basename "$h")>" |
      g++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" -x c++ - || return 1
  done
}
check "each installed header compiles on its own" headers_compile_alone

# libnsvslorfx.so.MAJOR.MINOR with SONAME libnsvslorfx.so.MAJOR, as
# ns_GetLibraryInfo reports MAJOR.MINOR.
soname_matches_library_info() {
  local version soname
  version=$("$prefix/bin/nsinfo" --items 0 "$work/none.orfx" | awk '/^Library version:/ {print $3}') || true
  soname=$(readelf -d "$prefix/$libdir/libnsvslorfx.so.$version" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
  echo "library version $version, SONAME $soname"
  [ -n "$version" ] && [ "$soname" = "libnsvslorfx.so.${version%%.*}" ]
}
check "SONAME matches the library version" soname_matches_library_info

nsinfo_uses_installed_library() {
  "$prefix/bin/nsinfo" --items 1 >"$work/demo.txt"
  grep "^Library: " "$work/demo.txt"
  grep -q "^Library: *$prefix/bin/\.\./$libdir/libnsvslorfx.so.2$" "$work/demo.txt" &&
    grep -q "analog   Sine" "$work/demo.txt"
}
check "installed nsinfo loads the installed library and shows the demo" nsinfo_uses_installed_library

# nsinfo's entity table row of LABEL: the item count.
items_of() { awk -v label="$2" '$3 == label && $1 ~ /^[0-9]+$/ {print $4}' "$1"; }

# The example's own account of what it wrote against what nsinfo reads.
recording_reads_back() {
  local summary=$1 recording=$2 nsinfo=${3:-"$prefix/bin/nsinfo"}
  "$nsinfo" --items 0 "$recording" >"$work/rec.txt"
  local label count unit
  while read -r label count unit; do
    label=${label%:}
    echo "$label: wrote $count $unit, nsinfo reads $(items_of "$work/rec.txt" "$label")"
    [ "$(items_of "$work/rec.txt" "$label")" = "$count" ] || return 1
  done <"$summary"
  [ "$(wc -l <"$summary")" -eq 3 ]
}

record_with_find_package() {
  cmake -S "$here/examples/record" -B "$work/record-build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null &&
    cmake --build "$work/record-build" >/dev/null &&
    "$work/record-build/record" "$work/rec.orfx" >"$work/record.txt" &&
    recording_reads_back "$work/record.txt" "$work/rec.orfx"
}
check "examples/record built with find_package(vslk64), read back by nsinfo" record_with_find_package

record_with_pkg_config() {
  local flags
  flags=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs vslk64)
  echo "pkg-config: $flags"
  # shellcheck disable=SC2086
  g++ -std=c++17 -Wall -Wextra -Werror "$here/examples/record/record.cc" $flags \
    -o "$work/record-pc" &&
    "$work/record-pc" "$work/rec-pc.orfx" 2 >"$work/record-pc.txt" &&
    recording_reads_back "$work/record-pc.txt" "$work/rec-pc.orfx"
}
check "examples/record built with pkg-config, read back by nsinfo" record_with_pkg_config

# A host that links the library instead of loading it, both ways.
mkdir -p "$work/host"
cat >"$work/host/host.cc" <<'EOF'
#include <nsvslorfx/ns_api.h>

#include <cstdio>

int main() {
  ns_LIBRARYINFO info = {};
  if (ns_GetLibraryInfo(&info, sizeof info) != ns_OK) return 1;
  std::printf("%u.%u\n", info.dwLibVersionMaj, info.dwLibVersionMin);
  return 0;
}
EOF
cat >"$work/host/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(host LANGUAGES CXX)
find_package(nsvslorfx 2.0 CONFIG REQUIRED)
add_executable(host host.cc)
target_link_libraries(host PRIVATE nsvslorfx::nsvslorfx)
EOF
host_links_library() {
  cmake -S "$work/host" -B "$work/host-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null &&
    cmake --build "$work/host-build" >/dev/null &&
    [ "$("$work/host-build/host")" = "2.0" ] || return 1
  local flags
  flags=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs nsvslorfx)
  # shellcheck disable=SC2086
  g++ -std=c++17 "$work/host/host.cc" $flags -o "$work/host-pc" &&
    [ "$(LD_LIBRARY_PATH="$prefix/$libdir" "$work/host-pc")" = "2.0" ]
}
check "a host links nsvslorfx through find_package and pkg-config" host_links_library

# read_recording.py's samples of ENTITY against nsinfo --csv's: the count and
# the first values, digit for digit.
python_reads_like_nsinfo() {
  local lib=$1 recording=$2 entity=$3
  python3 "$here/examples/read_recording.py" --lib "$lib" "$recording" "$entity" >"$work/py.txt"
  cat "$work/py.txt"
  "$prefix/bin/nsinfo" --entity "$entity" --csv "$recording" >"$work/entity.csv"
  local count first
  count=$(sed -n "s/^Entity $entity: \([0-9]*\) samples.*/\1/p" "$work/py.txt")
  first=$(sed -n 's/^First values: //p' "$work/py.txt")
  [ -n "$count" ] && [ "$count" -gt 0 ] &&
    [ "$count" -eq "$(($(wc -l <"$work/entity.csv") - 1))" ] &&
    [ "$first" = "$(sed -n '2,6p' "$work/entity.csv" | cut -d, -f3 | paste -sd' ')" ]
}
"$build/tests/write_recordings" "$work" >/dev/null
check "read_recording.py on the demo recording" \
  python_reads_like_nsinfo "$prefix/$libdir/libnsvslorfx.so.2" "$work/demo.orfx" 0
check "read_recording.py on the example's recording" \
  python_reads_like_nsinfo "$prefix/$libdir/libnsvslorfx.so.2" "$work/rec.orfx" 0

# The Debian packages.
mapfile -t debs < <("$here/scripts/package.sh")
echo "packages: ${debs[*]##*/}"
if [ "$(id -u)" -eq 0 ]; then
  if dpkg-query -W -f='${Status}' nsvslorfx 2>/dev/null | grep -q 'install ok installed'; then
    echo "install-test: nsvslorfx is installed already; not replacing it"
    failed=$((failed + 1))
  else
    installed_debs=true
    check "dpkg -i both packages" dpkg -i "${debs[@]}"
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    packaged_nsinfo() {
      /usr/bin/nsinfo --items 0 "$work/rec.orfx" >"$work/packaged.txt"
      grep "^Library: " "$work/packaged.txt"
      grep -q "^Library: */usr/bin/\.\./lib/$multiarch/libnsvslorfx.so.2$" "$work/packaged.txt" &&
        recording_reads_back "$work/record.txt" "$work/rec.orfx" /usr/bin/nsinfo
    }
    check "installed nsinfo reads the example's recording" packaged_nsinfo
    # The system's loader finds the library by its SONAME, as a host does.
    check "read_recording.py with the packaged library" \
      python_reads_like_nsinfo libnsvslorfx.so.2 "$work/demo.orfx" 1
    record_against_system() {
      cmake -S "$here/examples/record" -B "$work/record-system" >/dev/null &&
        cmake --build "$work/record-system" >/dev/null &&
        "$work/record-system/record" "$work/rec-system.orfx" 1 >"$work/record-system.txt" &&
        recording_reads_back "$work/record-system.txt" "$work/rec-system.orfx" /usr/bin/nsinfo
    }
    check "examples/record built against the packages" record_against_system
    purge_packages() {
      dpkg -P nsvslorfx-dev nsvslorfx && ! dpkg-query -W nsvslorfx nsvslorfx-dev 2>/dev/null &&
        [ ! -e /usr/bin/nsinfo ]
    }
    check "dpkg -P both packages leaves no trace of them" purge_packages
    installed_debs=false
  fi
else
  package_contents() {
    local deb
    for deb in "${debs[@]}"; do dpkg-deb --contents "$deb"; done >"$work/contents.txt"
    local path
    for path in /usr/bin/nsinfo /usr/bin/nsconvert libnsvslorfx.so.2.0 libvslk64.a \
      /usr/include/vslk64/kel64_file.h /usr/include/nsvslorfx/ns_api.h vslk64Config.cmake \
      nsvslorfxConfig.cmake vslk64.pc nsvslorfx.pc; do
      grep -q "$path" "$work/contents.txt" || { echo "missing: $path"; return 1; }
    done
    if command -v lintian >/dev/null; then lintian "${debs[@]}" || true; fi
  }
  check "package contents (not root: not installed)" package_contents
fi

echo "install-test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
