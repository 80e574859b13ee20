// The item walk behind the ORF event, marker and extended-marker reads,
// open to callers that want the items in a form of their own: TKel32File
// widens them straight into the common interface's records, and the Kel
// read functions (kel_lib.h) copy them out as stored.
#pragma once

#include <cstdint>

#include "filelib/orf/kel_lib.h"

namespace vslk64 {

// Receives each item that a walk delivers, in time order; `item` points at
// the item as stored (i32 time, then for markers four codes and any
// attached data), valid for the call only.
class CKelItemSink {
 public:
  virtual void Put(const uint8_t* item, uint32_t itemBytes, int index) = 0;

 protected:
  ~CKelItemSink() = default;
};

enum class TKelItemRead {
  kEvents,   // kinds 2 to 8
  kMarkers,  // kinds 5 to 8
};

// Walks the channel's items in [tFrom, tTo], up to max of them; the filter
// applies to kinds 5 to 8, and `level` (kinds 2 to 4, may be null) receives
// the level before the first item delivered, or the level at tFrom when none
// is. The count delivered, or a status.
int KelReadItems(int f, int c, TKelItemRead what, int max, int32_t tFrom, int32_t tTo,
                 int* level, const TKelFilter* filter, CKelItemSink& sink);

}  // namespace vslk64
