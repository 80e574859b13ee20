#include "neuroshare/ns_read_cache.h"

namespace nsv {
namespace {

struct TNsReadCache {
  const vslk64::CKel64File* file = nullptr;
  int64_t entity = -1;  // -1: the cache is empty
  TNsChunk chunk;
  TNsScratch scratch;
};

TNsReadCache g_cache;

}  // namespace

TNsScratch& NsScratchForScan() {
  NsDropReadCache();
  return g_cache.scratch;
}

void NsDropReadCache() {
  g_cache.file = nullptr;
  g_cache.entity = -1;
  g_cache.chunk = TNsChunk();
}

void NsDropReadCacheOf(const vslk64::CKel64File* file) {
  if (g_cache.entity >= 0 && g_cache.file == file) NsDropReadCache();
}

const vslk64::CKel64File* NsReadCacheOwner() {
  return g_cache.entity >= 0 ? g_cache.file : nullptr;
}

const vslk64::TSTime64* NsChunkTimes(TNsFile& file, const TNsEntity& entity,
                                     const TNsChunk& chunk) {
  if (g_cache.entity == entity.id && g_cache.file == file.file.get() && g_cache.chunk == chunk) {
    return g_cache.scratch.times;
  }
  NsDropReadCache();
  vslk64::TSTime64* times = g_cache.scratch.times;
  // Chunks end before the reads' open end, so lastTime + 1 cannot overflow.
  const int n = file.file->ReadEvents(entity.chan, times, kNsChunkItems, chunk.firstTime,
                                      chunk.lastTime + 1, &entity.filter);
  if (n < 1 || static_cast<uint32_t>(n) != chunk.count || times[0] != chunk.firstTime ||
      times[n - 1] != chunk.lastTime) {
    return nullptr;
  }
  g_cache.file = file.file.get();
  g_cache.entity = entity.id;
  g_cache.chunk = chunk;
  return times;
}

}  // namespace nsv
