#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs the inspector nsinfo, which
# loads the library as a Neuroshare host does.
#   scripts/run.sh [nsinfo arguments...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh" "$here/build" >/dev/null
exec "$here/build/tools/nsinfo" "$@"
