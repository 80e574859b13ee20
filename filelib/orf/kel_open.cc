// Opening and closing ORF files: the header checks, the channel checks and
// preparation, and the in-memory upgrade of files written by older versions.
#include <cstring>

#include "filelib/corruption.h"
#include <new>
#include <vector>

#include "filelib/kel64_types.h"
#include "filelib/le.h"
#include "filelib/orf/kel_block.h"
#include "filelib/orf/kel_file_rec.h"
#include "filelib/orf/kel_lib.h"
#include "filelib/orf/kel_write.h"

namespace vslk64 {
namespace {

using namespace orf;

// Accepts the 512-byte header after bringing version 1 to 7 fields to
// version 8 (in memory only; diskVersion keeps the version found).
int CheckFileHead(uint8_t* head) {
  const int version = le::GetI16(head + kHVersion);
  if (le::GetI16(head + kHForeignFormat) != 0) {
    if (version >= 4) return kKelNotOrf;
  }
  if (version >= 1 && version <= 3) le::PutI16(head + kHForeignFormat, 0);
  if (version == 1) le::PutU16(head + kHExtraBytes, 0);
  if (version >= 1 && version <= 7) le::PutI16(head + kHVersion, kCurrentVersion);

  const int now = le::GetI16(head + kHVersion);
  if (now != kCurrentVersion && now != kLargeVersion) return kKelNotOrf;
  if (std::memcmp(head + kHStamp, kStamp, kStampBytes) != 0) return kKelNotOrf;
  const int chanCount = le::GetI16(head + kHChanCount);
  if (chanCount < kMinChans || chanCount > kMaxChans) return kKelNotOrf;
  if (le::GetU16(head + kHChanAreaBytes) != ChanAreaBytes(chanCount)) return kKelNotOrf;
  return kKelOk;
}

// The level after a level channel's last block, from that block's header.
void SetFinalLevel(TKelFileRec& rec, int c) {
  uint8_t* ch = rec.ChanHead(c);
  uint8_t level = le::GetU8(ch + kCInitLevel);
  if (ChanBlockCount(ch) > 0 && IsUsable(ChanLastBlock(ch))) {
    TKelBlockHead h;
    if (ReadHeadChecked(rec, c, ChanLastBlock(ch), &h) != kKelOk) return;
    level = static_cast<uint8_t>(((h.itemCount & 0xFF) ^ (h.chanField >> 8)) & 1);
  }
  le::PutU8(ch + kCFinalLevel, level);
}

// Checks every channel header and sets up its runtime record.
int PrepareChannels(TKelFileRec& rec) {
  for (int c = 0; c < rec.ChanCount(); ++c) {
    uint8_t* ch = rec.ChanHead(c);
    TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
    const int kind = ChanKind(ch);
    if (kind > kMaxKind) return KEL_CORRUPT_AS(kKelCorrupt, "kind > kMaxKind");
    if (kind == 0) {
      le::PutU16(ch + kCBlockCount, 0);
      le::PutU16(ch + kCBlockCountHigh, 0);
      le::PutI32(ch + kCFirstBlock, kNoBlock);
      le::PutI32(ch + kCLastBlock, kNoBlock);
      le::PutI32(ch + kCMaxTime, -1);
    } else {
      const int32_t first = ChanFirstBlock(ch);
      const int32_t last = ChanLastBlock(ch);
      // A header on disk can only name disk blocks, or none.
      for (int32_t addr : {first, last}) {
        if (addr != kNoBlock && (addr <= 0 || IsMemRef(addr)))
          return KEL_CORRUPT_AS(kKelCorrupt, "addr != kNoBlock && (addr <= 0 || IsMemRef(addr))");
      }
      if (last > rec.fileEnd) return KEL_CORRUPT_AS(kKelCorrupt, "last > rec.fileEnd");
      if (first == kNoBlock || last == kNoBlock) {
        if (ChanBlockCount(ch) > 0) return KEL_CORRUPT_AS(kKelCorrupt, "ChanBlockCount(ch) > 0");
        le::PutI32(ch + kCMaxTime, -1);
      }
      if (kind == Level) SetFinalLevel(rec, c);
    }
    rt.blockCount = ChanBlockCount(ch);
    rt.lastBlock = ChanLastBlock(ch);
    rt.maxTime = (kind == 0 || rt.blockCount == 0) ? -1 : ChanMaxTime(ch);
  }
  return kKelOk;
}

// Brings the fields of versions 1 to 7 up to date, cumulatively by the
// version found on disk.
int UpgradeOldVersion(TKelFileRec& rec) {
  const int v = rec.diskVersion;
  if (v < 1 || v > 7) return kKelOk;
  const int n = rec.ChanCount();
  // Versions 5 and below kept a 16-bit waveform divider at 138; it is
  // widened here so that the scaling of versions 1 and 2 cannot wrap.
  std::vector<uint64_t> divider(static_cast<size_t>(n));
  for (int c = 0; c < n; ++c) divider[c] = le::GetU16(rec.ChanHead(c) + kCWord138);

  if (v <= 2) {
    // The divider counted ticks per sweep of all waveform channels.
    uint64_t adcChans = 0;
    for (int c = 0; c < n; ++c) adcChans += ChanKind(rec.ChanHead(c)) == Adc;
    for (int c = 0; c < n; ++c)
      if (ChanKind(rec.ChanHead(c)) == Adc) divider[c] *= adcChans;
  }
  if (v <= 3) {
    for (int c = 0; c < n; ++c) {
      le::PutU16(rec.ChanHead(c) + kCExtraBytes, 0);
      le::PutI16(rec.ChanHead(c) + kCPreTrigger, 0);
    }
  }
  if (v <= 4) {
    for (int c = 0; c < n; ++c) {
      uint8_t* ch = rec.ChanHead(c);
      if (ch[kCComment] > kChanCommentBytes - 1) ch[kCComment] = kChanCommentBytes - 1;
      le::PutI32(ch + kCDivide, 1);
    }
    // The maximum times are recomputed once the channels are complete.
  }
  if (v <= 5) {
    le::PutF64(rec.head + kHTimeBase, 1e-6);
    if (KelDateValidity(rec.head + kHTimeDate) < 0)
      std::memset(rec.head + kHTimeDate, 0, kTimeDateBytes);
    const uint64_t adcTicks = le::GetU16(rec.head + kHAdcTicks);
    for (int c = 0; c < n; ++c) {
      uint8_t* ch = rec.ChanHead(c);
      const int kind = ChanKind(ch);
      if (kind != Adc && kind != WaveMark) continue;
      const uint64_t divide = adcTicks * divider[c];
      if (divide > INT32_MAX) return KEL_CORRUPT_AS(kKelCorrupt, "divide > INT32_MAX");
      le::PutI32(ch + kCDivide, static_cast<int32_t>(divide));
      le::PutU16(ch + kCWord138, kind == Adc ? 0 : 1);
    }
  }
  if (v <= 6) rec.head[kHAlignFlags] = 0;
  return kKelOk;
}

int CheckChannelShapes(const TKelFileRec& rec) {
  for (int c = 0; c < rec.ChanCount(); ++c) {
    const uint8_t* ch = rec.ChanHead(c);
    const int kind = ChanKind(ch);
    if (HasScale(kind) && ChanDivide(ch) < 1)
      return KEL_CORRUPT_AS(kKelCorrupt, "HasScale(kind) && ChanDivide(ch) < 1");
    // The traces of a waveform marker divide its attached data.
    if (kind == WaveMark && (ChanTraces(ch) < 1 || ChanTraces(ch) > kMaxTraces))
      return KEL_CORRUPT_AS(
          kKelCorrupt, "kind == WaveMark && (ChanTraces(ch) < 1 || ChanTraces(ch) > kMaxTraces)");
  }
  return kKelOk;
}

int AllocateBuffers(TKelFileRec& rec) {
  try {
    for (int c = 0; c < rec.ChanCount(); ++c) {
      const uint8_t* ch = rec.ChanHead(c);
      if (ChanKind(ch) != 0) rec.chans[static_cast<size_t>(c)].buffer.resize(ChanBlockBytes(ch));
    }
  } catch (const std::bad_alloc&) {
    return kKelNoMemory;
  }
  rec.buffersAllocated = true;
  return kKelOk;
}

// Steps of the open after the slot is taken; the caller releases the slot
// on failure.
int OpenRecord(TKelFileRec& rec) {
  int st = KelReadAt(rec, rec.head, kFileHeadSize, 0);
  if (st != kKelOk) return st;

  rec.diskVersion = le::GetI16(rec.head + kHVersion);
  const int64_t length = rec.handle->Length();
  if (length < 0) return kKelRead;
  rec.fileBytes = length;
  rec.fileEnd = rec.Large() ? length / kAddrUnit : length;
  if (rec.Large()) {
    // New blocks of a writer overwrite saved lookup tables.
    const int32_t lookupAddr = le::GetI32(rec.head + kHLookupAddr);
    if (lookupAddr > 0 && lookupAddr < rec.fileEnd) rec.fileEnd = lookupAddr;
  }

  st = CheckFileHead(rec.head);
  if (st != kKelOk) return st;

  const int chanCount = le::GetI16(rec.head + kHChanCount);
  const uint32_t areaBytes = le::GetU16(rec.head + kHChanAreaBytes);
  try {
    rec.chanHeads.assign(areaBytes, 0);
    rec.chans.resize(static_cast<size_t>(chanCount));
  } catch (const std::bad_alloc&) {
    return kKelNoMemory;
  }
  st = KelReadAt(rec, rec.chanHeads.data(), areaBytes, kFileHeadSize);
  if (st != kKelOk) return st;

  if (rec.diskVersion < kLargeVersion) {
    for (int c = 0; c < chanCount; ++c) {
      le::PutU16(rec.ChanHead(c) + kCBlockCountHigh, 0);
      le::PutU8(rec.ChanHead(c) + kCDeletedCountHigh, 0);
    }
  }
  if ((st = PrepareChannels(rec)) != kKelOk) return st;
  if ((st = UpgradeOldVersion(rec)) != kKelOk) return st;
  if ((st = CheckChannelShapes(rec)) != kKelOk) return st;
  if ((st = AllocateBuffers(rec)) != kKelOk) return st;
  for (int c = 0; c < chanCount; ++c) SetWalkLimit(rec, c);
  return kKelOk;
}

}  // namespace

int KelOpenFile(const char* path, int mode) {
  if (path == nullptr) return kKelNoFile;
  platform::FileSystem& fs = platform::Files();
  bool readOnly = mode == kKelOpenReadOnly;
  std::unique_ptr<platform::File> handle =
      fs.Open(path, readOnly ? platform::Access::kRead : platform::Access::kReadWrite,
              platform::Disposition::kOpenExisting, platform::Share::kReaders);
  if (!handle) {
    if (!fs.Exists(path)) return kKelNoFile;
    if (mode == kKelOpenReadWrite || mode == kKelOpenReadOnly) return kKelReadOnly;
    handle = fs.Open(path, platform::Access::kRead, platform::Disposition::kOpenExisting,
                     platform::Share::kReaders);
    if (!handle) return kKelNoFile;
    readOnly = true;
  }

  TKelFileRec* rec = nullptr;
  const int f = KelAcquireSlot(&rec);
  if (f < 0) return f;
  rec->handle = std::move(handle);
  rec->readOnly = readOnly;
  rec->created = false;
  rec->modified = false;

  const int st = OpenRecord(*rec);
  if (st != kKelOk) {
    // Nothing is written on the way out of a failed open.
    rec->readOnly = true;
    le::PutU16(rec->head + kHLinksComplete, 1);
    KelReleaseSlot(*rec);
    return st;
  }
  if (rec->diskVersion >= 1 && rec->diskVersion <= 4) KelRecomputeMaxTimes(f);
  LoadLookupTables(*rec);
  if (!rec->readOnly) {
    // Until a clean close the header on disk says the links are not
    // complete (kel_write.h).
    const int hs = WriteHeads(*rec, false);
    if (hs != kKelOk) {
      rec->readOnly = true;
      KelReleaseSlot(*rec);
      return hs;
    }
  }
  return f;
}

int KelCloseFile(int f) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  // A read-only file changes nothing on disk; its maximum times need no
  // recomputing either, since the record is discarded.
  const int st = rec->readOnly ? kKelOk : KelCloseWritable(*rec);
  KelReleaseSlot(*rec);
  return st;
}

}  // namespace vslk64
