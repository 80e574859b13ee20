// Creating ORF files and channels: the defaults of a new file and of its
// channel slots, the block size rule, the channel-creating functions and the
// setters of header and channel-header fields.
#include <algorithm>
#include <cstring>
#include <new>

#include "filelib/kel64_types.h"
#include "filelib/le.h"
#include "filelib/orf/kel_block.h"
#include "filelib/orf/kel_lib.h"
#include "filelib/orf/kel_write.h"

namespace vslk64 {
namespace {

using namespace orf;

// The largest user extra-data area the 16-bit field can describe once
// rounded to 512: 65024 bytes.
constexpr uint32_t kMaxExtraBytes = 0xFFFF & ~511u;

// Counted-string store: min(strlen, limit) characters after the length
// byte; the bytes after them keep what they held.
void WriteCounted(uint8_t* field, int limit, const char* text) {
  const size_t n = text ? std::min<size_t>(std::strlen(text), static_cast<size_t>(limit)) : 0;
  field[0] = static_cast<uint8_t>(n);
  if (n > 0) std::memcpy(field + 1, text, n);
}

void DefaultChannel(uint8_t* ch) {
  std::memset(ch, 0, kChanHeadSize);
  le::PutI32(ch + kCNextDeleted, kNoBlock);
  le::PutI32(ch + kCFirstBlock, kNoBlock);
  le::PutI32(ch + kCLastBlock, kNoBlock);
  le::PutI32(ch + kCMaxTime, -1);
  le::PutF32(ch + kCScale, 1.0f);
  le::PutF32(ch + kCOffset, 0.0f);
  le::PutF32(ch + kCIdealRate, 100.0f);
  WriteCounted(ch + kCUnits, kUnitsBytes - 1, " Volt");
  WriteCounted(ch + kCComment, kChanCommentBytes - 1, "No comment");
  WriteCounted(ch + kCTitle, kTitleBytes - 1, "untitled");
}

platform::Mutex& ChanLock(TKelFileRec& rec, int c) {
  return rec.chanLocks[static_cast<size_t>(c)];
}

// blockBytes and itemsPerBlock from a requested size, after the kind and
// the item shape are set; a larger block than before drops the slot's
// reusable chain, whose blocks would be too small.
int ApplyBlockSize(TKelFileRec& rec, int c, uint32_t size) {
  uint8_t* ch = rec.ChanHead(c);
  const uint32_t old = ChanBlockBytes(ch);
  uint32_t bytes = 0, items = 0;
  if (size >= 1) {
    const uint64_t rounded = (static_cast<uint64_t>(size) + 511) & ~uint64_t{511};
    bytes = rounded >= 65535 ? kMaxBlockBytes : static_cast<uint32_t>(rounded);
    const uint32_t itemBytes = rec.ItemBytes(c);
    if (bytes < kBlockHeadSize + itemBytes) return kKelBadArg;
    items = (bytes - kBlockHeadSize) / itemBytes;
    if (ChanKind(ch) == Level) items &= ~1u;
    items = std::min<uint32_t>(items, 0xFFFF);
  }
  le::PutU16(ch + kCBlockBytes, static_cast<uint16_t>(bytes));
  le::PutU16(ch + kCItemsPerBlock, static_cast<uint16_t>(items));
  if (ChanDeletedCount(ch) > 0 && bytes > old) {
    le::PutU16(ch + kCDeletedCount, 0);
    le::PutU8(ch + kCDeletedCountHigh, 0);
    le::PutI32(ch + kCNextDeleted, kNoBlock);
  }
  try {
    rec.chans[static_cast<size_t>(c)].buffer.assign(bytes, 0);
  } catch (const std::bad_alloc&) {
    return kKelNoMemory;
  }
  return kKelOk;
}

// The common part of every channel creation: a writable file, a free slot.
// Runs `shape` on the channel header under the channel's lock, then the
// block size rule.
template <class Shape>
int CreateChannel(int f, int c, int kind, int phyChan, uint32_t blockSize, const char* comment,
                  const char* title, float rate, Shape shape) {
  int st;
  TKelFileRec* rec = WritableRecord(f, c, &st);
  if (!rec) return st;
  platform::LockGuard guard(ChanLock(*rec, c));
  uint8_t* ch = rec->ChanHead(c);
  if (ChanKind(ch) != 0) return kKelChanUsed;
  uint8_t saved[kChanHeadSize];
  std::memcpy(saved, ch, kChanHeadSize);
  le::PutU8(ch + kCKind, static_cast<uint8_t>(kind));
  le::PutI16(ch + kCPhyChan, static_cast<int16_t>(phyChan));
  WriteCounted(ch + kCComment, kChanCommentBytes - 1, comment);
  WriteCounted(ch + kCTitle, kTitleBytes - 1, title);
  le::PutF32(ch + kCIdealRate, rate);
  le::PutU16(ch + kCExtraBytes, 0);
  le::PutI16(ch + kCPreTrigger, 0);
  le::PutI32(ch + kCDivide, 1);
  le::PutI32(ch + kCMaxTime, -1);
  le::PutI32(ch + kCFirstBlock, kNoBlock);
  le::PutI32(ch + kCLastBlock, kNoBlock);
  le::PutU16(ch + kCBlockCount, 0);
  le::PutU16(ch + kCBlockCountHigh, 0);
  st = shape(ch);
  if (st == kKelOk) st = ApplyBlockSize(*rec, c, blockSize);
  if (st != kKelOk) {
    std::memcpy(ch, saved, kChanHeadSize);
    return st;
  }
  TKelChanRt& rt = rec->chans[static_cast<size_t>(c)];
  ResetChanWriter(*rec, c);
  rt.lastBlock = kNoBlock;
  rt.blockCount = 0;
  rt.maxTime = -1;
  SetWalkLimit(*rec, c);
  rec->modified = true;
  return kKelOk;
}

// Sets the fields of a waveform channel (kinds 1, 6, 9).
int WaveShape(TKelFileRec& rec, uint8_t* ch, int32_t divide, float scale, float offset,
              const char* units) {
  if (divide < 1) return kKelBadArg;
  le::PutI32(ch + kCDivide, divide);
  le::PutF32(ch + kCScale, scale);
  le::PutF32(ch + kCOffset, offset);
  std::memset(ch + kCUnits, 0, kUnitsBytes);
  WriteCounted(ch + kCUnits, kUnitsBytes - 1, units);
  le::PutU16(ch + kCWord138, 0);
  const double tick = le::GetU16(rec.head + kHTickMultiplier) * le::GetF64(rec.head + kHTimeBase);
  const double rate = tick > 0 ? 1.0 / (tick * divide) : 0.0;
  le::PutF32(ch + kCIdealRate, static_cast<float>(rate));
  return kKelOk;
}

TKelFileRec* HeadRecord(int f, int* st) {
  TKelFileRec* rec = KelRecord(f);
  *st = !rec ? kKelNoFile : rec->readOnly ? kKelReadOnly : kKelOk;
  return *st == kKelOk ? rec : nullptr;
}

// Runs `set` on a channel header of a writable file under its lock.
template <class Set>
int SetChanField(int f, int c, Set set) {
  int st;
  TKelFileRec* rec = WritableRecord(f, c, &st);
  if (!rec) return st;
  platform::LockGuard guard(ChanLock(*rec, c));
  st = set(rec->ChanHead(c), ChanKind(rec->ChanHead(c)));
  if (st == kKelOk) rec->modified = true;
  return st;
}

}  // namespace

int KelCreateFile(const char* path, int chans, uint32_t extra, bool large) {
  if (path == nullptr) return kKelNoFile;
  if (chans > kMaxChans) return kKelNoChannel;
  if (extra > kMaxExtraBytes) return kKelBadArg;
  const int chanCount = std::max(chans, kMinChans);
  const uint32_t extraBytes = (extra + 511) & ~511u;
  const uint32_t areaBytes = ChanAreaBytes(chanCount);
  std::unique_ptr<platform::File> handle =
      platform::Files().Open(path, platform::Access::kReadWrite,
                             platform::Disposition::kCreateAlways, platform::Share::kNone);
  if (!handle) return kKelReadOnly;

  TKelFileRec* rec = nullptr;
  const int f = KelAcquireSlot(&rec);
  if (f < 0) return f;
  rec->handle = std::move(handle);
  rec->readOnly = false;
  rec->created = true;
  rec->diskVersion = static_cast<int16_t>(large ? kLargeVersion : kCurrentVersion);
  uint8_t* h = rec->head;
  std::memset(h, 0, kFileHeadSize);
  le::PutI16(h + kHVersion, rec->diskVersion);
  std::memcpy(h + kHStamp, "(C) VSL ", 8);
  le::PutU16(h + kHStamp + 8, 14136);  // the characters "87"
  std::memcpy(h + kHAppId, "00000000", kAppIdBytes);
  le::PutU16(h + kHLinksComplete, 1);
  le::PutI16(h + kHChanCount, static_cast<int16_t>(chanCount));
  le::PutU16(h + kHChanAreaBytes, static_cast<uint16_t>(areaBytes));
  le::PutU16(h + kHExtraBytes, static_cast<uint16_t>(extraBytes));
  const int64_t firstData = kFileHeadSize + areaBytes + extraBytes;
  le::PutI32(h + kHFirstDataAddr, static_cast<int32_t>(large ? firstData / kAddrUnit : firstData));
  rec->fileEnd = FirstBlockAddr(*rec);
  le::PutI32(h + kHMaxTime, -1);
  le::PutF64(h + kHTimeBase, 1e-6);
  try {
    rec->chanHeads.assign(areaBytes, 0);
    rec->chans.resize(static_cast<size_t>(chanCount));
  } catch (const std::bad_alloc&) {
    KelReleaseSlot(*rec);
    return kKelNoMemory;
  }
  for (int c = 0; c < chanCount; ++c) {
    DefaultChannel(rec->ChanHead(c));
    rec->chans[static_cast<size_t>(c)].lastBlock = kNoBlock;
  }
  rec->buffersAllocated = true;
  rec->modified = true;
  int st = WriteHeads(*rec, false);
  if (st == kKelOk && extraBytes > 0) {
    const std::vector<uint8_t> zeros(extraBytes, 0);
    st = KelWriteAt(*rec, zeros.data(), extraBytes, kFileHeadSize + areaBytes);
  }
  if (st != kKelOk) {
    KelReleaseSlot(*rec);
    return st;
  }
  return f;
}

double KelSetTimeBase(int f, double secs) {
  int st;
  TKelFileRec* rec = HeadRecord(f, &st);
  if (!rec) return st;
  const double old = le::GetF64(rec->head + kHTimeBase);
  le::PutU16(rec->head + kHTickMultiplier, 1);
  le::PutU16(rec->head + kHAdcTicks, 1);
  if (secs > 0) le::PutF64(rec->head + kHTimeBase, secs);
  rec->modified = true;
  return old;
}

int KelSetFileComment(int f, int n, const char* text) {
  int st;
  TKelFileRec* rec = HeadRecord(f, &st);
  if (!rec) return st;
  if (n < 0 || n >= kFileComments) return kKelBadArg;
  WriteCounted(rec->head + kHFileComment + n * kFileCommentBytes, kFileCommentBytes - 1, text);
  rec->modified = true;
  return kKelOk;
}

int KelSetExtraData(int f, const void* buf, uint32_t bytes, uint32_t offset) {
  int st;
  TKelFileRec* rec = HeadRecord(f, &st);
  if (!rec) return st;
  const uint32_t extra = le::GetU16(rec->head + kHExtraBytes);
  if (extra == 0 || static_cast<uint64_t>(offset) + bytes > extra) return kKelExtraRange;
  if (bytes == 0) return kKelOk;
  if (buf == nullptr) return kKelBadArg;
  return KelWriteAt(*rec, buf, bytes, kFileHeadSize + static_cast<int64_t>(rec->chanHeads.size()) + offset);
}

int KelSetAlignExt(int f) {
  int st;
  TKelFileRec* rec = HeadRecord(f, &st);
  if (!rec) return st;
  rec->head[kHAlignFlags] |= kAlignExtMarks;
  rec->modified = true;
  return kKelOk;
}

int KelExtendMaxTime(int f, int32_t t) {
  int st;
  TKelFileRec* rec = HeadRecord(f, &st);
  if (!rec) return st;
  if (t > le::GetI32(rec->head + kHMaxTime)) {
    le::PutI32(rec->head + kHMaxTime, t);
    rec->modified = true;
  }
  return kKelOk;
}

int KelSetChanComment(int f, int c, const char* text) {
  return SetChanField(f, c, [&](uint8_t* ch, int) {
    WriteCounted(ch + kCComment, kChanCommentBytes - 1, text);
    return kKelOk;
  });
}

int KelSetChanTitle(int f, int c, const char* text) {
  return SetChanField(f, c, [&](uint8_t* ch, int) {
    WriteCounted(ch + kCTitle, kTitleBytes - 1, text);
    return kKelOk;
  });
}

int KelSetChanUnits(int f, int c, const char* text) {
  return SetChanField(f, c, [&](uint8_t* ch, int kind) {
    if (HasScale(kind) || kind == RealMark || kind == TextMark)
      WriteCounted(ch + kCUnits, kUnitsBytes - 1, text);
    return kKelOk;
  });
}

int KelSetChanScale(int f, int c, float scale) {
  return SetChanField(f, c, [&](uint8_t* ch, int kind) {
    if (HasScale(kind) && scale != 0.0f) le::PutF32(ch + kCScale, scale);
    return kKelOk;
  });
}

int KelSetChanOffset(int f, int c, float offset) {
  return SetChanField(f, c, [&](uint8_t* ch, int kind) {
    if (HasScale(kind)) le::PutF32(ch + kCOffset, offset);
    return kKelOk;
  });
}

int KelSetChanRange(int f, int c, float low, float high) {
  return SetChanField(f, c, [&](uint8_t* ch, int kind) {
    if (kind != RealMark) return kKelOk;
    if (low > high) return kKelBadArg;
    le::PutF32(ch + kCMinValue, low);
    le::PutF32(ch + kCMaxValue, high);
    return kKelOk;
  });
}

int KelSetInitLevel(int f, int c, int level) {
  return SetChanField(f, c, [&](uint8_t* ch, int kind) {
    if (kind == Level && ChanMaxTime(ch) < 0) {
      le::PutU8(ch + kCInitLevel, static_cast<uint8_t>(level & 1));
      le::PutU8(ch + kCFinalLevel, static_cast<uint8_t>(level & 1));
    }
    return kKelOk;
  });
}

int KelSetEventChan(int f, int c, int phyChan, uint32_t blockSize, const char* comment,
                    const char* title, float rate, int kind) {
  if (kind < 0 || kind > kMaxKind) return kKelBadArg;
  return CreateChannel(f, c, kind, phyChan, blockSize, comment, title, rate, [](uint8_t* ch) {
    le::PutU32(ch + kCScale, 0);
    return kKelOk;
  });
}

int KelSetWaveChan(int f, int c, int phyChan, int32_t divide, uint32_t blockSize,
                   const char* comment, const char* title, float scale, float offset,
                   const char* units) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  return CreateChannel(f, c, Adc, phyChan, blockSize, comment, title, 0.0f, [&](uint8_t* ch) {
    return WaveShape(*rec, ch, divide, scale, offset, units);
  });
}

int KelSetRealWaveChan(int f, int c, int phyChan, int32_t divide, uint32_t blockSize,
                       const char* comment, const char* title, float scale, float offset,
                       const char* units) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  return CreateChannel(f, c, RealWave, phyChan, blockSize, comment, title, 0.0f,
                       [&](uint8_t* ch) { return WaveShape(*rec, ch, divide, scale, offset, units); });
}

int KelSetAdcMarkChan(int f, int c, int phyChan, int32_t divide, uint32_t blockSize,
                      const char* comment, const char* title, float scale, float offset,
                      const char* units, float rate, int points, int preTrigger, int traces) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  if (points < 1 || points > 1024 || preTrigger < 0 || preTrigger > points || traces < 1 ||
      traces > kMaxTraces)
    return kKelBadArg;
  return CreateChannel(f, c, WaveMark, phyChan, blockSize, comment, title, rate, [&](uint8_t* ch) {
    const int st = WaveShape(*rec, ch, divide, scale, offset, units);
    if (st != kKelOk) return st;
    const uint32_t attached = points * traces * AttachedPointBytes(WaveMark);
    le::PutU16(ch + kCExtraBytes, static_cast<uint16_t>(attached));
    le::PutI16(ch + kCPreTrigger, static_cast<int16_t>(preTrigger));
    le::PutU16(ch + kCWord138, static_cast<uint16_t>(traces));
    le::PutF32(ch + kCIdealRate, rate);
    return kKelOk;
  });
}

int KelSetRealMarkChan(int f, int c, int phyChan, uint32_t blockSize, const char* comment,
                       const char* title, float rate, float low, float high, const char* units,
                       int points) {
  if (points < 0 || points > 0xFFFF / 4) return kKelBadArg;
  return CreateChannel(f, c, RealMark, phyChan, blockSize, comment, title, rate, [&](uint8_t* ch) {
    le::PutF32(ch + kCMinValue, low);
    le::PutF32(ch + kCMaxValue, high);
    std::memset(ch + kCUnits, 0, kUnitsBytes);
    WriteCounted(ch + kCUnits, kUnitsBytes - 1, units);
    le::PutU16(ch + kCExtraBytes, static_cast<uint16_t>(points * AttachedPointBytes(RealMark)));
    return kKelOk;
  });
}

int KelSetTextMarkChan(int f, int c, int phyChan, uint32_t blockSize, const char* comment,
                       const char* title, float rate, const char* units, int chars) {
  if (chars < 0 || chars > 0xFFFF - 8) return kKelBadArg;
  return CreateChannel(f, c, TextMark, phyChan, blockSize, comment, title, rate, [&](uint8_t* ch) {
    std::memset(ch + kCScale, 0, 8);
    std::memset(ch + kCUnits, 0, kUnitsBytes);
    WriteCounted(ch + kCUnits, kUnitsBytes - 1, units);
    le::PutU16(ch + kCExtraBytes, static_cast<uint16_t>(chars * AttachedPointBytes(TextMark)));
    return kKelOk;
  });
}

}  // namespace vslk64
