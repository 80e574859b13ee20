// Settling a writable ORF file: header writes, Commit, the close of a
// writable file (flush, the version it is saved as, repair of successor
// links, maximum times, saved lookup tables), and the operations that drop
// data wholesale (channel delete, emptying the file) or size the
// memory-held blocks.
#include <algorithm>

#include "filelib/corruption.h"
#include <cmath>
#include <cstring>
#include <vector>

#include "filelib/kel64_types.h"
#include "filelib/le.h"
#include "filelib/orf/kel_block.h"
#include "filelib/orf/kel_lib.h"
#include "filelib/orf/kel_write.h"

namespace vslk64 {

using namespace orf;

int WriteHeads(TKelFileRec& rec, bool clean) {
  uint8_t head[kFileHeadSize];
  std::memcpy(head, rec.head, sizeof head);
  if (!clean) le::PutU16(head + kHLinksComplete, 0);
  int st = KelWriteAt(rec, rec.chanHeads.data(), static_cast<uint32_t>(rec.chanHeads.size()),
                      kFileHeadSize);
  if (st == kKelOk) st = KelWriteAt(rec, head, kFileHeadSize, 0);
  return st;
}

namespace {

platform::Mutex& ChanLock(TKelFileRec& rec, int c) {
  return rec.chanLocks[static_cast<size_t>(c)];
}

int FlushAll(TKelFileRec& rec, bool release) {
  int first = kKelOk;
  for (int c = 0; c < rec.ChanCount(); ++c) {
    platform::LockGuard guard(ChanLock(rec, c));
    const int st = FlushChannel(rec, c, release);
    if (first == kKelOk) first = st;
  }
  return first;
}

// The version the file's contents need: the lowest one that holds its
// channel count, time base, item alignment and channel kinds.
int ChooseVersion(const TKelFileRec& rec) {
  const uint8_t* h = rec.head;
  if (le::GetI16(h + kHVersion) == kLargeVersion) return kLargeVersion;
  const int chanCount = le::GetI16(h + kHChanCount);
  int v = chanCount == kMinChans && std::fabs(le::GetF64(h + kHTimeBase) - 1e-6) <= 1e-21 ? 3 : 6;
  if (h[kHAlignFlags] & kAlignExtMarks) v = 7;
  if (chanCount >= 256) v = 8;
  // The old divider counts adcTicks; a file that never set it counts 1.
  const int64_t adcTicks = std::max<int>(le::GetU16(h + kHAdcTicks), 1);
  for (int c = 0; c < chanCount; ++c) {
    const uint8_t* ch = rec.ChanHead(c);
    const int kind = ChanKind(ch);
    const int traces = ChanTraces(ch);
    if (kind == WaveMark) v = std::max(v, traces > 1 ? 6 : 4);
    if (kind == RealMark || kind == TextMark) v = std::max(v, 5);
    if (kind == RealWave) v = std::max(v, 6);
    if (kind == Adc || (kind == WaveMark && traces == 1)) {
      const int64_t divide = ChanDivide(ch);
      if (divide % adcTicks != 0 || divide / adcTicks >= 65536) v = std::max(v, 6);
    }
  }
  return v;
}

// Brings the header and channel headers to the chosen version's layout.
void SettleVersion(TKelFileRec& rec) {
  uint8_t* h = rec.head;
  // A tick of zero length would make every time zero: a file that never
  // set its time base counts ticks of timeBase seconds.
  if (le::GetU16(h + kHTickMultiplier) == 0) le::PutU16(h + kHTickMultiplier, 1);
  if (le::GetU16(h + kHAdcTicks) == 0) le::PutU16(h + kHAdcTicks, 1);
  const int v = ChooseVersion(rec);
  const int chanCount = rec.ChanCount();
  const int adcTicks = le::GetU16(h + kHAdcTicks);
  uint32_t largest = le::GetU16(h + kHBufferBytes);
  for (int c = 0; c < chanCount; ++c) {
    uint8_t* ch = rec.ChanHead(c);
    if (v < kLargeVersion) {
      if (le::GetU16(ch + kCBlockCountHigh) != 0) {
        le::PutU16(ch + kCBlockCount, 0xFFFF);
        le::PutU16(ch + kCBlockCountHigh, 0);
      }
      if (le::GetU8(ch + kCDeletedCountHigh) != 0) {
        le::PutU16(ch + kCDeletedCount, 0xFFFF);
        le::PutU8(ch + kCDeletedCountHigh, 0);
      }
    }
    const int kind = ChanKind(ch);
    if (v < 6 && (kind == Adc || kind == WaveMark)) {
      le::PutU16(ch + kCWord138, static_cast<uint16_t>(ChanDivide(ch) / adcTicks));
      le::PutI32(ch + kCDivide, 0);
    }
    if (kind != 0) largest = std::max(largest, ChanBlockBytes(ch));
  }
  if (v < 7) h[kHAlignFlags] = 0;
  le::PutU16(h + kHBufferBytes, static_cast<uint16_t>(largest));
  if (le::GetI16(h + kHVersion) != v) {
    le::PutI16(h + kHVersion, static_cast<int16_t>(v));
    if (v != rec.diskVersion) rec.modified = true;
  }
}

// Rewrites every block's nextBlock from the prevBlock chain, walking back
// from each channel's last block.
int RepairLinks(TKelFileRec& rec) {
  for (int c = 0; c < rec.ChanCount(); ++c) {
    const uint8_t* ch = rec.ChanHead(c);
    TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
    if (ChanKind(ch) == 0 || rt.blockCount == 0) continue;
    int32_t addr = rt.lastBlock;
    int32_t next = kNoBlock;
    uint32_t visited = 0;
    const int64_t limit = rec.FileEndBytes() / kAddrUnit + 1;
    while (addr > 0 && !IsMemRef(addr) && !rec.BeyondFile(addr)) {
      if (++visited > limit) return KEL_CORRUPT_AS(kKelCorrupt, "++visited > limit");  // a cycle
      uint8_t link[8];
      int st = KelReadAt(rec, link, sizeof link, rec.AddrToPos(addr));
      if (st != kKelOk) return st;
      uint8_t field[4];
      le::PutI32(field, next);
      st = KelWriteAt(rec, field, sizeof field, rec.AddrToPos(addr) + kBNext);
      if (st != kKelOk) return st;
      next = addr;
      addr = le::GetI32(link + kBPrev);
    }
    DropReadState(rec, c);
  }
  le::PutU16(rec.head + kHLinksComplete, 1);
  rec.modified = true;
  return kKelOk;
}

// Appends the lookup tables of long channels at fileEnd (large files).
int SaveLookupTables(TKelFileRec& rec) {
  le::PutI32(rec.head + kHLookupAddr, 0);
  std::vector<uint8_t> area;
  auto put32 = [&area](int32_t v) {
    uint8_t b[4];
    le::PutI32(b, v);
    area.insert(area.end(), b, b + 4);
  };
  bool any = false;
  for (int c = 0; c < rec.ChanCount(); ++c) {
    const TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
    const uint8_t* ch = rec.ChanHead(c);
    if (ChanKind(ch) == 0 || rt.blockCount < 64) continue;
    int32_t words[kLookupControlWords];
    rt.lookup.GetControl(words);
    if (!LookupControlValid(words, rt.blockCount)) continue;
    const int32_t used = words[1];
    std::vector<TLookupEntry> entries(static_cast<size_t>(used));
    for (int32_t i = 0; i < used; ++i) entries[static_cast<size_t>(i)] = rt.lookup.Entry(i);
    if (entries.front().addr != ChanFirstBlock(ch) || entries.back().addr != rt.lastBlock) continue;
    put32(-2);
    put32(c);
    put32(static_cast<int32_t>(LookupChecksum(words, entries)));
    for (int32_t w : words) put32(w);
    for (const TLookupEntry& e : entries) {
      put32(e.addr);
      put32(e.start);
      put32(e.end);
    }
    any = true;
  }
  if (!any) return kKelOk;
  put32(-2);
  put32(-1);
  put32(0);
  area.resize((area.size() + kAddrUnit - 1) / kAddrUnit * kAddrUnit, 0);
  const int st =
      KelWriteAt(rec, area.data(), static_cast<uint32_t>(area.size()), rec.FileEndBytes());
  if (st != kKelOk) return st;
  le::PutI32(rec.head + kHLookupAddr, static_cast<int32_t>(rec.fileEnd));
  return kKelOk;
}

}  // namespace

// The close of a writable file, before its record is released. The first
// failure, or 0; every step runs even after a failure.
int KelCloseWritable(TKelFileRec& rec) {
  int first = FlushAll(rec, true);
  auto keep = [&first](int st) {
    if (first == kKelOk) first = st;
  };
  SettleVersion(rec);
  if (le::GetU16(rec.head + kHLinksComplete) == 0) keep(RepairLinks(rec));
  // Maximum times from the last blocks now on disk.
  int32_t fileMax = -1;
  for (int c = 0; c < rec.ChanCount(); ++c) {
    uint8_t* ch = rec.ChanHead(c);
    TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
    int32_t t = -1;
    TKelBlockHead h;
    if (ChanKind(ch) != 0 && rt.blockCount > 0 &&
        ReadHeadChecked(rec, c, rt.lastBlock, &h) == kKelOk && h.itemCount > 0)
      t = h.end;
    if (t != ChanMaxTime(ch)) rec.modified = true;
    le::PutI32(ch + kCMaxTime, t);
    fileMax = std::max(fileMax, t);
  }
  if (fileMax != le::GetI32(rec.head + kHMaxTime)) {
    le::PutI32(rec.head + kHMaxTime, fileMax);
    rec.modified = true;
  }
  // The header on disk says linksComplete 0 until this last write.
  rec.modified = true;
  if (rec.Large()) keep(SaveLookupTables(rec));
  keep(WriteHeads(rec, true));
  rec.diskVersion = le::GetI16(rec.head + kHVersion);
  if (!rec.handle->Flush()) keep(kKelWrite);
  return first;
}

int KelCommit(int f, bool flushChannels, bool flushSystem) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  if (rec->readOnly) return kKelReadOnly;
  int st = flushChannels ? FlushAll(*rec, false) : kKelOk;
  if (st != kKelOk) return st;
  st = WriteHeads(*rec, false);
  if (st != kKelOk) return st;
  rec->modified = false;  // the disk holds what memory holds
  if (flushSystem && !rec->handle->Flush()) return kKelNoLinks;
  return kKelOk;
}

int KelIsModified(int f) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  if (rec->readOnly) return 0;
  if (rec->modified) return 1;
  for (int c = 0; c < rec->ChanCount(); ++c) {
    platform::LockGuard guard(ChanLock(*rec, c));
    TKelChanRt& rt = rec->chans[static_cast<size_t>(c)];
    for (int k = 0; k < rt.memUsed; ++k)
      if (MemAt(rt, k).modified) return 1;
  }
  return 0;
}

int64_t KelFileBytesNeeded(int f) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  int64_t units = rec->fileEnd;
  for (int c = 0; c < rec->ChanCount(); ++c) {
    platform::LockGuard guard(ChanLock(*rec, c));
    TKelChanRt& rt = rec->chans[static_cast<size_t>(c)];
    const uint8_t* ch = rec->ChanHead(c);
    int64_t fresh = 0;
    for (int k = 0; k < rt.memUsed; ++k)
      if (MemAt(rt, k).diskAddr == kNoBlock &&
          le::GetU16(MemAt(rt, k).image.data() + kBItemCount) > 0)
        ++fresh;
    fresh = std::max<int64_t>(0, fresh - ChanDeletedCount(ch));
    const uint32_t bytes = ChanBlockBytes(ch);
    units += fresh * (rec->Large() ? (bytes + kAddrUnit - 1) / kAddrUnit : bytes);
  }
  return rec->Large() ? units * kAddrUnit : units;
}

int KelSetBuffering(int f, int c, uint64_t bytes) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  if (rec->readOnly) return kKelReadOnly;
  if (c >= rec->ChanCount()) return kKelNoChannel;
  if (!rec->created) return kKelOk;  // opened files write their blocks directly
  const int from = c < 0 ? 0 : c, to = c < 0 ? rec->ChanCount() : c + 1;
  for (int k = from; k < to; ++k) {
    const uint32_t blockBytes = ChanBlockBytes(rec->ChanHead(k));
    if (ChanKind(rec->ChanHead(k)) == 0 || blockBytes == 0) continue;
    const uint64_t blocks = (bytes + blockBytes / 2) / blockBytes;
    platform::LockGuard guard(ChanLock(*rec, k));
    rec->chans[static_cast<size_t>(k)].memWanted =
        static_cast<int>(std::clamp<uint64_t>(blocks, bytes > 0 ? 1 : 1, kMaxMemBlocks));
  }
  return kKelOk;
}

int KelChanDelete(int f, int c) {
  int st;
  TKelFileRec* rec = WritableRecord(f, c, &st);
  if (!rec) return st;
  {
    platform::LockGuard guard(ChanLock(*rec, c));
    uint8_t* ch = rec->ChanHead(c);
    if (ChanKind(ch) == 0) return kKelOk;
    TKelChanRt& rt = rec->chans[static_cast<size_t>(c)];
    // Items still in memory go with the channel.
    rt.memUsed = 0;
    const uint32_t blocks = rt.blockCount;
    const int32_t first = ChanFirstBlock(ch), last = rt.lastBlock;
    const int32_t oldChain = le::GetI32(ch + kCNextDeleted);
    const uint32_t oldCount = ChanDeletedCount(ch);
    uint32_t count = 0;
    int32_t head = kNoBlock;
    if (ChanBlockBytes(ch) % kAddrUnit == 0 && blocks > 0 && first > 0) {
      // The old reusable chain continues after the channel's last block.
      uint8_t field[4];
      le::PutI32(field, oldCount > 0 ? oldChain : kNoBlock);
      st = KelWriteAt(*rec, field, sizeof field, rec->AddrToPos(last) + kBNext);
      if (st != kKelOk) return st;
      head = first;
      count = blocks + (oldCount > 0 ? oldCount : 0);
    } else if (ChanBlockBytes(ch) % kAddrUnit == 0 && oldCount > 0) {
      head = oldChain;
      count = oldCount;
    }
    count = std::min<uint32_t>(count, 0xFFFFFF);
    le::PutU8(ch + kCKind, 0);
    le::PutI32(ch + kCNextDeleted, head);
    le::PutU16(ch + kCDeletedCount, static_cast<uint16_t>(count));
    le::PutU8(ch + kCDeletedCountHigh, static_cast<uint8_t>(count >> 16));
    le::PutU16(ch + kCBlockCount, 0);
    le::PutU16(ch + kCBlockCountHigh, 0);
    le::PutI32(ch + kCFirstBlock, kNoBlock);
    le::PutI32(ch + kCLastBlock, kNoBlock);
    le::PutI32(ch + kCMaxTime, -1);
    ResetChanWriter(*rec, c);
    rt.lastBlock = kNoBlock;
    rt.blockCount = 0;
    rt.maxTime = -1;
    rec->modified = true;
  }
  int32_t fileMax = -1;
  for (int k = 0; k < rec->ChanCount(); ++k)
    fileMax = std::max(fileMax, ChanMaxTime(rec->ChanHead(k)));
  le::PutI32(rec->head + kHMaxTime, fileMax);
  return WriteHeads(*rec, false);
}

int KelEmptyFile(int f) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  if (rec->readOnly) return kKelReadOnly;
  for (int c = 0; c < rec->ChanCount(); ++c) {
    platform::LockGuard guard(ChanLock(*rec, c));
    uint8_t* ch = rec->ChanHead(c);
    TKelChanRt& rt = rec->chans[static_cast<size_t>(c)];
    const int wanted = rt.memWanted;
    ResetChanWriter(*rec, c);
    rt.memWanted = wanted;
    rt.lastBlock = kNoBlock;
    rt.blockCount = 0;
    rt.maxTime = -1;
    le::PutU16(ch + kCDeletedCount, 0);
    le::PutU8(ch + kCDeletedCountHigh, 0);
    le::PutI32(ch + kCNextDeleted, kNoBlock);
    le::PutU16(ch + kCBlockCount, 0);
    le::PutU16(ch + kCBlockCountHigh, 0);
    le::PutI32(ch + kCFirstBlock, kNoBlock);
    le::PutI32(ch + kCLastBlock, kNoBlock);
    le::PutI32(ch + kCMaxTime, -1);
    if (ChanKind(ch) == Level) ch[kCFinalLevel] = ch[kCInitLevel];
  }
  le::PutI32(rec->head + kHMaxTime, -1);
  le::PutI32(rec->head + kHLookupAddr, 0);
  rec->fileEnd = FirstBlockAddr(*rec);
  rec->modified = true;
  {
    platform::LockGuard guard(rec->fileLock);
    if (!rec->handle->Truncate(rec->FileEndBytes())) return kKelNoLinks;
  }
  rec->fileBytes = rec->FileEndBytes();
  return WriteHeads(*rec, false);
}

}  // namespace vslk64
