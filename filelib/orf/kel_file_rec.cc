#include "filelib/orf/kel_file_rec.h"

#include <new>

#include "platform/no_destructor.h"

#include "filelib/orf/kel_lib.h"
#include "filelib/orf/kel_status.h"

namespace vslk64 {
namespace {

constexpr int kMaxFiles = 256;

// Records are created on first need and kept for reuse; `count` records
// exist, in slots [0, count). A record's address never changes while it
// exists, so a file number can be resolved without the table lock.
struct TKelTable {
  platform::Mutex lock;
  std::array<std::unique_ptr<TKelFileRec>, kMaxFiles> slots;
  std::atomic<int> count{0};
};

// Never destroyed: the library's unload hook releases the table's records,
// and it may run after the program's static objects are gone.
TKelTable& Table() {
  static platform::NoDestructor<TKelTable> table;
  return table.get();
}

}  // namespace

void KelInitLibrary() { Table(); }

void KelReleaseLibrary() {
  TKelTable& t = Table();
  const int n = t.count.load(std::memory_order_acquire);
  for (int f = 0; f < n; ++f) {
    if (t.slots[f] && t.slots[f]->inUse.load(std::memory_order_acquire)) KelCloseFile(f);
  }
  platform::LockGuard guard(t.lock);
  t.count.store(0, std::memory_order_release);
  for (auto& slot : t.slots) slot.reset();
}

TKelFileRec* KelRecord(int f) {
  TKelTable& t = Table();
  if (f < 0 || f >= t.count.load(std::memory_order_acquire)) return nullptr;
  TKelFileRec* rec = t.slots[static_cast<size_t>(f)].get();
  return rec && rec->inUse.load(std::memory_order_acquire) ? rec : nullptr;
}

TKelFileRec* KelChanRecord(int f, int c, int* status) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) {
    *status = kKelNoFile;
    return nullptr;
  }
  if (c < 0 || c >= rec->ChanCount()) {
    *status = kKelNoChannel;
    return nullptr;
  }
  *status = kKelOk;
  return rec;
}

int KelAcquireSlot(TKelFileRec** out) {
  TKelTable& t = Table();
  platform::LockGuard guard(t.lock);
  const int n = t.count.load(std::memory_order_relaxed);
  int f = 0;
  while (f < n && t.slots[f]->inUse.load(std::memory_order_relaxed)) ++f;
  if (f == n) {
    if (n == kMaxFiles) return kKelNoSlot;
    try {
      t.slots[f] = std::make_unique<TKelFileRec>();
    } catch (const std::bad_alloc&) {
      return kKelNoSlot;
    }
    t.count.store(n + 1, std::memory_order_release);
  }
  TKelFileRec* rec = t.slots[f].get();
  rec->inUse.store(true, std::memory_order_release);
  *out = rec;
  return f;
}

void KelReleaseSlot(TKelFileRec& rec) {
  rec.chans.clear();
  rec.chans.shrink_to_fit();
  rec.chanHeads.clear();
  rec.chanHeads.shrink_to_fit();
  rec.handle.reset();
  rec.buffersAllocated = false;
  rec.modified = false;
  rec.readOnly = true;
  rec.created = false;
  rec.fileEnd = 0;
  rec.fileBytes = 0;
  rec.windowsHeld.store(0, std::memory_order_relaxed);
  rec.diskVersion = 0;
  rec.inUse.store(false, std::memory_order_release);
}

int KelReadAt(TKelFileRec& rec, void* buf, uint32_t n, int64_t pos) {
  if (pos < 0) return kKelNegativePos;
  if (pos >= orf::kPosLimit || pos + static_cast<int64_t>(n) - 1 >= orf::kPosLimit)
    return kKelOutOfRange;
  if (!rec.handle) return kKelNoFile;
  platform::LockGuard guard(rec.fileLock);
  return platform::ReadFully(*rec.handle, buf, n, pos) == platform::TransferResult::kOk
             ? kKelOk
             : kKelRead;
}

}  // namespace vslk64
