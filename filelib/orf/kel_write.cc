// Writing ORF channel data: disk writes, block addresses (fresh space or a
// deleted channel's reusable chain), the ring of memory-held blocks,
// appending items and samples, overwriting stored samples and editing a
// stored marker. See kel_write.h for the rules that keep chains complete.
#include "filelib/orf/kel_write.h"

#include "filelib/corruption.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "filelib/kel64_types.h"
#include "filelib/le.h"
#include "filelib/orf/kel_block.h"
#include "filelib/orf/kel_lib.h"

namespace vslk64 {

using orf::kBlockHeadSize;

int KelWriteAt(TKelFileRec& rec, const void* buf, uint32_t n, int64_t pos) {
  if (rec.readOnly) return kKelReadOnly;
  if (pos < 0) return kKelNegativePos;
  if (pos >= orf::kPosLimit || pos + static_cast<int64_t>(n) - 1 >= orf::kPosLimit)
    return kKelOutOfRange;
  if (!rec.handle) return kKelNoFile;
  platform::LockGuard guard(rec.fileLock);
  if (platform::WriteFully(*rec.handle, buf, n, pos) != platform::TransferResult::kOk)
    return kKelWrite;
  rec.fileBytes = std::max(rec.fileBytes, pos + static_cast<int64_t>(n));
  return kKelOk;
}

int64_t FirstBlockAddr(const TKelFileRec& rec) {
  constexpr int64_t kPage = 4096;
  const int64_t first = le::GetI32(rec.head + orf::kHFirstDataAddr);
  if (rec.Large()) {
    constexpr int64_t units = kPage / orf::kAddrUnit;
    return (first + units - 1) / units * units;
  }
  return (first + kPage - 1) / kPage * kPage;
}

TKelFileRec* WritableRecord(int f, int c, int* status) {
  TKelFileRec* rec = KelRecord(f);
  *status = kKelOk;
  if (!rec) {
    *status = kKelNoFile;
  } else if (c < 0 || c >= rec->ChanCount()) {
    *status = kKelNoChannel;
  } else if (rec->readOnly) {
    *status = kKelReadOnly;
  }
  return *status == kKelOk ? rec : nullptr;
}

void DropReadState(TKelFileRec& rec, int c) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  DropReadAhead(rec, rt);
  rt.bufferAddr = orf::kNoBlock;
  rt.recentAddr = orf::kNoBlock;
}

void ResetChanWriter(TKelFileRec& rec, int c) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  DropReadState(rec, c);
  rt.lookup.Clear();
  rt.memBlocks.clear();
  rt.memUsed = 0;
  rt.memOldest = 0;
  rt.memOldestStart = -1;
  rt.memWanted = 1;
  rt.saving = true;
  rt.switches.clear();
  rt.latestTime = -1;
  rt.lastNextOpen = false;
  rt.reservedNext = orf::kNoBlock;
}

namespace {

platform::Mutex& ChanLock(TKelFileRec& rec, int c) {
  return rec.chanLocks[static_cast<size_t>(c)];
}

int32_t MemRef(int slot) { return static_cast<int32_t>(0x80000000u + static_cast<uint32_t>(slot)); }

uint16_t ChanField(int c, bool levelBit) {
  const unsigned n = static_cast<unsigned>(c) + 1;
  return static_cast<uint16_t>((n & 0xFF) | ((n & 0x100) << 1) | (levelBit ? orf::kLevelBit : 0));
}

bool AnyToStore(const TKelMemBlock& b, int count) {
  return std::any_of(b.store.begin(), b.store.begin() + count, [](uint8_t s) { return s != 0; });
}

int ItemCount(const TKelMemBlock& b) { return le::GetU16(b.image.data() + orf::kBItemCount); }

uint32_t BlockUnits(const TKelFileRec& rec, uint32_t blockBytes) {
  return rec.Large() ? (blockBytes + orf::kAddrUnit - 1) / orf::kAddrUnit : blockBytes;
}

// A disk address for a new block of channel c: the head of its reusable
// chain, else fileEnd, which grows by the block.
int AllocateAddr(TKelFileRec& rec, int c, int32_t* addr) {
  uint8_t* ch = rec.ChanHead(c);
  const int32_t reuse = le::GetI32(ch + orf::kCNextDeleted);
  const uint32_t deleted = orf::ChanDeletedCount(ch);
  if (deleted > 0 && reuse > 0 && !orf::IsMemRef(reuse) && !rec.BeyondFile(reuse)) {
    uint8_t link[8];
    const int st = KelReadAt(rec, link, sizeof link, rec.AddrToPos(reuse));
    if (st != kKelOk) return st;
    int32_t next = le::GetI32(link + orf::kBNext);
    const uint32_t left = deleted - 1;
    if (left == 0 || next <= 0 || orf::IsMemRef(next) || rec.BeyondFile(next)) next = orf::kNoBlock;
    le::PutI32(ch + orf::kCNextDeleted, next);
    const uint32_t count = next == orf::kNoBlock ? 0 : left;
    le::PutU16(ch + orf::kCDeletedCount, static_cast<uint16_t>(count));
    le::PutU8(ch + orf::kCDeletedCountHigh, static_cast<uint8_t>(count >> 16));
    rec.modified = true;
    *addr = reuse;
    return kKelOk;
  }
  const int64_t end = rec.fileEnd + BlockUnits(rec, orf::ChanBlockBytes(ch));
  // Addresses are signed 32-bit; below version 9 they are byte positions.
  if (end > INT32_MAX) return kKelOutOfRange;
  *addr = static_cast<int32_t>(rec.fileEnd);
  rec.fileEnd = end;
  return kKelOk;
}

// Points the channel's last block on disk at `next`, when its nextBlock
// still ends the chain.
int LinkLastBlock(TKelFileRec& rec, int c, int32_t next) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  const int32_t last = rt.lastBlock;
  if (last <= 0 || orf::IsMemRef(last)) return kKelOk;
  if (le::GetU16(rec.head + orf::kHLinksComplete) != 1) return kKelOk;
  const int64_t pos = rec.AddrToPos(last);
  if (!rt.lastNextOpen) {
    uint8_t link[8];
    const int st = KelReadAt(rec, link, sizeof link, pos);
    if (st != kKelOk) return st;
    if (le::GetI32(link + orf::kBNext) != orf::kNoBlock) return kKelOk;
  }
  uint8_t field[4];
  le::PutI32(field, next);
  const int st = KelWriteAt(rec, field, sizeof field, pos + orf::kBNext);
  if (st != kKelOk) return st;
  // A copy still held in memory must say the same when it is rewritten.
  for (int k = 0; k < rt.memUsed; ++k) {
    TKelMemBlock& b = MemAt(rt, k);
    if (b.diskAddr == last) le::PutI32(b.image.data() + orf::kBNext, next);
  }
  return kKelOk;
}

// Takes fresh space at fileEnd for the channel's next block, so that the
// block written now can name its successor (a reusable chain is not used
// for this: its blocks lie below the chain's end and would read as data
// should the successor never be written).
bool ReserveNext(TKelFileRec& rec, int c) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  if (rt.reservedNext != orf::kNoBlock) return true;
  const uint8_t* ch = rec.ChanHead(c);
  if (orf::ChanDeletedCount(ch) > 0 || le::GetU16(rec.head + orf::kHLinksComplete) != 1)
    return false;
  const int64_t end = rec.fileEnd + BlockUnits(rec, orf::ChanBlockBytes(ch));
  if (end > INT32_MAX) return false;
  rt.reservedNext = static_cast<int32_t>(rec.fileEnd);
  rec.fileEnd = end;
  return true;
}

// Writes a memory-held block to the disk when it holds items to store (or
// was stored before and changed since). On its first write it takes an
// address and joins the end of the channel's chain. `more`: data will
// follow, so the last block of the chain names its successor in advance.
int WriteOut(TKelFileRec& rec, int c, TKelMemBlock& b, bool more) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  const int count = ItemCount(b);
  if (!b.writtenOnce && (count == 0 || !AnyToStore(b, count))) return kKelOk;
  if (b.writtenOnce && !b.modified) return kKelOk;
  uint8_t* img = b.image.data();
  const uint32_t blockBytes = static_cast<uint32_t>(b.image.size());
  bool linked = false;
  if (b.diskAddr == orf::kNoBlock) {
    if (rt.reservedNext != orf::kNoBlock) {
      // The chain's last block already names this address.
      b.diskAddr = rt.reservedNext;
      rt.reservedNext = orf::kNoBlock;
      linked = true;
    } else {
      int32_t addr;
      const int st = AllocateAddr(rec, c, &addr);
      if (st != kKelOk) return st;
      b.diskAddr = addr;
    }
  }
  const bool last = !b.writtenOnce || b.diskAddr == rt.lastBlock;
  if (!b.writtenOnce) {
    le::PutI32(img + orf::kBPrev, rt.lastBlock);
    le::PutI32(img + orf::kBNext, orf::kNoBlock);
  }
  if (more && last && ReserveNext(rec, c)) le::PutI32(img + orf::kBNext, rt.reservedNext);
  const int64_t pos = rec.AddrToPos(b.diskAddr);
  // Below version 9 a position must fit the format's signed 32 bits.
  if (!rec.Large() && pos + blockBytes - 1 > INT32_MAX) return kKelOutOfRange;
  DropReadState(rec, c);
  int st = KelWriteAt(rec, img, blockBytes, pos);
  if (st != kKelOk) return st;
  const TKelBlockHead h = DecodeBlockHead(img);
  if (!b.writtenOnce) {
    if (!linked) {
      st = LinkLastBlock(rec, c, b.diskAddr);
      if (st != kKelOk) return st;
    }
    uint8_t* ch = rec.ChanHead(c);
    if (rt.blockCount == 0) le::PutI32(ch + orf::kCFirstBlock, b.diskAddr);
    le::PutI32(ch + orf::kCLastBlock, b.diskAddr);
    rt.lastBlock = b.diskAddr;
    ++rt.blockCount;
    le::PutU16(ch + orf::kCBlockCount, static_cast<uint16_t>(rt.blockCount));
    le::PutU16(ch + orf::kCBlockCountHigh, static_cast<uint16_t>(rt.blockCount >> 16));
    b.writtenOnce = true;
    SetWalkLimit(rec, c);
    // The table's first entry is the chain's first block. A table still empty
    // (nothing searched since the open) starts from it, as a search would
    // fill it: offered alone, the new block would stand as the channel's first.
    bool offer = true;
    if (rt.lookup.Empty() && rt.blockCount > 1) {
      const int32_t firstAddr = orf::ChanFirstBlock(ch);
      TKelBlockHead first;
      offer = ReadHeadChecked(rec, c, firstAddr, &first) == kKelOk && first.itemCount > 0;
      if (offer) rt.lookup.Offer({firstAddr, first.prev, first.next, first.start, first.end});
    }
    if (offer) rt.lookup.Offer({b.diskAddr, h.prev, h.next, h.start, h.end});
  } else {
    rt.lookup.Refresh(b.diskAddr, h.start, h.end);
  }
  rt.lastNextOpen = h.next == orf::kNoBlock;
  b.modified = false;
  rec.modified = true;
  return kKelOk;
}

// Gives back a successor address taken in advance that no block took: the
// last block on disk ends the chain again.
int ReleaseReserved(TKelFileRec& rec, int c) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  if (rt.reservedNext == orf::kNoBlock) return kKelOk;
  const uint32_t units = BlockUnits(rec, orf::ChanBlockBytes(rec.ChanHead(c)));
  uint8_t field[4];
  le::PutI32(field, orf::kNoBlock);
  const int st = KelWriteAt(rec, field, sizeof field, rec.AddrToPos(rt.lastBlock) + orf::kBNext);
  if (st != kKelOk) return st;
  for (int k = 0; k < rt.memUsed; ++k) {
    TKelMemBlock& b = MemAt(rt, k);
    if (b.diskAddr == rt.lastBlock) le::PutI32(b.image.data() + orf::kBNext, orf::kNoBlock);
  }
  if (rec.fileEnd == static_cast<int64_t>(rt.reservedNext) + units) rec.fileEnd = rt.reservedNext;
  rt.reservedNext = orf::kNoBlock;
  rt.lastNextOpen = true;
  return kKelOk;
}

void ClearSlot(TKelMemBlock& b) {
  std::fill(b.image.begin(), b.image.begin() + kBlockHeadSize, 0);
  b.diskAddr = orf::kNoBlock;
  b.modified = false;
  b.writtenOnce = false;
}

// Writes out the oldest memory-held block and frees its slot; `more`: data
// will follow.
int ReleaseOldest(TKelFileRec& rec, int c, bool more) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  TKelMemBlock& b = MemAt(rt, 0);
  const int st = WriteOut(rec, c, b, more);
  if (st != kKelOk) return st;  // the block stays in memory
  ClearSlot(b);
  rt.memOldest = (rt.memOldest + 1) % static_cast<int>(rt.memBlocks.size());
  --rt.memUsed;
  rt.memOldestStart = rt.memUsed > 0 ? le::GetI32(MemAt(rt, 0).image.data() + orf::kBStart) : -1;
  return kKelOk;
}

// Gives the channel a ring of rt.memWanted slots of blockBytes each. A ring
// that changes size is first written out.
int EnsureRing(TKelFileRec& rec, int c) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  const size_t want = static_cast<size_t>(std::clamp(rt.memWanted, 1, kMaxMemBlocks));
  if (rt.memBlocks.size() == want) return kKelOk;
  const int st = FlushChannel(rec, c, true);
  if (st != kKelOk) return st;
  const uint32_t blockBytes = orf::ChanBlockBytes(rec.ChanHead(c));
  const uint32_t items = le::GetU16(rec.ChanHead(c) + orf::kCItemsPerBlock);
  try {
    std::vector<TKelMemBlock> ring(want);
    for (TKelMemBlock& b : ring) {
      b.image.assign(blockBytes, 0);
      b.store.assign(items, 0);
    }
    rt.memBlocks.swap(ring);
  } catch (const std::bad_alloc&) {
    return kKelNoMemory;
  }
  rt.memOldest = 0;
  rt.memUsed = 0;
  SetWalkLimit(rec, c);
  return kKelOk;
}

// Where appended items come from: their times and their bytes as stored.
class CItemSource {
 public:
  virtual int32_t Time(int i) const = 0;
  virtual void Copy(uint8_t* dst, int from, int n) const = 0;

 protected:
  ~CItemSource() = default;
};

class CPackedItems final : public CItemSource {
 public:
  CPackedItems(const uint8_t* items, uint32_t bytes) : items_(items), bytes_(bytes) {}
  int32_t Time(int i) const override {
    return le::GetI32(items_ + static_cast<size_t>(i) * bytes_);
  }
  void Copy(uint8_t* dst, int from, int n) const override {
    std::memcpy(dst, items_ + static_cast<size_t>(from) * bytes_, static_cast<size_t>(n) * bytes_);
  }

 private:
  const uint8_t* items_;
  uint32_t bytes_;
};

class CEventTimes final : public CItemSource {
 public:
  explicit CEventTimes(const int32_t* times) : times_(times) {}
  int32_t Time(int i) const override { return times_[i]; }
  void Copy(uint8_t* dst, int from, int n) const override {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(dst, times_ + from, static_cast<size_t>(n) * sizeof *times_);
#else
    for (int i = 0; i < n; ++i) le::PutI32(dst + 4 * i, times_[from + i]);
#endif
  }

 private:
  const int32_t* times_;
};

template <class T>
class CSamples final : public CItemSource {
 public:
  CSamples(const T* data, int32_t t0, int32_t divide) : data_(data), t0_(t0), divide_(divide) {}
  int32_t Time(int i) const override { return t0_ + i * divide_; }
  void Copy(uint8_t* dst, int from, int n) const override {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Stored little-endian: on such a host the values are their own bytes.
    std::memcpy(dst, data_ + from, static_cast<size_t>(n) * sizeof(T));
#else
    for (int i = 0; i < n; ++i) Put(dst + i * sizeof(T), data_[from + i]);
#endif
  }

 private:
  static void Put(uint8_t* p, int16_t v) { le::PutI16(p, v); }
  static void Put(uint8_t* p, float v) { le::PutF32(p, v); }
  const T* data_;
  int32_t t0_;
  int32_t divide_;
};

// Appends n items in the order given into the channel's memory-held
// blocks, starting fresh blocks (and writing the oldest out) as needed.
int AppendLocked(TKelFileRec& rec, int c, const CItemSource& src, int n) {
  int st = EnsureRing(rec, c);
  if (st != kKelOk) return st;
  uint8_t* ch = rec.ChanHead(c);
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  const int kind = orf::ChanKind(ch);
  const bool wave = orf::IsWaveKind(kind);
  const int32_t divide = orf::ChanDivide(ch);
  const uint32_t itemBytes = rec.ItemBytes(c);
  const int perBlock = le::GetU16(ch + orf::kCItemsPerBlock);
  const int ring = static_cast<int>(rt.memBlocks.size());
  // A header read from disk must not let items run past the block.
  const uint32_t blockBytes = orf::ChanBlockBytes(ch);
  if (perBlock < 1 || blockBytes < orf::kBlockHeadSize ||
      static_cast<uint64_t>(perBlock) * itemBytes > blockBytes - orf::kBlockHeadSize)
    return KEL_CORRUPT_AS(kKelCorrupt, "perBlock < 1 || blockBytes < orf::kBlockHeadSize || ...");
  DropReadState(rec, c);
  for (int i = 0; i < n;) {
    const int32_t t = src.Time(i);
    TKelMemBlock* b = rt.memUsed > 0 ? &MemAt(rt, rt.memUsed - 1) : nullptr;
    int count = b ? ItemCount(*b) : 0;
    const bool fits =
        b && count < perBlock &&
        (!wave || count == 0 ||
         static_cast<int64_t>(le::GetI32(b->image.data() + orf::kBEnd)) + divide == t);
    if (!fits) {
      if (rt.memUsed == ring && (st = ReleaseOldest(rec, c, true)) != kKelOk) return st;
      const int slot = (rt.memOldest + rt.memUsed) % ring;
      TKelMemBlock& fresh = rt.memBlocks[static_cast<size_t>(slot)];
      uint8_t* img = fresh.image.data();
      int32_t prev = rt.lastBlock;
      if (rt.memUsed > 0) {
        // Readers of memory-held blocks follow these references.
        prev = MemRef((rt.memOldest + rt.memUsed - 1) % ring);
        if (!b->writtenOnce) le::PutI32(b->image.data() + orf::kBNext, MemRef(slot));
      }
      const bool levelBit = kind == Level && (le::GetU8(ch + orf::kCFinalLevel) & 1);
      le::PutI32(img + orf::kBPrev, prev);
      le::PutI32(img + orf::kBNext, orf::kNoBlock);
      le::PutI32(img + orf::kBStart, t);
      le::PutI32(img + orf::kBEnd, t);
      le::PutU16(img + orf::kBChanField, ChanField(c, levelBit));
      le::PutU16(img + orf::kBItemCount, 0);
      fresh.diskAddr = orf::kNoBlock;
      fresh.writtenOnce = false;
      fresh.modified = true;
      std::fill(fresh.store.begin(), fresh.store.end(), 0);
      if (rt.memUsed == 0) rt.memOldestStart = t;
      ++rt.memUsed;
      b = &fresh;
      count = 0;
    }
    const int k = std::min(n - i, perBlock - count);
    uint8_t* img = b->image.data();
    src.Copy(img + kBlockHeadSize + static_cast<size_t>(count) * itemBytes, i, k);
    if (rt.switches.empty()) {
      std::fill(b->store.begin() + count, b->store.begin() + count + k, rt.saving ? 1 : 0);
    } else {
      for (int j = 0; j < k; ++j) {
        ApplySwitchesUpTo(rt, src.Time(i + j));
        b->store[static_cast<size_t>(count + j)] = rt.saving ? 1 : 0;
      }
    }
    const int32_t last = src.Time(i + k - 1);
    if (count == 0) le::PutI32(img + orf::kBStart, t);
    le::PutI32(img + orf::kBEnd, last);
    le::PutU16(img + orf::kBItemCount, static_cast<uint16_t>(count + k));
    b->modified = true;
    if (last > orf::ChanMaxTime(ch)) le::PutI32(ch + orf::kCMaxTime, last);
    rt.maxTime = std::max(rt.maxTime, last);
    if (kind == Level && (k & 1)) ch[orf::kCFinalLevel] ^= 1;
    i += k;
  }
  if (n > 0) {
    const int32_t last = src.Time(n - 1);
    if (last > le::GetI32(rec.head + orf::kHMaxTime)) le::PutI32(rec.head + orf::kHMaxTime, last);
  }
  rec.modified = true;
  return kKelOk;
}

// --- Finding stored items for overwrites and edits ---------------------------

// The memory-held block (ring position) whose items span time t, or -1.
int MemBlockHolding(TKelChanRt& rt, int32_t t) {
  for (int k = rt.memUsed - 1; k >= 0; --k) {
    const uint8_t* img = MemAt(rt, k).image.data();
    if (le::GetU16(img + orf::kBItemCount) > 0 && le::GetI32(img + orf::kBStart) <= t &&
        t <= le::GetI32(img + orf::kBEnd))
      return k;
  }
  return -1;
}

// A block image to change in place: a memory-held block, or a disk block
// read into the channel buffer (rewritten by Store).
struct TEditTarget {
  uint8_t* img = nullptr;
  TKelMemBlock* mem = nullptr;
  int32_t addr = orf::kNoBlock;  // disk block in the buffer
};

// The block that holds time t, looked for in memory first, then on disk.
// 1 when found, 0 when no block holds t, or a status.
int FindTarget(TKelFileRec& rec, int c, int32_t t, int32_t tTo, TEditTarget* out) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  const int k = MemBlockHolding(rt, t);
  if (k >= 0) {
    out->mem = &MemAt(rt, k);
    out->img = out->mem->image.data();
    return 1;
  }
  const int32_t addr = FindBlockLocked(rec, c, t, tTo);
  if (addr == 0 || IsFailure(addr)) return addr;
  if (orf::IsMemRef(addr)) {
    // A held block after t (t lies in a gap before it).
    out->mem = &rt.memBlocks[static_cast<size_t>(static_cast<uint32_t>(addr) & 0x7F)];
    out->img = out->mem->image.data();
    return 1;
  }
  // A disk block whose newer copy is held in memory is changed there.
  for (int m = 0; m < rt.memUsed; ++m) {
    if (MemAt(rt, m).diskAddr == addr) {
      out->mem = &MemAt(rt, m);
      out->img = out->mem->image.data();
      return 1;
    }
  }
  // Read as stored: the read path's view of a block may carry links into
  // held blocks, which must not reach the disk.
  DropReadState(rec, c);
  const uint32_t blockBytes = orf::ChanBlockBytes(rec.ChanHead(c));
  if (rt.buffer.size() < blockBytes)
    return KEL_CORRUPT_AS(kKelCorrupt, "rt.buffer.size() < blockBytes");
  const int st = KelReadAt(rec, rt.buffer.data(), blockBytes, rec.AddrToPos(addr));
  if (st != kKelOk) return st;
  if (CheckBlockHead(rec, c, DecodeBlockHead(rt.buffer.data())) != kKelOk)
    return KEL_CORRUPT_AS(kKelCorrupt,
                          "CheckBlockHead(rec, c, DecodeBlockHead(rt.buffer.data())) != kKelOk");
  out->img = rt.buffer.data();
  out->addr = addr;
  return 1;
}

int Store(TKelFileRec& rec, int c, TEditTarget& target) {
  if (target.mem) {
    target.mem->modified = true;
    return kKelOk;
  }
  const uint32_t blockBytes = orf::ChanBlockBytes(rec.ChanHead(c));
  const int st = KelWriteAt(rec, target.img, blockBytes, rec.AddrToPos(target.addr));
  DropReadState(rec, c);
  return st;
}

// Replaces stored samples from tFrom on in every block that holds their
// times, up to the channel's maxTime; samples in no block are skipped. The
// number of samples handled (all that lie at or before maxTime).
int OverwriteLocked(TKelFileRec& rec, int c, const uint8_t* src, size_t sampleBytes, int n,
                    int32_t tFrom, int* handled) {
  const uint8_t* ch = rec.ChanHead(c);
  const int32_t divide = orf::ChanDivide(ch);
  const int32_t maxTime = orf::ChanMaxTime(ch);
  const int64_t within = (static_cast<int64_t>(maxTime) - tFrom) / divide + 1;
  const int total = static_cast<int>(std::min<int64_t>(n, within));
  *handled = total;
  int i = 0;
  while (i < total) {
    const int32_t t = tFrom + i * divide;
    TEditTarget target;
    const int found = FindTarget(rec, c, t, maxTime, &target);
    if (found < 0) return found;
    if (found == 0) break;  // no block from t on: the rest lies in no block
    const TKelBlockHead h = DecodeBlockHead(target.img);
    if (h.itemCount == 0 || h.end < t) break;
    if (h.start > t) {
      // A gap: skip the samples before this block.
      i = static_cast<int>(
          std::min<int64_t>(total, (static_cast<int64_t>(h.start) - tFrom + divide - 1) / divide));
      continue;
    }
    const int pos = static_cast<int>((t - h.start) / divide);
    const int k = std::min(total - i, h.itemCount - pos);
    if (k <= 0) break;
    std::memcpy(target.img + kBlockHeadSize + static_cast<size_t>(pos) * sampleBytes,
                src + static_cast<size_t>(i) * sampleBytes, static_cast<size_t>(k) * sampleBytes);
    const int st = Store(rec, c, target);
    if (st != kKelOk) return st;
    i += k;
  }
  return kKelOk;
}

template <class T>
int WriteSamples(int f, int c, const T* data, int n, int32_t tFrom, int kind) {
  int st;
  TKelFileRec* rec = WritableRecord(f, c, &st);
  if (!rec) return st;
  platform::LockGuard guard(ChanLock(*rec, c));
  const uint8_t* ch = rec->ChanHead(c);
  const int have = orf::ChanKind(ch);
  if (have == 0) return kKelChanOff;
  if (have != kind) return kKelNoChannel;
  if (tFrom < 0) return kKelNegativePos;
  if (n < 0 || (n > 0 && data == nullptr)) return kKelBadArg;
  const int32_t divide = orf::ChanDivide(ch);
  // Every sample's time must fit the format's 32 bits.
  if (n > 0 && static_cast<int64_t>(tFrom) + static_cast<int64_t>(n - 1) * divide > INT32_MAX)
    return kKelOutOfRange;
  int done = 0;
  if (n > 0 && tFrom <= orf::ChanMaxTime(ch)) {
    std::vector<uint8_t> bytes(static_cast<size_t>(n) * sizeof(T));
    CSamples<T>(data, tFrom, divide).Copy(bytes.data(), 0, n);
    st = OverwriteLocked(*rec, c, bytes.data(), sizeof(T), n, tFrom, &done);
    if (st != kKelOk) return st;
  }
  if (done < n) {
    st = AppendLocked(*rec, c, CSamples<T>(data + done, tFrom + done * divide, divide), n - done);
    if (st != kKelOk) return st;
  }
  return n;
}

int WriteItems(int f, int c, const CItemSource& src, int n, bool (*kindOk)(int)) {
  int st;
  TKelFileRec* rec = WritableRecord(f, c, &st);
  if (!rec) return st;
  platform::LockGuard guard(ChanLock(*rec, c));
  const int kind = orf::ChanKind(rec->ChanHead(c));
  if (kind == 0) return kKelChanOff;
  if (!kindOk(kind)) return kKelNoChannel;
  if (n < 0) return kKelBadArg;
  return AppendLocked(*rec, c, src, n);
}

}  // namespace

int FlushChannel(TKelFileRec& rec, int c, bool release) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  if (release) {
    while (rt.memUsed > 0) {
      const int st = ReleaseOldest(rec, c, false);
      if (st != kKelOk) return st;
    }
    return ReleaseReserved(rec, c);
  }
  int lastWritten = -1;
  for (int k = 0; k < rt.memUsed; ++k) {
    const int st = WriteOut(rec, c, MemAt(rt, k), false);
    if (st != kKelOk) return st;
    if (MemAt(rt, k).writtenOnce) lastWritten = k;
  }
  // Blocks older than one now on disk can no longer join the chain in time
  // order: those not written leave memory with their items dropped, and
  // the written ones need not stay.
  for (int k = 0; k < lastWritten; ++k) {
    const int st = ReleaseOldest(rec, c, false);
    if (st != kKelOk) return st;
  }
  return kKelOk;
}

int KelWriteEvents(int f, int c, const int32_t* times, int n) {
  if (n > 0 && times == nullptr) return kKelBadArg;
  // Only channels whose items are bare times take them.
  return WriteItems(f, c, CEventTimes(times), n,
                    [](int kind) { return kind == EventA || kind == EventB || kind == Level; });
}

int KelWriteMarkers(int f, int c, const uint8_t* marks, int n) {
  if (n > 0 && marks == nullptr) return kKelBadArg;
  return WriteItems(f, c, CPackedItems(marks, 8), n, [](int kind) { return kind == Marker; });
}

int KelWriteExtMarks(int f, int c, const uint8_t* items, int n) {
  if (n > 0 && items == nullptr) return kKelBadArg;
  int st;
  TKelFileRec* rec = WritableRecord(f, c, &st);
  if (!rec) return st;
  return WriteItems(f, c, CPackedItems(items, rec->ItemBytes(c)), n,
                    [](int kind) { return kind >= EventA && kind <= TextMark; });
}

int KelWriteWave(int f, int c, const int16_t* samples, int n, int32_t tFrom) {
  return WriteSamples(f, c, samples, n, tFrom, Adc);
}

int KelWriteRealWave(int f, int c, const float* values, int n, int32_t tFrom) {
  return WriteSamples(f, c, values, n, tFrom, RealWave);
}

int KelEditMarker(int f, int c, int32_t t, const uint8_t* item, int length) {
  int st;
  TKelFileRec* rec = WritableRecord(f, c, &st);
  if (!rec) return st;
  platform::LockGuard guard(ChanLock(*rec, c));
  const int kind = orf::ChanKind(rec->ChanHead(c));
  const uint32_t itemBytes = rec->ItemBytes(c);
  if (!orf::IsMarkerKind(kind) || length < 4 || static_cast<uint32_t>(length) > itemBytes)
    return kKelNoChannel;
  if (item == nullptr) return kKelBadArg;
  TKelChanRt& rt = rec->chans[static_cast<size_t>(c)];
  TEditTarget target;
  const int found = FindTarget(*rec, c, t, t, &target);
  if (found <= 0) return found;
  const TKelBlockHead h = DecodeBlockHead(target.img);
  // The item stored at exactly t.
  int i = 0;
  while (i < h.itemCount && le::GetI32(target.img + kBlockHeadSize + i * itemBytes) < t) ++i;
  if (i == h.itemCount || le::GetI32(target.img + kBlockHeadSize + i * itemBytes) != t) return 0;
  // Its new time must keep it between its neighbours: the items beside it
  // in the block, else the ends of the blocks beside it.
  const int32_t now = le::GetI32(item);
  bool newest = false;  // the channel's last item, whose time is its maxTime
  if (now != t) {
    int ringPos = -1;
    for (int k = 0; k < rt.memUsed; ++k)
      if (&MemAt(rt, k) == target.mem) ringPos = k;
    int64_t low = -1, high = INT64_MAX;
    TKelBlockHead other;
    if (i > 0) {
      low = le::GetI32(target.img + kBlockHeadSize + (i - 1) * itemBytes);
    } else if (ringPos > 0) {
      low = le::GetI32(MemAt(rt, ringPos - 1).image.data() + orf::kBEnd);
    } else if (h.prev > 0 && ReadHeadChecked(*rec, c, h.prev, &other) == kKelOk) {
      low = other.end;
    }
    if (i + 1 < h.itemCount) {
      high = le::GetI32(target.img + kBlockHeadSize + (i + 1) * itemBytes);
    } else if (ringPos >= 0 && ringPos + 1 < rt.memUsed) {
      high = le::GetI32(MemAt(rt, ringPos + 1).image.data() + orf::kBStart);
    } else if (ringPos < 0 && h.next > 0 && ChainContinues(rt, h.next) &&
               ReadHeadChecked(*rec, c, h.next, &other) == kKelOk) {
      high = other.start;
    } else if (ringPos < 0) {
      for (int k = rt.memUsed - 1; k >= 0; --k) {
        const TKelMemBlock& m = MemAt(rt, k);
        if (m.diskAddr != target.addr && le::GetU16(m.image.data() + orf::kBItemCount) > 0)
          high = le::GetI32(m.image.data() + orf::kBStart);
      }
    }
    if (now <= low || now >= high) return 0;
    newest = high == INT64_MAX;
  }
  uint8_t* at = target.img + kBlockHeadSize + static_cast<size_t>(i) * itemBytes;
  std::memcpy(at, item, static_cast<size_t>(length));
  if (i == 0) le::PutI32(target.img + orf::kBStart, now);
  if (i + 1 == h.itemCount) le::PutI32(target.img + orf::kBEnd, now);
  st = Store(*rec, c, target);
  if (st != kKelOk) return st;
  if (newest) {
    le::PutI32(rec->ChanHead(c) + orf::kCMaxTime, now);
    rt.maxTime = now;
    if (now > le::GetI32(rec->head + orf::kHMaxTime)) le::PutI32(rec->head + orf::kHMaxTime, now);
  }
  if (target.addr != orf::kNoBlock) {
    const TKelBlockHead after = DecodeBlockHead(target.img);
    rt.lookup.Refresh(target.addr, after.start, after.end);
  }
  rec->modified = true;
  return 1;
}

}  // namespace vslk64
