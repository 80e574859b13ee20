// Conversions between an entity's item index and tick time, through the
// chunk index built at open (ns_catalogue.h).
//
// Waveform entities compute sample times from a chunk's first time and the
// divide; all others take item times from the chunk read through the read
// cache (ns_read_cache.h), so a lookup costs at most one read of
// kNsChunkItems times and consecutive lookups in one chunk cost none. Chunks
// are found by bisection. Callers hold the library lock (ns_call.h).
#pragma once

#include <cstdint>

#include "neuroshare/ns_entity.h"
#include "neuroshare/ns_file.h"

namespace nsv {

// The chunk that holds item index, or null when no chunk does.
const TNsChunk* NsChunkOfIndex(const TNsEntity& entity, uint32_t index);

// The tick time of item index: 0, ns_BADINDEX (index at or beyond the item
// count) or ns_FILEERROR (the chunk read does not match the index). When
// sameTimeBefore is given it receives how many items of the entity before
// index share its time (always 0 for waveforms): reads by time start at the
// first of them, and the caller steps over that many.
int TimeOfIndex(TNsFile& file, const TNsEntity& entity, uint32_t index,
                vslk64::TSTime64& ticks, uint32_t* sameTimeBefore = nullptr);

// The index of the item at time seconds under rule flag (ns_BEFORE,
// ns_AFTER, anything else closest): 0, ns_BADINDEX (time negative, not a
// number, or after the entity's last item) or ns_FILEERROR. index (when not
// null) is 0 on failure.
int IndexOfTime(TNsFile& file, const TNsEntity& entity, double seconds, int32_t flag,
                uint32_t* index);

}  // namespace nsv
