// Block reads, the search for the first block of a range, and the loading of
// saved lookup tables.
#include "filelib/orf/kel_block.h"

#include "filelib/corruption.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "filelib/le.h"

namespace vslk64 {

using orf::kBlockHeadSize;

TKelBlockHead DecodeBlockHead(const uint8_t* p) {
  TKelBlockHead h;
  h.prev = le::GetI32(p + orf::kBPrev);
  h.next = le::GetI32(p + orf::kBNext);
  h.start = le::GetI32(p + orf::kBStart);
  h.end = le::GetI32(p + orf::kBEnd);
  h.chanField = le::GetU16(p + orf::kBChanField);
  h.itemCount = le::GetU16(p + orf::kBItemCount);
  return h;
}

int CheckBlockHead(const TKelFileRec& rec, int c, const TKelBlockHead& h) {
  if (h.itemCount == 0) return kKelOk;
  if (orf::ChanOfField(h.chanField) != c)
    return KEL_CORRUPT_AS(kKelCorrupt, "orf::ChanOfField(h.chanField) != c");
  if (h.prev > 0 && rec.BeyondFile(h.prev))
    return KEL_CORRUPT_AS(kKelCorrupt, "h.prev > 0 && rec.BeyondFile(h.prev)");
  if (h.start < 0 || h.start > h.end)
    return KEL_CORRUPT_AS(kKelCorrupt, "h.start < 0 || h.start > h.end");
  const uint8_t* ch = rec.ChanHead(c);
  const uint32_t blockBytes = orf::ChanBlockBytes(ch);
  if (blockBytes < kBlockHeadSize)
    return KEL_CORRUPT_AS(kKelCorrupt, "blockBytes < kBlockHeadSize");
  if (h.itemCount > (blockBytes - kBlockHeadSize) / rec.ItemBytes(c))
    return KEL_CORRUPT_AS(kKelCorrupt,
                          "h.itemCount > (blockBytes - kBlockHeadSize) / rec.ItemBytes(c)");
  if (orf::IsWaveKind(orf::ChanKind(ch))) {
    const int64_t last = static_cast<int64_t>(h.start) +
                         static_cast<int64_t>(h.itemCount - 1) * orf::ChanDivide(ch);
    if (last != h.end) return KEL_CORRUPT_AS(kKelCorrupt, "last != h.end");
  }
  return kKelOk;
}

namespace {

// Address checks shared by block and header reads. A memory reference is
// unreadable when the channel holds no blocks in memory.
int CheckReadAddr(const TKelFileRec& rec, int32_t addr) {
  if (orf::IsMemRef(addr)) return kKelRead;
  if (addr <= 0 || rec.BeyondFile(addr))
    return KEL_CORRUPT_AS(kKelCorrupt, "addr <= 0 || rec.BeyondFile(addr)");
  return kKelOk;
}

TLookupBlock LookupBlockOf(int32_t addr, const TKelBlockHead& h) {
  return {addr, h.prev, h.next, h.start, h.end};
}

void OfferHead(TKelChanRt& rt, int32_t addr, const TKelBlockHead& h) {
  if (h.itemCount > 0) rt.lookup.Offer(LookupBlockOf(addr, h));
}

// A walk that meets a block it cannot read ends the search: no file gives
// "nothing found", anything else is returned.
int32_t WalkFailure(int st) { return st == kKelNoFile ? 0 : st; }

}  // namespace

int ReadHeadChecked(TKelFileRec& rec, int c, int32_t addr, TKelBlockHead* h) {
  int st = CheckReadAddr(rec, addr);
  if (st != kKelOk) return st;
  uint8_t scratch[orf::kHeadReadBytes];
  st = KelReadAt(rec, scratch, sizeof scratch, rec.AddrToPos(addr));
  if (st != kKelOk) return st;
  *h = DecodeBlockHead(scratch);
  if (CheckBlockHead(rec, c, *h) != kKelOk)
    return KEL_CORRUPT_AS(kKelCorrupt, "CheckBlockHead(rec, c, *h) != kKelOk");
  if (h->next > 0 && rec.BeyondFile(h->next)) h->next = orf::kNoBlock;
  return kKelOk;
}

namespace {

void ReleaseWindow(TKelFileRec& rec, TKelChanRt& rt) {
  if (rt.window.empty()) return;
  std::vector<uint8_t>().swap(rt.window);
  rt.windowPos = -1;
  rt.windowLen = 0;
  rec.windowsHeld.fetch_sub(1);
}

// Reads the span from byte position pos into the channel's window, taking a
// window when the file has one to spare: 0, a read status, or 1 when no
// window is to be had.
int ReadWindow(TKelFileRec& rec, TKelChanRt& rt, int64_t pos, uint32_t blockBytes) {
  const int64_t len = std::min<int64_t>(std::max(kReadAheadBytes, blockBytes), rec.fileBytes - pos);
  if (len <= blockBytes) return 1;  // nothing to read ahead
  const bool held = !rt.window.empty();
  if (!held && rec.windowsHeld.fetch_add(1) >= kMaxWindows) {
    rec.windowsHeld.fetch_sub(1);
    return 1;
  }
  // The window grows to what is read, not to the full read-ahead: in a file
  // smaller than that, a window of the full size is mostly never used.
  if (rt.window.size() < static_cast<size_t>(len)) {
    try {
      rt.window.resize(static_cast<size_t>(len));
    } catch (const std::bad_alloc&) {
      if (!held) rec.windowsHeld.fetch_sub(1);
      return 1;  // a window already held keeps what it holds
    }
  }
  rt.windowPos = -1;
  const int st = KelReadAt(rec, rt.window.data(), static_cast<uint32_t>(len), pos);
  if (st != kKelOk) {
    ReleaseWindow(rec, rt);
    return st;
  }
  rt.windowPos = pos;
  rt.windowLen = static_cast<uint32_t>(len);
  return kKelOk;
}

// A window pays when the span it reads is mostly the channel's own blocks.
// The blocks of a channel that holds a small share of the file lie far
// apart among the others' (a sparse event channel beside a waveform), and a
// window would read the other channels' blocks for nothing.
constexpr int64_t kReadAheadMinShare = 16;  // the channel holds at least 1/16 of the file

bool WorthReadingAhead(const TKelFileRec& rec, const TKelChanRt& rt, uint32_t blockBytes) {
  return static_cast<int64_t>(rt.blockCount) * blockBytes * kReadAheadMinShare >= rec.fileBytes;
}

}  // namespace

namespace {

// --- Blocks a writer holds in memory ---------------------------------------
// They are the channel's newest blocks: every block not among them is older
// than all of them. Reads see them as the chain's continuation (memory
// references 0x80000000 + slot), and a held copy of a disk block is newer
// than the disk's.

TKelMemBlock& Held(TKelChanRt& rt, int k) {
  return rt
      .memBlocks[static_cast<size_t>((rt.memOldest + k) % static_cast<int>(rt.memBlocks.size()))];
}

int HeldItems(TKelChanRt& rt, int k) {
  return le::GetU16(Held(rt, k).image.data() + orf::kBItemCount);
}

int32_t HeldRef(const TKelChanRt& rt, int k) {
  const int slot = (rt.memOldest + k) % static_cast<int>(rt.memBlocks.size());
  return static_cast<int32_t>(0x80000000u + static_cast<uint32_t>(slot));
}

// The ring position of a memory reference, or -1.
int HeldPosition(const TKelChanRt& rt, int32_t ref) {
  const int n = static_cast<int>(rt.memBlocks.size());
  const int slot = static_cast<int>(static_cast<uint32_t>(ref) & 0x7F);
  if (n == 0 || slot >= n) return -1;
  const int k = (slot - rt.memOldest + n) % n;
  return k < rt.memUsed ? k : -1;
}

// The first held block after ring position k (from the start with k = -1)
// that holds items and, with `unwritten`, has no place on disk yet: its
// reference, or -1.
int32_t NextHeld(TKelChanRt& rt, int k, bool unwritten) {
  for (int j = k + 1; j < rt.memUsed; ++j) {
    if (HeldItems(rt, j) == 0) continue;
    if (unwritten && Held(rt, j).writtenOnce) continue;
    return HeldRef(rt, j);
  }
  return orf::kNoBlock;
}

// The last held block before ring position k that holds items: its
// reference, or -1.
int32_t PrevHeld(TKelChanRt& rt, int k) {
  for (int j = k - 1; j >= 0; --j) {
    if (HeldItems(rt, j) != 0) return HeldRef(rt, j);
  }
  return orf::kNoBlock;
}

// Puts held block k into the channel buffer, linked as the chain now stands:
// its successor the next held block, its predecessor the previous held block
// or, for the oldest, the disk's last block. The links in the image were set
// when the block was made and name ring slots that may since have been
// written out and reused.
int ServeHeld(TKelFileRec& rec, int c, int k) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  const std::vector<uint8_t>& image = Held(rt, k).image;
  if (rt.buffer.size() < image.size())
    return KEL_CORRUPT_AS(kKelCorrupt, "rt.buffer.size() < image.size()");
  DropReadAhead(rec, rt);
  std::memcpy(rt.buffer.data(), image.data(), image.size());
  rt.block = rt.buffer.data();
  rt.bufferAddr = orf::kNoBlock;  // held blocks change: never cached
  le::PutI32(rt.block + orf::kBNext, NextHeld(rt, k, false));
  const int32_t prev = PrevHeld(rt, k);
  // A block already written keeps the predecessor it was written with.
  if (prev != orf::kNoBlock || !Held(rt, k).writtenOnce)
    le::PutI32(rt.block + orf::kBPrev, prev != orf::kNoBlock ? prev : rt.lastBlock);
  return CheckBlockHead(rec, c, DecodeBlockHead(rt.block)) == kKelOk
             ? kKelOk
             : KEL_CORRUPT_AS(kKelCorrupt, "block header fails its checks");
}

}  // namespace

int32_t NewestBlockLocked(TKelFileRec& rec, int c) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  for (int k = rt.memUsed - 1; k >= 0; --k) {
    if (HeldItems(rt, k) != 0) return HeldRef(rt, k);
  }
  return rt.blockCount == 0 || !orf::IsUsable(rt.lastBlock) ? 0 : rt.lastBlock;
}

int ReadBlockLocked(TKelFileRec& rec, int c, int32_t addr, bool ahead) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  if (rt.memUsed > 0) {
    if (orf::IsMemRef(addr)) {
      const int k = HeldPosition(rt, addr);
      return k < 0 ? kKelRead : ServeHeld(rec, c, k);
    }
    for (int k = 0; k < rt.memUsed; ++k) {
      if (Held(rt, k).diskAddr != addr || !Held(rt, k).writtenOnce) continue;
      const int st = ServeHeld(rec, c, k);
      // The chain on disk ends here; what follows is held.
      if (st == kKelOk && addr == rt.lastBlock)
        le::PutI32(rt.block + orf::kBNext, NextHeld(rt, k, true));
      return st;
    }
  }
  int st = CheckReadAddr(rec, addr);
  if (st != kKelOk) return st;
  if (addr == rt.bufferAddr) return kKelOk;
  if (addr > rt.lastBlock) return kKelRead;
  const uint32_t blockBytes = orf::ChanBlockBytes(rec.ChanHead(c));
  if (blockBytes < kBlockHeadSize || rt.buffer.size() < blockBytes)
    return KEL_CORRUPT_AS(kKelCorrupt,
                          "blockBytes < kBlockHeadSize || rt.buffer.size() < blockBytes");
  rt.bufferAddr = orf::kNoBlock;
  const int64_t pos = rec.AddrToPos(addr);
  if (rt.windowPos >= 0 && pos >= rt.windowPos &&
      pos + blockBytes <= rt.windowPos + rt.windowLen) {
    rt.block = rt.window.data() + (pos - rt.windowPos);
  } else if (ahead && WorthReadingAhead(rec, rt, blockBytes) &&
             (st = ReadWindow(rec, rt, pos, blockBytes)) != 1) {
    if (st != kKelOk) return st;
    rt.block = rt.window.data();
  } else {
    st = KelReadAt(rec, rt.buffer.data(), blockBytes, pos);
    if (st != kKelOk) return st;
    rt.block = rt.buffer.data();
  }
  if (addr == rt.lastBlock && rt.block != rt.buffer.data()) {
    // A walk that reaches the end of the chain needs no more read-ahead.
    std::memcpy(rt.buffer.data(), rt.block, blockBytes);
    rt.block = rt.buffer.data();
    ReleaseWindow(rec, rt);
  }
  const TKelBlockHead h = DecodeBlockHead(rt.block);
  if (CheckBlockHead(rec, c, h) != kKelOk)
    return KEL_CORRUPT_AS(kKelCorrupt, "CheckBlockHead(rec, c, h) != kKelOk");
  if (h.next > 0 && rec.BeyondFile(h.next)) le::PutI32(rt.block + orf::kBNext, orf::kNoBlock);
  if (addr == rt.lastBlock && rt.memUsed > 0) {
    // Held blocks continue the chain; the buffer cannot be kept for them.
    le::PutI32(rt.block + orf::kBNext, NextHeld(rt, -1, true));
    rt.bufferAddr = orf::kNoBlock;
  } else {
    rt.bufferAddr = addr;
  }
  if (h.itemCount > 0) {
    rt.recentAddr = addr;
    rt.recentStart = h.start;
    rt.recentEnd = h.end;
    rt.lookup.Offer(LookupBlockOf(addr, h));
  }
  return kKelOk;
}

void DropReadAhead(TKelFileRec& rec, TKelChanRt& rt) { ReleaseWindow(rec, rt); }

bool ChainContinues(const TKelChanRt& rt, int32_t next) {
  return orf::IsUsable(next) && next <= rt.lastBlock;
}

void SetWalkLimit(TKelFileRec& rec, int c) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  const uint32_t blockBytes = std::max(orf::ChanBlockBytes(rec.ChanHead(c)), kBlockHeadSize);
  const int64_t physical = rec.FileEndBytes() / blockBytes + 1;
  const uint32_t fits = static_cast<uint32_t>(std::min<int64_t>(physical, UINT32_MAX));
  // Files below version 9 hold at most 65535 in the count; a chain longer
  // than that is saved with the count pinned there.
  const bool pinned = !rec.Large() && rt.blockCount == 0xFFFF;
  const uint32_t disk = pinned ? fits : std::min(rt.blockCount, fits);
  // A walk may go on through the blocks a writer holds in memory.
  rt.walkLimit = disk + static_cast<uint32_t>(rt.memBlocks.size());
}

namespace {

int32_t FindDiskBlock(TKelFileRec& rec, int c, int32_t tFrom, int32_t tTo);

// The first held block with items that ends at or after tFrom and starts
// at or before tTo: its reference, or 0.
int32_t HeldOverlapping(TKelChanRt& rt, int32_t tFrom, int32_t tTo) {
  for (int k = 0; k < rt.memUsed; ++k) {
    if (HeldItems(rt, k) == 0) continue;
    const uint8_t* img = Held(rt, k).image.data();
    if (le::GetI32(img + orf::kBEnd) < tFrom) continue;
    return le::GetI32(img + orf::kBStart) <= tTo ? HeldRef(rt, k) : 0;
  }
  return 0;
}

}  // namespace

int32_t FindBlockLocked(TKelFileRec& rec, int c, int32_t tFrom, int32_t tTo) {
  const uint8_t* ch = rec.ChanHead(c);
  if (orf::ChanKind(ch) == 0) return kKelChanOff;
  if (le::GetU16(rec.head + orf::kHLinksComplete) == 0) return kKelNoLinks;
  if (tFrom < 0) tFrom = 0;
  if (tTo < tFrom) return 0;
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  if (rt.memUsed == 0) return FindDiskBlock(rec, c, tFrom, tTo);
  // Held blocks are the newest: a range that starts within them is theirs.
  const int32_t held = NextHeld(rt, -1, false);
  if (held != orf::kNoBlock) {
    const int k = HeldPosition(rt, held);
    // From the oldest held block's own start, items of that time may still
    // end the last block on disk.
    if (tFrom > le::GetI32(Held(rt, k).image.data() + orf::kBStart))
      return HeldOverlapping(rt, tFrom, tTo);
  }
  const int32_t disk = FindDiskBlock(rec, c, tFrom, tTo);
  return disk == 0 ? HeldOverlapping(rt, tFrom, tTo) : disk;
}

namespace {

// Items of one time may run on from one block into the next. A block found
// for tFrom that starts at tFrom is therefore not always the first holding
// it: walks back while the block before also ends at tFrom.
int32_t FirstHolding(TKelFileRec& rec, int c, int32_t addr, int32_t tFrom) {
  const TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  TKelBlockHead h;
  int st = ReadHeadChecked(rec, c, addr, &h);
  if (st != kKelOk) return WalkFailure(st);
  for (uint32_t visited = 0; h.start == tFrom && orf::IsUsable(h.prev);) {
    if (++visited > rt.walkLimit) return KEL_CORRUPT_AS(kKelCorrupt, "++visited > rt.walkLimit");
    TKelBlockHead before;
    st = ReadHeadChecked(rec, c, h.prev, &before);
    if (st != kKelOk) return WalkFailure(st);
    if (before.end < tFrom) break;
    addr = h.prev;
    h = before;
  }
  return addr;
}

int32_t FindDiskBlock(TKelFileRec& rec, int c, int32_t tFrom, int32_t tTo) {
  const uint8_t* ch = rec.ChanHead(c);
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  if (rt.blockCount == 0) return 0;

  TKelBlockHead h;
  int st;
  CKelLookup& table = rt.lookup;
  if (table.Empty()) {
    const int32_t ends[2] = {orf::ChanFirstBlock(ch), rt.lastBlock};
    for (int32_t addr : ends) {
      st = ReadHeadChecked(rec, c, addr, &h);
      if (st != kKelOk) return WalkFailure(st);
      OfferHead(rt, addr, h);
    }
    if (table.Empty()) return 0;
  }

  int32_t k = table.Locate(tFrom);
  if (k < 1) {
    if (tTo < table.Entry(0).start) return 0;
    k = 0;
  }
  const TLookupEntry ek = table.Entry(k);
  if (ek.start <= tFrom && tFrom <= ek.end)
    return ek.start == tFrom ? FirstHolding(rec, c, ek.addr, tFrom) : ek.addr;
  if (k == 0 && tFrom < ek.start) return ek.addr;
  if (rt.recentAddr != orf::kNoBlock && rt.recentStart <= tFrom && tFrom <= rt.recentEnd)
    return rt.recentStart == tFrom ? FirstHolding(rec, c, rt.recentAddr, tFrom) : rt.recentAddr;

  uint32_t visited = 0;
  if (k + 1 < table.Used() &&
      static_cast<int64_t>(table.Entry(k + 1).start) - tFrom <=
          static_cast<int64_t>(tFrom) - ek.end) {
    // Walk back from the next entry, which starts after tFrom.
    st = ReadHeadChecked(rec, c, table.Entry(k + 1).addr, &h);
    if (st != kKelOk) return WalkFailure(st);
    for (;;) {
      const int32_t addr = h.prev;
      if (!orf::IsUsable(addr)) {
        // Ran off the start of the chain.
        const int32_t first = orf::ChanFirstBlock(ch);
        st = ReadHeadChecked(rec, c, first, &h);
        if (st != kKelOk) return WalkFailure(st);
        return h.start > tTo ? 0 : first;
      }
      if (++visited > rt.walkLimit) return KEL_CORRUPT_AS(kKelCorrupt, "++visited > rt.walkLimit");
      st = ReadHeadChecked(rec, c, addr, &h);
      if (st != kKelOk) return WalkFailure(st);
      if (orf::IsUsable(h.prev)) OfferHead(rt, addr, h);
      if (h.start <= tFrom) {
        if (h.end >= tFrom) return h.start == tFrom ? FirstHolding(rec, c, addr, tFrom) : addr;
        const int32_t next = h.next;
        if (!ChainContinues(rt, next)) return 0;
        st = ReadHeadChecked(rec, c, next, &h);
        if (st != kKelOk) return WalkFailure(st);
        return h.start > tTo ? 0 : next;
      }
    }
  }

  // Walk forward from entry k.
  st = ReadHeadChecked(rec, c, ek.addr, &h);
  if (st != kKelOk) return WalkFailure(st);
  for (;;) {
    const int32_t next = h.next;
    // Blocks held in memory by a writer would continue the chain here.
    if (!ChainContinues(rt, next)) return 0;
    if (++visited > rt.walkLimit) return KEL_CORRUPT_AS(kKelCorrupt, "++visited > rt.walkLimit");
    st = ReadHeadChecked(rec, c, next, &h);
    if (st != kKelOk) return WalkFailure(st);
    if (orf::IsUsable(h.next)) OfferHead(rt, next, h);
    if (h.end >= tFrom) return h.start > tTo ? 0 : next;
  }
}

}  // namespace

void LoadLookupTables(TKelFileRec& rec) {
  if (!rec.Large()) return;
  const int32_t lookupAddr = le::GetI32(rec.head + orf::kHLookupAddr);
  if (lookupAddr <= 0) return;
  constexpr uint32_t kRecordHead = 12;
  constexpr uint32_t kControlBytes = 4 * kLookupControlWords;
  constexpr uint32_t kEntryBytes = 12;
  int64_t pos = rec.AddrToPos(lookupAddr);
  std::vector<uint8_t> raw;
  std::vector<TLookupEntry> entries;
  for (;;) {
    uint8_t head[kRecordHead];
    if (KelReadAt(rec, head, kRecordHead, pos) != kKelOk) return;
    const int32_t mark = le::GetI32(head);
    const int32_t c = le::GetI32(head + 4);
    const uint32_t checksum = le::GetU32(head + 8);
    if (mark != -2 || c < 0 || c >= rec.ChanCount()) return;  // also the end record {-2, -1}
    const uint8_t* ch = rec.ChanHead(c);
    TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
    if (orf::ChanKind(ch) == 0 || !rt.lookup.Empty()) return;

    uint8_t control[kControlBytes];
    if (KelReadAt(rec, control, kControlBytes, pos + kRecordHead) != kKelOk) return;
    int32_t words[kLookupControlWords];
    for (int i = 0; i < kLookupControlWords; ++i) words[i] = le::GetI32(control + 4 * i);
    if (!LookupControlValid(words, rt.blockCount)) return;

    const uint32_t used = static_cast<uint32_t>(words[1]);
    try {
      raw.resize(used * kEntryBytes);
      entries.resize(used);
    } catch (const std::bad_alloc&) {
      return;
    }
    if (KelReadAt(rec, raw.data(), used * kEntryBytes, pos + kRecordHead + kControlBytes) !=
        kKelOk)
      return;
    for (uint32_t i = 0; i < used; ++i) {
      const uint8_t* p = raw.data() + i * kEntryBytes;
      TLookupEntry& e = entries[i];
      e = {le::GetI32(p), le::GetI32(p + 4), le::GetI32(p + 8)};
      // Entries must be real blocks of the file, in time order.
      if (e.addr <= 0 || rec.BeyondFile(e.addr) || e.start < 0 || e.start > e.end) return;
      if (i > 0 && (e.start <= entries[i - 1].start || e.start < entries[i - 1].end)) return;
    }
    if (entries.front().addr != orf::ChanFirstBlock(ch) || entries.back().addr != rt.lastBlock)
      return;
    if (LookupChecksum(words, entries) != checksum) return;
    {
      platform::LockGuard guard(rec.chanLocks[static_cast<size_t>(c)]);
      if (!rt.lookup.Empty() || !rt.lookup.Load(words, entries)) return;
    }
    pos += kRecordHead + kControlBytes + static_cast<int64_t>(used) * kEntryBytes;
  }
}

// --- Public functions ------------------------------------------------------

int KelReadBlock(int f, int c, int32_t addr) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  if (c < 0 || c >= rec->ChanCount()) return kKelNoChannel;
  if (orf::ChanKind(rec->ChanHead(c)) == 0) return kKelChanOff;
  platform::LockGuard guard(rec->chanLocks[static_cast<size_t>(c)]);
  return ReadBlockLocked(*rec, c, addr);
}

int KelReadBlockHead(int f, int32_t addr, TKelBlockHead* head) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  if (!head) return kKelBadArg;
  int st = CheckReadAddr(*rec, addr);
  if (st != kKelOk) return st;
  uint8_t scratch[orf::kHeadReadBytes];
  st = KelReadAt(*rec, scratch, sizeof scratch, rec->AddrToPos(addr));
  if (st != kKelOk) return st;
  *head = DecodeBlockHead(scratch);
  return kKelOk;
}

int32_t KelFindBlock(int f, int c, int32_t tFrom, int32_t tTo) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  if (c < 0 || c >= rec->ChanCount()) return kKelNoChannel;
  platform::LockGuard guard(rec->chanLocks[static_cast<size_t>(c)]);
  return FindBlockLocked(*rec, c, tFrom, tTo);
}

int KelLoadLookup(int f) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  LoadLookupTables(*rec);
  return kKelOk;
}

int KelLookupControl(int f, int c, int32_t words[7]) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  if (c < 0 || c >= rec->ChanCount()) return kKelNoChannel;
  platform::LockGuard guard(rec->chanLocks[static_cast<size_t>(c)]);
  rec->chans[static_cast<size_t>(c)].lookup.GetControl(words);
  return kKelOk;
}

}  // namespace vslk64
