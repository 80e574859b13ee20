#include "neuroshare/ns_read_cache.h"

#include <list>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/no_destructor.h"

namespace nsv {
namespace {

// A chunk is named by its file, its entity and its first index: the chunks
// of one entity never share a first index. The rest of the chunk is kept in
// the entry and compared, so a chunk that differs in any field is a miss.
struct TNsChunkKey {
  const vslk64::CKel64File* file;
  uint32_t entity;
  uint32_t firstIndex;

  bool operator==(const TNsChunkKey& o) const {
    return file == o.file && entity == o.entity && firstIndex == o.firstIndex;
  }
};

struct TNsChunkKeyHash {
  size_t operator()(const TNsChunkKey& k) const {
    const uint64_t a = reinterpret_cast<uintptr_t>(k.file);
    const uint64_t b = (uint64_t{k.entity} << 32) | k.firstIndex;
    // Two multiply-xorshift rounds mix the fields into every bit.
    uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
    return static_cast<size_t>(h);
  }
};

struct TNsCachedChunk {
  TNsChunkKey key;
  TNsChunk chunk;
  std::vector<vslk64::TSTime64> times;
};

using TNsLru = std::list<TNsCachedChunk>;  // most recently used first

struct TNsReadCache {
  TNsScratch scratch;
  TNsLru lru;
  std::unordered_map<TNsChunkKey, TNsLru::iterator, TNsChunkKeyHash> where;
  size_t bytes = 0;
  size_t budget = kNsReadCacheBytes;
};

// Never destroyed: the unload hook may close files after static objects are
// gone; it frees what the cache holds with NsReleaseReadCache.
TNsReadCache& Cache() {
  static platform::NoDestructor<TNsReadCache> cache;
  return cache.get();
}

size_t EntryBytes(const TNsCachedChunk& entry) {
  return entry.times.size() * sizeof(vslk64::TSTime64);
}

void Erase(TNsReadCache& cache, TNsLru::iterator it) {
  cache.bytes -= EntryBytes(*it);
  cache.where.erase(it->key);
  cache.lru.erase(it);
}

// Least recently used chunks go until the rest fit, keeping the newest.
void Trim(TNsReadCache& cache) {
  while (cache.bytes > cache.budget && cache.lru.size() > 1) {
    Erase(cache, std::prev(cache.lru.end()));
  }
}

}  // namespace

TNsScratch& NsScratchForScan() { return Cache().scratch; }

void NsDropReadCache() {
  TNsReadCache& cache = Cache();
  cache.lru.clear();
  cache.where.clear();
  cache.bytes = 0;
}

void NsReleaseReadCache() {
  NsDropReadCache();
  // clear() keeps the hash table's buckets; a fresh table holds none.
  decltype(TNsReadCache::where)().swap(Cache().where);
}

void NsDropReadCacheOf(const vslk64::CKel64File* file) {
  TNsReadCache& cache = Cache();
  for (auto it = cache.lru.begin(); it != cache.lru.end();) {
    const auto next = std::next(it);
    if (it->key.file == file) Erase(cache, it);
    it = next;
  }
}

const vslk64::CKel64File* NsReadCacheOwner() {
  const TNsReadCache& cache = Cache();
  return cache.lru.empty() ? nullptr : cache.lru.front().key.file;
}

size_t NsReadCacheBytes() { return Cache().bytes; }

size_t NsReadCacheBudget() { return Cache().budget; }

void NsSetReadCacheBudget(size_t bytes) {
  TNsReadCache& cache = Cache();
  cache.budget = bytes;
  Trim(cache);
}

const vslk64::TSTime64* NsChunkTimes(TNsFile& file, const TNsEntity& entity,
                                     const TNsChunk& chunk) {
  TNsReadCache& cache = Cache();
  const TNsChunkKey key{file.file.get(), entity.id, chunk.firstIndex};
  const auto found = cache.where.find(key);
  if (found != cache.where.end()) {
    const TNsLru::iterator it = found->second;
    if (it->chunk == chunk) {
      cache.lru.splice(cache.lru.begin(), cache.lru, it);
      return it->times.data();
    }
    Erase(cache, it);
  }

  // The chunk holds at most a read's worth of items (the scan made it).
  if (chunk.count == 0 || chunk.count > static_cast<uint32_t>(kNsChunkItems)) {
    NsDropReadCache();
    return nullptr;
  }
  std::vector<vslk64::TSTime64> times(chunk.count + 1);
  // Chunks end before the reads' open end, so lastTime + 1 cannot overflow.
  // One item more than the chunk holds is asked for, so that a chunk that
  // has grown is seen as changed.
  const int n = file.file->ReadEvents(entity.chan, times.data(), static_cast<int>(chunk.count + 1),
                                      chunk.firstTime, chunk.lastTime + 1, &entity.filter);
  if (n < 1 || static_cast<uint32_t>(n) != chunk.count || times[0] != chunk.firstTime ||
      times[n - 1] != chunk.lastTime) {
    NsDropReadCache();
    return nullptr;
  }
  times.pop_back();
  cache.lru.push_front(TNsCachedChunk{key, chunk, std::move(times)});
  cache.where.emplace(key, cache.lru.begin());
  cache.bytes += EntryBytes(cache.lru.front());
  Trim(cache);
  return cache.lru.front().times.data();
}

}  // namespace nsv
