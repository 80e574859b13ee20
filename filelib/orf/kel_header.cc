// Reading the file header and channel headers of an open ORF file: fields,
// counted strings, the time-date record, the application id and the user
// extra data.
#include <algorithm>
#include <cstring>

#include "filelib/kel64_types.h"
#include "filelib/le.h"
#include "filelib/orf/kel_file_rec.h"
#include "filelib/orf/kel_lib.h"

namespace vslk64 {
namespace {

using orf::kChanCommentBytes;
using orf::kTitleBytes;
using orf::kUnitsBytes;

// A counted string is a length byte and the characters, in a field one byte
// wider than its longest text. A length byte of 128 or more counts as longer
// than any limit; no read goes past the field.
int ReadCounted(const uint8_t* field, int fieldBytes, char* buf, int max) {
  if (buf == nullptr || max < 1) return 0;
  const int length = field[0];
  const int n = std::min({length, fieldBytes - 1, max - 1});
  std::memcpy(buf, field + 1, static_cast<size_t>(n));
  buf[n] = '\0';
  return n;
}

// A value of an open file's record, or kKelNoFile.
template <typename Result, typename Get>
Result OfRecord(int f, Get get) {
  const TKelFileRec* rec = KelRecord(f);
  return rec ? static_cast<Result>(get(*rec)) : static_cast<Result>(kKelNoFile);
}

// A 16-bit field of an open file's header, or kKelNoFile.
int HeadU16(int f, int at) {
  return OfRecord<int>(f, [at](const TKelFileRec& r) { return le::GetU16(r.head + at); });
}

}  // namespace

int KelFileVersion(int f) {
  return OfRecord<int>(f, [](const TKelFileRec& r) { return r.diskVersion; });
}

int KelChanCount(int f) {
  return OfRecord<int>(f, [](const TKelFileRec& r) { return r.ChanCount(); });
}

int KelChanKind(int f, int c) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  if (c < 0 || c >= rec->ChanCount()) return 0;
  return orf::ChanKind(rec->ChanHead(c));
}

double KelGetTimeBase(int f) {
  return OfRecord<double>(f, [](const TKelFileRec& r) {
    return le::GetF64(r.head + orf::kHTimeBase);
  });
}

int KelTickMultiplier(int f) { return HeadU16(f, orf::kHTickMultiplier); }

int KelAdcTicks(int f) { return HeadU16(f, orf::kHAdcTicks); }

int KelIsReadOnly(int f) {
  return OfRecord<int>(f, [](const TKelFileRec& r) { return r.readOnly ? 1 : 0; });
}

int KelExtraBytes(int f) { return HeadU16(f, orf::kHExtraBytes); }

int32_t KelFileMaxTime(int f) {
  return OfRecord<int32_t>(f, [](const TKelFileRec& r) {
    return le::GetI32(r.head + orf::kHMaxTime);
  });
}

int64_t KelFileBytes(int f) {
  return OfRecord<int64_t>(f, [](const TKelFileRec& r) { return r.FileEndBytes(); });
}

int KelGetFileComment(int f, int n, char* buf, int max) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  if (n < 0 || n >= orf::kFileComments) return kKelBadArg;
  return ReadCounted(rec->head + orf::kHFileComment + n * orf::kFileCommentBytes,
                     orf::kFileCommentBytes, buf, max);
}

int KelGetChanComment(int f, int c, char* buf, int max) {
  int st;
  TKelFileRec* rec = KelChanRecord(f, c, &st);
  if (!rec) return st;
  return ReadCounted(rec->ChanHead(c) + orf::kCComment, kChanCommentBytes, buf, max);
}

int KelGetChanTitle(int f, int c, char* buf, int max) {
  int st;
  TKelFileRec* rec = KelChanRecord(f, c, &st);
  if (!rec) return st;
  return ReadCounted(rec->ChanHead(c) + orf::kCTitle, kTitleBytes, buf, max);
}

int KelGetChanUnits(int f, int c, char* buf, int max) {
  int st;
  TKelFileRec* rec = KelChanRecord(f, c, &st);
  if (!rec) return st;
  const int kind = orf::ChanKind(rec->ChanHead(c));
  if (orf::HasScale(kind) || kind == RealMark || kind == TextMark)
    return ReadCounted(rec->ChanHead(c) + orf::kCUnits, kUnitsBytes, buf, max);
  if (buf != nullptr && max >= 1) buf[0] = '\0';
  return 0;
}

int KelGetExtraData(int f, void* buf, uint32_t bytes, uint32_t offset) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  const uint32_t extra = le::GetU16(rec->head + orf::kHExtraBytes);
  if (extra == 0 || static_cast<uint64_t>(offset) + bytes > extra) return kKelExtraRange;
  if (bytes == 0) return kKelOk;
  if (buf == nullptr) return kKelBadArg;
  const int64_t pos = orf::kFileHeadSize + static_cast<int64_t>(rec->chanHeads.size()) + offset;
  return KelReadAt(*rec, buf, bytes, pos);
}

// Years 1980 to 2100: ORF's range; the 64-bit format allows up to 2200
// (TimeDateValidity in orfx/file_head.h), and the two stay apart on purpose.
int KelDateValidity(const uint8_t* d) {
  static const uint8_t kZero[orf::kTimeDateBytes] = {};
  if (std::memcmp(d, kZero, sizeof kZero) == 0) return 0;
  const int hun = d[0], sec = d[1], min = d[2], hour = d[3], day = d[4], mon = d[5];
  const int year = le::GetU16(d + 6);
  const bool valid = year >= 1980 && year <= 2100 && mon >= 1 && mon <= 12 && day >= 1 &&
                     day <= 31 && hour < 24 && min < 60 && sec < 60 && hun <= 99;
  return valid ? 1 : -1;
}

int KelTimeDate(int f, uint8_t* get, const uint8_t* set) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  uint8_t* stored = rec->head + orf::kHTimeDate;
  const int validity = KelDateValidity(stored);
  if (get != nullptr) std::memcpy(get, stored, orf::kTimeDateBytes);
  if (set != nullptr) {
    if (KelDateValidity(set) < 0) return kKelBadArg;
    if (rec->readOnly) return kKelReadOnly;
    std::memcpy(stored, set, orf::kTimeDateBytes);
    rec->modified = true;
  }
  return validity;
}

int KelAppId(int f, uint8_t* get, const uint8_t* set) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  uint8_t* stored = rec->head + orf::kHAppId;
  if (get != nullptr) std::memcpy(get, stored, orf::kAppIdBytes);
  if (set != nullptr) {
    if (rec->readOnly) return kKelReadOnly;
    std::memcpy(stored, set, orf::kAppIdBytes);
    rec->modified = true;
  }
  return kKelOk;
}

int32_t KelChanDivide(int f, int c) {
  int st;
  TKelFileRec* rec = KelChanRecord(f, c, &st);
  if (!rec) return st;
  const uint8_t* ch = rec->ChanHead(c);
  return orf::ChanKind(ch) == 0 ? 1 : orf::ChanDivide(ch);
}

double KelIdealRate(int f, int c, double rate) {
  int st;
  TKelFileRec* rec = KelChanRecord(f, c, &st);
  if (!rec) return st;
  uint8_t* ch = rec->ChanHead(c);
  const double old = le::GetF32(ch + orf::kCIdealRate);
  if (rate >= 0 && !rec->readOnly) {
    le::PutF32(ch + orf::kCIdealRate, static_cast<float>(rate));
    rec->modified = true;
  }
  return old;
}

int KelChanInfo(int f, int c, TKelChanInfo* info) {
  int st;
  TKelFileRec* rec = KelChanRecord(f, c, &st);
  if (!rec) return st;
  if (info == nullptr) return kKelBadArg;
  const uint8_t* ch = rec->ChanHead(c);
  const int kind = orf::ChanKind(ch);
  TKelChanInfo& i = *info;
  i.kind = kind;
  i.phyChan = le::GetI16(ch + orf::kCPhyChan);
  i.divide = orf::ChanDivide(ch);
  i.idealRate = le::GetF32(ch + orf::kCIdealRate);
  const bool scaled = orf::HasScale(kind);
  i.scale = scaled ? le::GetF32(ch + orf::kCScale) : 1.0f;
  i.offset = scaled ? le::GetF32(ch + orf::kCOffset) : 0.0f;
  i.minValue = kind == RealMark ? le::GetF32(ch + orf::kCMinValue) : 0.0f;
  i.maxValue = kind == RealMark ? le::GetF32(ch + orf::kCMaxValue) : 0.0f;
  i.extraBytes = orf::ChanExtraBytes(ch);
  i.preTrigger = le::GetI16(ch + orf::kCPreTrigger);
  i.traces = kind == WaveMark ? orf::ChanTraces(ch) : 1;
  i.blockBytes = orf::ChanBlockBytes(ch);
  i.itemsPerBlock = le::GetU16(ch + orf::kCItemsPerBlock);
  i.itemBytes = rec->ItemBytes(c);
  i.blockCount = orf::ChanBlockCount(ch);
  i.deletedCount = orf::ChanDeletedCount(ch);
  i.nextDeleted = le::GetI32(ch + orf::kCNextDeleted);
  i.firstBlock = orf::ChanFirstBlock(ch);
  i.lastBlock = orf::ChanLastBlock(ch);
  i.maxTime = orf::ChanMaxTime(ch);
  i.initLevel = kind == Level ? le::GetU8(ch + orf::kCInitLevel) : 0;
  i.finalLevel = kind == Level ? le::GetU8(ch + orf::kCFinalLevel) : 0;
  return kKelOk;
}

int64_t KelChanBytes(int f, int c) {
  int st;
  TKelFileRec* rec = KelChanRecord(f, c, &st);
  if (!rec) return st;
  const uint8_t* ch = rec->ChanHead(c);
  uint64_t bytes = static_cast<uint64_t>(orf::ChanBlockCount(ch)) *
                   le::GetU16(ch + orf::kCItemsPerBlock) * rec->ItemBytes(c);
  // Items a writer holds in blocks that have no place on disk yet.
  TKelChanRt& rt = rec->chans[static_cast<size_t>(c)];
  platform::LockGuard guard(rec->chanLocks[static_cast<size_t>(c)]);
  for (const TKelMemBlock& b : rt.memBlocks) {
    if (!b.writtenOnce && b.image.size() >= orf::kBlockHeadSize)
      bytes += static_cast<uint64_t>(le::GetU16(b.image.data() + orf::kBItemCount)) * rec->ItemBytes(c);
  }
  return static_cast<int64_t>(std::min<uint64_t>(bytes, 0xFFFFFFFFu));
}

}  // namespace vslk64
