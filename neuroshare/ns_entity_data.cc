// Reading entity data, and the conversions between index and time.
#include "neuroshare/ns_entity_data.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "neuroshare/ns_index.h"
#include "neuroshare/ns_item_reads.h"
#include "neuroshare/ns_read_cache.h"

namespace nsv {
namespace {

using vslk64::TSTime64;

// Samples asked for in one waveform read of ns_GetAnalogData: large enough
// that a read walks many blocks at a time. The read converts straight into
// the host's buffer, so the size costs no memory of ours.
constexpr uint32_t kAnalogReadSamples = 1u << 18;

}  // namespace

ns_RESULT NsEventData(TNsFile& file, TNsEntity& entity, uint32_t index, double* timeStamp,
                      void* data, uint32_t dataSize, uint32_t* dataRetSize) {
  TSTime64 t;
  uint32_t sameTimeBefore;
  const int found = TimeOfIndex(file, entity, index, t, &sameTimeBefore);
  if (found != 0) return found;
  switch (entity.kind) {
    case vslk64::EventA:
    case vslk64::EventB:
    case vslk64::Level:
      return ReadEventItem(file, entity, t, sameTimeBefore, timeStamp, data, dataSize,
                           dataRetSize);
    default:  // Marker, RealMark, TextMark
      return ReadMarkItem(file, entity, t, sameTimeBefore, timeStamp, data, dataSize,
                          dataRetSize, nullptr);
  }
}

ns_RESULT NsSegmentData(TNsFile& file, TNsEntity& entity, uint32_t index, double* timeStamp,
                        double* data, uint32_t dataBufferSize, uint32_t* sampleCount,
                        uint32_t* unitId) {
  TSTime64 t;
  uint32_t sameTimeBefore;
  const int found = TimeOfIndex(file, entity, index, t, &sameTimeBefore);
  if (found != 0) return found;
  return ReadMarkItem(file, entity, t, sameTimeBefore, timeStamp, data, dataBufferSize,
                      sampleCount, unitId);
}

ns_RESULT NsNeuralData(TNsFile& file, TNsEntity& entity, uint32_t startIndex,
                       uint32_t indexCount, double* data) {
  TSTime64 t;
  const int found = TimeOfIndex(file, entity, startIndex, t);
  if (found != 0) return found;
  // The unit's times are those of its chunks, read through the cache one
  // chunk at a time. Fewer items than asked for may remain: only those are
  // written, and the rest of the host's array is left as it was.
  const uint32_t count = std::min(indexCount, entity.itemCount - startIndex);
  uint32_t done = 0;
  while (done < count) {
    const uint32_t index = startIndex + done;
    const TNsChunk* chunk = NsChunkOfIndex(entity, index);
    if (chunk == nullptr) return ns_FILEERROR;
    const TSTime64* times = NsChunkTimes(file, entity, *chunk);
    if (times == nullptr) return ns_FILEERROR;
    const uint32_t at = index - chunk->firstIndex;
    const uint32_t take = std::min(chunk->count - at, count - done);
    for (uint32_t i = 0; i < take; ++i) {
      data[done + i] = static_cast<double>(times[at + i]) * file.secsPerTick;
    }
    done += take;
  }
  return ns_OK;
}

ns_RESULT NsAnalogData(TNsFile& file, TNsEntity& entity, uint32_t startIndex,
                       uint32_t indexCount, uint32_t* contCount, double* data) {
  if (contCount) *contCount = 0;
  TSTime64 t;
  const int found = TimeOfIndex(file, entity, startIndex, t);
  if (found != 0) return found;
  // One run of contiguous samples from t, read in large pieces straight
  // into the host's buffer: each piece must start exactly where the
  // previous one ended, or there is a gap.
  const uint32_t wanted = std::min(indexCount, entity.itemCount - startIndex);
  uint32_t done = 0;
  TSTime64 next = t;
  while (done < wanted) {
    const uint32_t ask = std::min<uint32_t>(wanted - done, kAnalogReadSamples);
    TSTime64 first = 0;
    const int n = file.file->ReadWaveD(entity.chan, data + done, static_cast<int>(ask), next,
                                       vslk64::kMaxTime64, &first);
    if (n < 0 || static_cast<uint32_t>(n) > ask) return ns_FILEERROR;
    if (n == 0 || first != next) break;  // the run ended where the last piece did
    done += static_cast<uint32_t>(n);
    if (static_cast<uint32_t>(n) < ask) break;  // stopped at a gap
    TSTime64 span;
    if (__builtin_mul_overflow(static_cast<TSTime64>(n), entity.divide, &span) ||
        __builtin_add_overflow(next, span, &next)) {
      break;
    }
  }
  // The index promises a sample at t; finding none means the file no longer
  // holds what it held at open.
  if (done == 0) return ns_FILEERROR;
  if (contCount) *contCount = done;
  return ns_OK;
}

ns_RESULT NsTimeByIndex(TNsFile& file, TNsEntity& entity, uint32_t index, double* time) {
  TSTime64 ticks;
  const int found = TimeOfIndex(file, entity, index, ticks);
  if (found == 0 && time != nullptr) *time = static_cast<double>(ticks) * file.secsPerTick;
  return found;
}

ns_RESULT NsIndexByTime(TNsFile& file, TNsEntity& entity, double time, int32_t flag,
                        uint32_t* index) {
  return IndexOfTime(file, entity, time, flag, index);
}

}  // namespace nsv
