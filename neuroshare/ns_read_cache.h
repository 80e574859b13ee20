// The library-wide scratch buffer of the scan at open, and the read cache
// that keeps the item times of the chunks used.
//
// The scan at open reads item channels into the scratch buffer, a read's
// worth at a time, and keeps nothing of it. Afterwards TimeOfIndex,
// IndexOfTime and the neural data read all get a chunk's item times through
// NsChunkTimes. The cache keeps the times of every chunk used until their
// bytes reach a budget shared by every open file (kNsReadCacheBytes unless
// NsSetReadCacheBudget changes it); then the least recently used chunks go
// first. So an entity whose times fit in the budget is read once, whatever
// order the host asks in. Entries are keyed by the file object, the entity
// and the chunk; every entry of a file goes when the file is closed, so that
// a later file object at the same address cannot find stale times, and the
// whole cache goes when a chunk no longer reads back as it was indexed.
// Callers hold the library lock (ns_call.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "filelib/kel64_file.h"
#include "neuroshare/ns_entity.h"
#include "neuroshare/ns_file.h"

namespace nsv {

// Items per read of the scan and of a chunk, and samples per waveform read.
constexpr int kNsChunkItems = 4000;
constexpr int kNsChunkSamples = 32000;
// Bytes of item times the cache keeps for all files together.
constexpr size_t kNsReadCacheBytes = size_t{64} << 20;

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

// Empties the cache and frees its memory (the unload hook).
void NsReleaseReadCache();

// Empties the cache of the items of this file object.
void NsDropReadCacheOf(const vslk64::CKel64File* file);

// A file object whose item times the cache holds (the most recently used),
// or null when it is empty (for diagnostics and tests).
const vslk64::CKel64File* NsReadCacheOwner();

// Bytes of item times held now, and the budget they are kept within. A new
// budget takes effect at once (least recently used chunks go until the rest
// fit); one chunk is always kept, whatever the budget, so that the times
// just read stay valid for their caller.
size_t NsReadCacheBytes();
size_t NsReadCacheBudget();
void NsSetReadCacheBudget(size_t bytes);

// The item times of one chunk of a non-waveform entity, in order: from the
// cache, or read into it. Null when the read does not give back the chunk
// as the scan found it (the file changed or the read failed); the cache is
// then empty. The times stay valid until the next call into the cache.
const vslk64::TSTime64* NsChunkTimes(TNsFile& file, const TNsEntity& entity,
                                     const TNsChunk& chunk);

}  // namespace nsv
