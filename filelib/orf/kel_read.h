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

// KelGetRealWaveData (without a filter) with the values widened to double:
// each is exactly the float KelGetRealWaveData delivers, converted straight
// from the block into the caller's buffer.
int KelGetWaveDoubles(int f, int c, double* values, int max, int32_t tFrom, int32_t tTo,
                      int32_t* firstTime);

// Receives the stretches KelGetWaveRuns finds: the time of the first sample
// and the sample count.
class CKelRunSink {
 public:
  virtual bool Put(int32_t first, uint32_t count) = 0;

 protected:
  ~CKelRunSink() = default;
};

// The stretches of contiguous samples of a kind 1 or 9 channel from the
// first sample at or after tFrom, as successive KelGetWaveData calls from
// tFrom to the end of time would deliver them if their buffers never filled
// (each call starting one divide after the last sample of the one before),
// found from the block headers alone (kel_wave_runs.cc). The status a read
// of the same blocks gives, 0 at the end of the data or when the sink stops
// the walk, or kKelWalkByReads when the channel holds blocks in memory,
// whose headers only a block read reaches.
constexpr int kKelWalkByReads = 1;
int KelGetWaveRuns(int f, int c, int32_t tFrom, CKelRunSink& sink);

}  // namespace vslk64
