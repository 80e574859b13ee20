#include "neuroshare/ns_index.h"

#include <algorithm>
#include <cmath>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_read_cache.h"

namespace nsv {
namespace {

using vslk64::TSTime64;

// Sample rules for waveforms: the sample of chunk c nearest to ticks under
// the rule, as an offset from c's first sample (-1: the previous chunk's last
// sample). prev is the previous chunk's last time, -1 before the first.
int64_t SampleOffset(const TNsChunk& c, TSTime64 prev, TSTime64 ticks, int64_t divide,
                     int32_t flag) {
  const TSTime64 d = ticks - c.firstTime;  // negative in the gap before c
  if (d < 0) {
    // Between the previous chunk and this one.
    if (flag == ns_BEFORE) return -1;
    if (flag == ns_AFTER) return 0;
    return ticks - prev < c.firstTime - ticks ? -1 : 0;
  }
  const int64_t q = d / divide;
  const int64_t r = d % divide;
  if (flag == ns_BEFORE) return q;
  if (flag == ns_AFTER) return q + (r != 0 ? 1 : 0);
  // Nearest sample, the later one when both are equally near:
  // floor((d + floor(divide / 2)) / divide), without the sum overflowing.
  return q + (r >= divide - divide / 2 ? 1 : 0);
}

// Item rules: the item of the chunk's times b[0..n-1] nearest to ticks under
// the rule, as an offset from b[0] (-1: the previous chunk's last item).
int64_t ItemOffset(const TSTime64* b, int64_t n, TSTime64 prev, TSTime64 ticks,
                   bool firstChunk, int32_t flag) {
  if (flag == ns_BEFORE) {
    if (ticks < b[0] && !firstChunk) return -1;
    if (ticks >= b[n - 1]) return n - 1;
    // The last item at or before ticks (the first item when ticks is before
    // every item of the entity).
    const int64_t j = std::upper_bound(b + 1, b + n, ticks) - b;
    return j - 1;
  }
  if (flag == ns_AFTER) {
    if (ticks >= b[n - 1]) return n - 1;
    if (ticks <= b[0]) return 0;
    return std::lower_bound(b + 1, b + n, ticks) - b;
  }
  if (ticks < b[0]) return !firstChunk && ticks - prev < b[0] - ticks ? -1 : 0;
  if (ticks >= b[n - 1]) return n - 1;
  const int64_t j = std::lower_bound(b + 1, b + n, ticks) - b;
  return ticks - b[j - 1] < b[j] - ticks ? j - 1 : j;
}

}  // namespace

const TNsChunk* NsChunkOfIndex(const TNsEntity& entity, uint32_t index) {
  const auto& chunks = entity.chunks;
  auto it = std::upper_bound(chunks.begin(), chunks.end(), index,
                             [](uint32_t i, const TNsChunk& c) { return i < c.firstIndex; });
  if (it == chunks.begin()) return nullptr;
  --it;
  return index - it->firstIndex < it->count ? &*it : nullptr;
}

int TimeOfIndex(TNsFile& file, const TNsEntity& entity, uint32_t index, TSTime64& ticks,
                uint32_t* sameTimeBefore) {
  ticks = 0;
  if (sameTimeBefore) *sameTimeBefore = 0;
  if (index >= entity.itemCount) return ns_BADINDEX;
  const TNsChunk* chunk = NsChunkOfIndex(entity, index);
  if (chunk == nullptr) return ns_FILEERROR;  // the index does not cover its own count
  const uint32_t at = index - chunk->firstIndex;
  if (NsIsWaveKind(entity.kind)) {
    // Within the chunk, so no overflow: the scan worked out its last time.
    ticks = chunk->firstTime + entity.divide * at;
    return 0;
  }
  const TSTime64* times = NsChunkTimes(file, entity, *chunk);
  if (times == nullptr) return ns_FILEERROR;
  ticks = times[at];
  if (sameTimeBefore) {
    // Runs of one time never cross a chunk boundary (the scan sees to that).
    uint32_t first = at;
    while (first > 0 && times[first - 1] == ticks) --first;
    *sameTimeBefore = at - first;
  }
  return 0;
}

int IndexOfTime(TNsFile& file, const TNsEntity& entity, double seconds, int32_t flag,
                uint32_t* index) {
  if (index) *index = 0;
  if (!(seconds >= 0.0)) return ns_BADINDEX;  // negative, or not a number
  // Times at or beyond the file's span are taken as its last tick, kept in
  // ticks: the span in seconds divided back may fall just below that tick.
  // Otherwise the floor of the quotient, not the nearest tick: 1.001 s at
  // 1 us ticks is tick 1000999, since the quotient falls just below 1001000.
  TSTime64 ticks = file.spanTicks;
  if (seconds < file.timeSpan) {
    const double quotient = std::floor(seconds / file.secsPerTick);
    ticks = quotient < static_cast<double>(vslk64::kMaxTime64) ? static_cast<TSTime64>(quotient)
                                                               : vslk64::kMaxTime64;
  }

  // The first chunk whose last time is at or after ticks; ticks then lies
  // after the previous chunk's last time.
  const auto& chunks = entity.chunks;
  auto it = std::lower_bound(chunks.begin(), chunks.end(), ticks,
                             [](const TNsChunk& c, TSTime64 x) { return c.lastTime < x; });
  if (it == chunks.end()) return ns_BADINDEX;  // after the last item, or no items at all
  const TNsChunk& c = *it;
  const bool firstChunk = it == chunks.begin();
  const TSTime64 prev = firstChunk ? -1 : (it - 1)->lastTime;

  int64_t offset;
  if (NsIsWaveKind(entity.kind)) {
    offset = SampleOffset(c, prev, ticks, entity.divide, flag);
  } else {
    const TSTime64* times = NsChunkTimes(file, entity, c);
    if (times == nullptr) return ns_FILEERROR;
    offset = ItemOffset(times, c.count, prev, ticks, firstChunk, flag);
  }
  // Before the entity's first sample there is nothing earlier to give.
  int64_t found = static_cast<int64_t>(c.firstIndex) + offset;
  if (found < 0) found = 0;
  if (found >= static_cast<int64_t>(entity.itemCount)) found = entity.itemCount - 1;
  if (index) *index = static_cast<uint32_t>(found);
  return 0;
}

}  // namespace nsv
