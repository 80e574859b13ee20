#include "neuroshare/ns_read_cache.h"

#include <memory>
#include <vector>

#include "platform/no_destructor.h"

namespace nsv {
namespace {

struct TNsCachedChunk {
  const vslk64::CKel64File* file = nullptr;
  int64_t entity = -1;  // -1: the entry is empty
  TNsChunk chunk;
  uint64_t lastUse = 0;  // 0 while empty, so empty entries are taken first
  std::unique_ptr<vslk64::TSTime64[]> times;  // kNsChunkItems, made on first use
};

struct TNsReadCache {
  TNsScratch scratch;
  TNsCachedChunk entries[kNsCachedChunks];
  uint64_t clock = 0;
  std::vector<float> analog;  // NsAnalogScratch
};

// Never destroyed: the unload hook may close files after static objects are
// gone; it frees what the cache holds with NsReleaseReadCache.
TNsReadCache& Cache() {
  static platform::NoDestructor<TNsReadCache> cache;
  return cache.get();
}

void Forget(TNsCachedChunk& entry) {
  entry.file = nullptr;
  entry.entity = -1;
  entry.chunk = TNsChunk();
  entry.lastUse = 0;
}

}  // namespace

TNsScratch& NsScratchForScan() { return Cache().scratch; }

void NsDropReadCache() {
  for (TNsCachedChunk& entry : Cache().entries) Forget(entry);
}

void NsReleaseReadCache() {
  TNsReadCache& cache = Cache();
  for (TNsCachedChunk& entry : cache.entries) {
    Forget(entry);
    entry.times.reset();
  }
  std::vector<float>().swap(cache.analog);
}

float* NsAnalogScratch(size_t samples) {
  std::vector<float>& analog = Cache().analog;
  if (analog.size() < samples) analog.resize(samples);
  return analog.data();
}

void NsDropReadCacheOf(const vslk64::CKel64File* file) {
  for (TNsCachedChunk& entry : Cache().entries) {
    if (entry.entity >= 0 && entry.file == file) Forget(entry);
  }
}

const vslk64::CKel64File* NsReadCacheOwner() {
  const TNsCachedChunk* newest = nullptr;
  for (const TNsCachedChunk& entry : Cache().entries) {
    if (entry.entity >= 0 && (!newest || entry.lastUse > newest->lastUse)) newest = &entry;
  }
  return newest ? newest->file : nullptr;
}

const vslk64::TSTime64* NsChunkTimes(TNsFile& file, const TNsEntity& entity,
                                     const TNsChunk& chunk) {
  TNsReadCache& cache = Cache();
  TNsCachedChunk* victim = &cache.entries[0];
  for (TNsCachedChunk& entry : cache.entries) {
    if (entry.entity == entity.id && entry.file == file.file.get() && entry.chunk == chunk) {
      entry.lastUse = ++cache.clock;
      return entry.times.get();
    }
    if (entry.lastUse < victim->lastUse) victim = &entry;
  }
  Forget(*victim);
  if (!victim->times) victim->times.reset(new vslk64::TSTime64[kNsChunkItems]);
  vslk64::TSTime64* times = victim->times.get();
  // Chunks end before the reads' open end, so lastTime + 1 cannot overflow.
  const int n = file.file->ReadEvents(entity.chan, times, kNsChunkItems, chunk.firstTime,
                                      chunk.lastTime + 1, &entity.filter);
  if (n < 1 || static_cast<uint32_t>(n) != chunk.count || times[0] != chunk.firstTime ||
      times[n - 1] != chunk.lastTime) {
    NsDropReadCache();
    return nullptr;
  }
  victim->file = file.file.get();
  victim->entity = entity.id;
  victim->chunk = chunk;
  victim->lastUse = ++cache.clock;
  return times;
}

}  // namespace nsv
