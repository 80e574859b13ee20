// The library-wide scratch buffer and the read cache that keeps the item
// times of one chunk in it.
//
// The scan at open reads every channel into the scratch buffer, a read's
// worth at a time, and keeps nothing of it. Afterwards the buffer holds the
// item times of the chunk read last (TimeOfIndex, IndexOfTime and the neural
// data read all go through NsChunkTimes), so consecutive lookups within one
// chunk cost no read. The cache is keyed by the file object, the entity and
// the chunk, and is emptied when its file is closed, so that a later file
// object at the same address cannot find stale times. Callers hold the
// library lock (ns_call.h).
#pragma once

#include <cstdint>

#include "filelib/kel64_file.h"
#include "neuroshare/ns_entity.h"
#include "neuroshare/ns_file.h"

namespace nsv {

// Items per read of the scan and of a chunk, and samples per waveform read.
constexpr int kNsChunkItems = 4000;
constexpr int kNsChunkSamples = 32000;

// 64000 bytes, seen as whichever kind of item the current read delivers.
union TNsScratch {
  vslk64::TSTime64 times[kNsChunkItems];
  vslk64::TMarker markers[kNsChunkItems];
  int16_t samples[kNsChunkSamples];
};
static_assert(sizeof(TNsScratch) == 64000, "the scratch buffer holds one read");

// The scratch buffer for a read that is not a chunk's times (the scan); the
// cache is emptied first.
TNsScratch& NsScratchForScan();

// Empties the cache.
void NsDropReadCache();

// Empties the cache when it holds items of this file object.
void NsDropReadCacheOf(const vslk64::CKel64File* file);

// The file object whose item times the cache holds, or null when it is
// empty (for diagnostics and tests).
const vslk64::CKel64File* NsReadCacheOwner();

// The item times of one chunk of a non-waveform entity, in order: from the
// cache, or read into it. Null when the read does not give back the chunk
// as the scan found it (the file changed or the read failed); the cache is
// then empty.
const vslk64::TSTime64* NsChunkTimes(TNsFile& file, const TNsEntity& entity,
                                     const TNsChunk& chunk);

}  // namespace nsv
