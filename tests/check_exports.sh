#!/usr/bin/env bash
# Checks that the shared object's dynamic symbol table defines exactly the
# seventeen Neuroshare functions and no other symbol.
set -euo pipefail
lib=$1
expected="ns_CloseFile ns_GetAnalogData ns_GetAnalogInfo ns_GetEntityInfo ns_GetEventData
ns_GetEventInfo ns_GetFileInfo ns_GetIndexByTime ns_GetLastErrorMsg ns_GetLibraryInfo
ns_GetNeuralData ns_GetNeuralInfo ns_GetSegmentData ns_GetSegmentInfo
ns_GetSegmentSourceInfo ns_GetTimeByIndex ns_OpenFile"
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v '^$' | sort)
want=$(echo $expected | tr ' ' '\n' | sort)
if [ "$actual" != "$want" ]; then
  echo "exported symbols differ from the seventeen ns_ functions:"
  diff <(echo "$want") <(echo "$actual") || true
  exit 1
fi
echo "exports: $(echo "$actual" | wc -l) ns_ functions, nothing else"
