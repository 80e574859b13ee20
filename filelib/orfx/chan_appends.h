// The typed item appends a channel hands to CKel64Chan::AppendItemsLocked,
// over the bytes of the items. Used by the channel classes (channel_write.cc,
// event_channel.cc, ext_mark_channel.cc) and nothing else.
#pragma once

#include <cstdint>

#include "filelib/kel64_types.h"
#include "filelib/orfx/data_block.h"

namespace vslk64 {

inline int AddEventItems(CDataBlock& b, const uint8_t*& in, uint64_t k) {
  const TSTime64* p = reinterpret_cast<const TSTime64*>(in);
  const int r = b.AddEvents(p, k);
  in = reinterpret_cast<const uint8_t*>(p);
  return r;
}
inline int AddMarkerItems(CDataBlock& b, const uint8_t*& in, uint64_t k) {
  const TMarker* p = reinterpret_cast<const TMarker*>(in);
  const int r = b.AddMarkers(p, k);
  in = reinterpret_cast<const uint8_t*>(p);
  return r;
}
inline int AddExtMarkItems(CDataBlock& b, const uint8_t*& in, uint64_t k) {
  return b.AddExtMarks(in, k);
}

}  // namespace vslk64
