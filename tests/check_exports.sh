#!/usr/bin/env bash
# Checks that the library exports exactly the seventeen Neuroshare functions,
# under their plain names, and no other symbol: the dynamic symbol table of a
# shared object, or the export table of a Windows DLL. A DLL (and each program
# listed in NSV_PROGRAMS) must also import from Windows' own DLLs only, the
# C++ runtime, libgcc and winpthread being linked in.
#   check_exports.sh LIBRARY        (OBJDUMP names the PE objdump for a DLL)
set -euo pipefail
lib=$1
expected="ns_CloseFile ns_GetAnalogData ns_GetAnalogInfo ns_GetEntityInfo ns_GetEventData
ns_GetEventInfo ns_GetFileInfo ns_GetIndexByTime ns_GetLastErrorMsg ns_GetLibraryInfo
ns_GetNeuralData ns_GetNeuralInfo ns_GetSegmentData ns_GetSegmentInfo
ns_GetSegmentSourceInfo ns_GetTimeByIndex ns_OpenFile"
want=$(echo $expected | tr ' ' '\n' | sort)

case "$lib" in
  *.dll|*.DLL)
    objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
    # The name-pointer table lists one "[ordinal] name" line per export.
    actual=$("$objdump" -p "$lib" |
      awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && /^[ \t]*\[/ {print $NF; next}
           on {on = 0}' | sort)
    # Windows' own DLLs: the system's KERNEL32 and the C runtime it ships.
    for image in "$lib" ${NSV_PROGRAMS:-}; do
      imports=$("$objdump" -p "$image" | awk '/DLL Name:/ {print $3}' | sort -u)
      foreign=$(echo "$imports" | grep -viE '^(kernel32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$' || true)
      if [ -n "$foreign" ]; then
        echo "$(basename "$image") needs DLLs that Windows does not ship:" $foreign
        exit 1
      fi
      echo "$(basename "$image") imports:" $imports
    done
    ;;
  *)
    actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v '^$' | sort)
    ;;
esac
if [ "$actual" != "$want" ]; then
  echo "exported symbols differ from the seventeen ns_ functions:"
  diff <(echo "$want") <(echo "$actual") || true
  exit 1
fi
echo "exports: $(echo "$actual" | wc -l) ns_ functions, nothing else"
