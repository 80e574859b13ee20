#include "filelib/orf/kel32_file.h"

#include <algorithm>
#include <cstring>

#include "filelib/le.h"
#include "filelib/orf/kel_read.h"
#include "filelib/orf/orf_format.h"

namespace vslk64 {
namespace {

constexpr TSTime64 kTime32Limit = TSTime64(1) << 31;  // first time the format cannot hold
constexpr int32_t kMaxTime32 = 0x7FFFFFFF;
constexpr int kFileCommentSize = orf::kFileCommentBytes;     // 80
constexpr int kChanCommentSize = orf::kChanCommentBytes;     // 72
constexpr int kTitleSize = orf::kTitleBytes;                 // 10
constexpr int kUnitsSize = orf::kUnitsBytes;                 // 6
constexpr int kCommonFileComments = 9;  // numbers 5 to 8 exist only in the newer format

// The ORF range for a half-open common range: false when it holds nothing
// the format can hold.
bool ToOrfRange(TSTime64 tFrom, TSTime64 tUpto, int32_t* from, int32_t* to) {
  if (tFrom >= kTime32Limit) return false;
  if (tFrom < 0) tFrom = 0;
  if (tUpto <= tFrom) return false;
  *from = static_cast<int32_t>(tFrom);
  *to = tUpto >= kTime32Limit ? kMaxTime32 : static_cast<int32_t>(tUpto - 1);
  return true;
}

// The ORF filter for a common filter; null stays null.
const TKelFilter* ToOrfFilter(const CMarkFilter* filter, TKelFilter* out) {
  if (filter == nullptr) return nullptr;
  for (int l = 0; l < 4; ++l) filter->GetMask(l, out->layers[l]);
  out->mode = filter->GetMode() != 0 ? kKelFilterAnyCode : 0;
  out->column = filter->GetColumn();
  return out;
}

// Event times, widened.
class CTime64Sink : public CKelItemSink {
 public:
  explicit CTime64Sink(TSTime64* out) : out_(out) {}
  void Put(const uint8_t* item, uint32_t, int index) override { out_[index] = le::GetI32(item); }

 private:
  TSTime64* out_;
};

void WidenMarker(const uint8_t* item, TMarker* m) {
  m->time = le::GetI32(item);
  std::memcpy(m->code, item + 4, 4);
  std::memset(m->pad, 0, sizeof m->pad);
}

class CMarkerSink : public CKelItemSink {
 public:
  explicit CMarkerSink(TMarker* out) : out_(out) {}
  void Put(const uint8_t* item, uint32_t, int index) override { WidenMarker(item, &out_[index]); }

 private:
  TMarker* out_;
};

// Level changes as markers whose code byte 0 is the level they start,
// alternating from the level before the first. Only markers that pass the
// filter are kept; the alternation counts the others too.
class CLevelMarkerSink : public CKelItemSink {
 public:
  CLevelMarkerSink(TMarker* out, const int* level, const CMarkFilter* filter)
      : out_(out), level_(level), filter_(filter) {}
  void Put(const uint8_t* item, uint32_t, int index) override {
    if (index == 0) current_ = *level_ & 1;
    TMarker m;
    m.time = le::GetI32(item);
    m.code[0] = static_cast<uint8_t>(current_);
    m.code[1] = m.code[2] = m.code[3] = 0;
    std::memset(m.pad, 0, sizeof m.pad);
    current_ ^= 1;
    if (filter_ == nullptr || filter_->Match(m)) out_[kept_++] = m;
  }
  int kept() const { return kept_; }

 private:
  TMarker* out_;
  const int* level_;
  const CMarkFilter* filter_;
  int current_ = 0;
  int kept_ = 0;
};

// Extended markers: the TMarker part, then the attached data from byte 16,
// each record `size` bytes with any tail zeroed.
class CExtMarkSink : public CKelItemSink {
 public:
  CExtMarkSink(uint8_t* out, size_t size) : out_(out), size_(size) {}
  void Put(const uint8_t* item, uint32_t itemBytes, int index) override {
    uint8_t* rec = out_ + static_cast<size_t>(index) * size_;
    TMarker m;
    WidenMarker(item, &m);
    std::memcpy(rec, &m, sizeof m);
    const size_t attached = std::min<size_t>(itemBytes - 8, size_ - sizeof m);
    std::memcpy(rec + sizeof m, item + 8, attached);
    std::memset(rec + sizeof m + attached, 0, size_ - sizeof m - attached);
  }

 private:
  uint8_t* out_;
  size_t size_;
};

// Copies an empty text into a caller's buffer, when there is room.
void EmptyText(char* buf, int bufSize) {
  if (buf != nullptr && bufSize >= 1) buf[0] = '\0';
}

}  // namespace

int Kel32StatusToCommon(int status) {
  switch (status) {
    case -1: case -4: case -6: case -16: return kErrNoFile;
    case -9: case -11: return kErrNoChannel;
    default: return status;
  }
}

TKel32File::TKel32File(int32_t createMode) : m_createMode(createMode) {}

TKel32File::~TKel32File() {
  if (IsOpen()) Close();
}

bool TKel32File::ReadOnly() const { return KelIsReadOnly(m_file) != 0; }

int TKel32File::WriteRefused() const { return IsOpen() ? kErrReadOnly : kErrNoFile; }

int TKel32File::ChanInfo(uint16_t chan, TKelChanInfo* info) const {
  if (!IsOpen()) return kErrNoFile;
  const int st = KelChanInfo(m_file, chan, info);
  return st == kKelOk ? kOk : Kel32StatusToCommon(st);
}

bool TKel32File::ChanInRange(uint16_t chan) const {
  return IsOpen() && chan < KelChanCount(m_file);
}

// --- File lifecycle ----------------------------------------------------------

int TKel32File::Create(const char*, uint16_t nChans, uint32_t extraBytes) {
  if (nChans > orf::kMaxChans || extraBytes > 0xFFFF) return kErrBadArg;
  if (IsOpen()) return kErrChannelUsed;
  // Creating files comes with the ORF writer, which this build does not
  // include; m_createMode will pick the version of the files it makes.
  return kErrReadOnly;
}

int TKel32File::Open(const char* path, int mode, uint32_t) {
  if (IsOpen()) return kErrChannelUsed;
  if (mode < 0) mode = kKelOpenFallback;
  const int f = KelOpenFile(path, mode);
  if (f < 0) return Kel32StatusToCommon(f);
  m_file = static_cast<int16_t>(f);
  return kOk;
}

int TKel32File::Close() {
  if (!IsOpen()) return kErrNoFile;
  const int st = KelCloseFile(m_file);
  m_file = -1;
  return Kel32StatusToCommon(st);
}

int TKel32File::EmptyFile() { return WriteRefused(); }

bool TKel32File::CanWrite() { return IsOpen() && !ReadOnly(); }

int TKel32File::GetFreeChan() {
  if (!IsOpen()) return kErrNoFile;
  const int n = KelChanCount(m_file);
  for (int c = 0; c < n; ++c)
    if (KelChanKind(m_file, c) == 0) return c;
  return kErrNoChannel;
}

int TKel32File::Commit(int) { return WriteRefused(); }

bool TKel32File::IsModified() { return false; }

int TKel32File::FlushSysBuffers() { return IsOpen() ? kOk : kErrNoFile; }

// --- File properties ---------------------------------------------------------

double TKel32File::GetTimeBase() {
  if (!IsOpen()) return 0.0;
  return KelGetTimeBase(m_file) * KelTickMultiplier(m_file);
}

void TKel32File::SetTimeBase(double) {}  // a read-only file keeps its time base

int TKel32File::SetExtraData(const void*, uint32_t bytes, uint32_t offset) {
  if (!IsOpen()) return kErrNoFile;
  if (bytes > 0xFFFF || offset > 0xFFFF) return kErrBadArg;
  return kErrReadOnly;
}

int TKel32File::GetExtraData(void* buf, uint32_t bytes, uint32_t offset) {
  if (!IsOpen()) return kErrNoFile;
  if (bytes > 0xFFFF || offset > 0xFFFF) return kErrBadArg;
  return Kel32StatusToCommon(KelGetExtraData(m_file, buf, bytes, offset));
}

uint32_t TKel32File::GetExtraDataSize() {
  return IsOpen() ? static_cast<uint32_t>(KelExtraBytes(m_file)) : 0;
}

int TKel32File::SetFileComment(int n, const char*) {
  if (!IsOpen()) return kErrNoFile;
  if (n < 0 || n >= kCommonFileComments) return kErrBadArg;
  if (n >= orf::kFileComments) return kOk;
  return kErrReadOnly;
}

int TKel32File::GetFileComment(int n, int bufSize, char* buf) {
  if (!IsOpen()) return kErrNoFile;
  if (n < 0 || n >= kCommonFileComments) return kErrBadArg;
  if (buf == nullptr || bufSize < 1) return kFileCommentSize;
  if (n < orf::kFileComments) {
    KelGetFileComment(m_file, n, buf, bufSize);
  } else {
    EmptyText(buf, bufSize);
  }
  return kFileCommentSize;
}

int TKel32File::MaxChans() { return IsOpen() ? KelChanCount(m_file) : kErrNoFile; }

int TKel32File::AppID(TAppID* get, const TAppID* set) {
  if (!IsOpen()) return kErrNoFile;
  uint8_t id[orf::kAppIdBytes];
  int st = KelAppId(m_file, id, nullptr);
  if (get != nullptr) std::memcpy(get->chID, id, sizeof id);
  if (set != nullptr) {
    std::memcpy(id, set->chID, sizeof id);
    st = KelAppId(m_file, nullptr, id);
  }
  return Kel32StatusToCommon(st);
}

int TKel32File::TimeDate(TTimeDate* get, const TTimeDate* set) {
  if (!IsOpen()) return kErrNoFile;
  uint8_t old[orf::kTimeDateBytes];
  uint8_t now[orf::kTimeDateBytes];
  if (set != nullptr) {
    now[0] = set->hun;
    now[1] = set->sec;
    now[2] = set->min;
    now[3] = set->hour;
    now[4] = set->day;
    now[5] = set->mon;
    le::PutU16(now + 6, set->year);
  }
  const int st = KelTimeDate(m_file, old, set ? now : nullptr);
  if (get != nullptr) {
    get->hun = old[0];
    get->sec = old[1];
    get->min = old[2];
    get->hour = old[3];
    get->day = old[4];
    get->mon = old[5];
    get->year = le::GetU16(old + 6);
  }
  return Kel32StatusToCommon(st);
}

int TKel32File::GetVersion() { return IsOpen() ? KelFileVersion(m_file) : kErrNoFile; }

int64_t TKel32File::FileSize() {
  if (!IsOpen()) return kErrNoFile;
  return KelFileBytes(m_file);
}

int64_t TKel32File::ChanBytes(uint16_t chan) {
  if (!IsOpen()) return kErrNoFile;
  return std::max<int64_t>(KelChanBytes(m_file, chan), 0);
}

TSTime64 TKel32File::MaxTime(bool) {
  if (!IsOpen()) return kErrNoFile;
  return KelFileMaxTime(m_file);
}

void TKel32File::ExtendMaxTime(TSTime64) {}  // a read-only file keeps its maximum time

// --- Channel properties ------------------------------------------------------

TDataKind TKel32File::ChanKind(uint16_t chan) {
  if (!IsOpen()) return ChanOff;
  const int kind = KelChanKind(m_file, chan);
  return kind > 0 ? static_cast<TDataKind>(kind) : ChanOff;
}

TSTime64 TKel32File::ChanDivide(uint16_t chan) {
  if (!IsOpen()) return kErrNoFile;
  return Kel32StatusToCommon(KelChanDivide(m_file, chan));
}

double TKel32File::IdealRate(uint16_t chan, double rate) {
  if (!ChanInRange(chan)) return 0.0;
  return KelIdealRate(m_file, chan, rate);
}

int TKel32File::PhyChan(uint16_t chan) {
  if (!IsOpen()) return kErrNoFile;
  TKelChanInfo info;
  return KelChanInfo(m_file, chan, &info) == kKelOk ? info.phyChan : -1;
}

int TKel32File::SetChanComment(uint16_t, const char*) { return WriteRefused(); }

int TKel32File::GetChanComment(uint16_t chan, int bufSize, char* buf) {
  if (!IsOpen()) return kErrNoFile;
  if (!ChanInRange(chan)) return kErrNoChannel;
  if (buf != nullptr && bufSize >= 1) KelGetChanComment(m_file, chan, buf, bufSize);
  return kChanCommentSize;
}

int TKel32File::SetChanTitle(uint16_t, const char*) { return WriteRefused(); }

int TKel32File::GetChanTitle(uint16_t chan, int bufSize, char* buf) {
  if (!IsOpen()) return kErrNoFile;
  if (!ChanInRange(chan)) return kErrNoChannel;
  if (buf != nullptr && bufSize >= 1) KelGetChanTitle(m_file, chan, buf, bufSize);
  return kTitleSize;
}

int TKel32File::SetChanScale(uint16_t, double) { return WriteRefused(); }

int TKel32File::GetChanScale(uint16_t chan, double* scale) {
  TKelChanInfo info;
  const int st = ChanInfo(chan, &info);
  if (st != kOk) return st;
  if (scale != nullptr) *scale = info.scale;
  return kOk;
}

int TKel32File::SetChanOffset(uint16_t, double) { return WriteRefused(); }

int TKel32File::GetChanOffset(uint16_t chan, double* offset) {
  TKelChanInfo info;
  const int st = ChanInfo(chan, &info);
  if (st != kOk) return st;
  if (offset != nullptr) *offset = info.offset;
  return kOk;
}

int TKel32File::SetChanUnits(uint16_t, const char*) { return WriteRefused(); }

int TKel32File::GetChanUnits(uint16_t chan, int bufSize, char* buf) {
  if (!IsOpen()) return kErrNoFile;
  if (!ChanInRange(chan)) return kErrNoChannel;
  if (buf != nullptr && bufSize >= 1) KelGetChanUnits(m_file, chan, buf, bufSize);
  return kUnitsSize;
}

TSTime64 TKel32File::ChanMaxTime(uint16_t chan) {
  if (!IsOpen()) return kErrNoFile;
  return Kel32StatusToCommon(KelChanMaxTime(m_file, chan));
}

TSTime64 TKel32File::PrevNTime(uint16_t chan, TSTime64 tFrom, TSTime64 tTo, uint32_t n,
                               const CMarkFilter* filter, bool asWave) {
  if (!IsOpen()) return kErrNoFile;
  if (tFrom >= kTime32Limit || tTo >= kTime32Limit) return kErrOutOfRange;
  if (tFrom < 0) return -1;  // nothing lies before a negative time
  const int32_t to = static_cast<int32_t>(std::max<TSTime64>(tTo, INT32_MIN));
  TKelFilter orfFilter;
  const int32_t r = KelPrevNTime(m_file, chan, static_cast<int32_t>(tFrom), to, n, asWave,
                                 ToOrfFilter(filter, &orfFilter));
  return Kel32StatusToCommon(r);
}

int TKel32File::ChanDelete(uint16_t) { return WriteRefused(); }

int TKel32File::ChanUndelete(uint16_t chan, int action) {
  TKelChanInfo info;
  const int st = ChanInfo(chan, &info);
  if (st != kOk) return st;
  if (action != 0) return kErrWrongKind;
  return info.kind == 0 && info.deletedCount > 0 && orf::IsUsable(info.nextDeleted) ? 1 : 0;
}

int TKel32File::SetChanYRange(uint16_t, double, double) { return WriteRefused(); }

int TKel32File::GetChanYRange(uint16_t chan, double* low, double* high) {
  TKelChanInfo info;
  const int st = ChanInfo(chan, &info);
  if (st != kOk) return st;
  double lo = 0.0, hi = 1.0;
  switch (info.kind) {
    case Adc: case WaveMark: case RealWave:
      lo = static_cast<double>(info.offset) - 5.0 * info.scale;
      hi = static_cast<double>(info.offset) + 5.0 * info.scale;
      break;
    case EventA: case EventB: case Level: case Marker: case TextMark:
      hi = info.idealRate;
      break;
    case RealMark:
      lo = info.minValue;
      hi = info.maxValue;
      break;
    default: break;
  }
  if (low != nullptr) *low = lo;
  if (high != nullptr) *high = hi;
  return kOk;
}

int TKel32File::ItemSize(uint16_t chan) {
  TKelChanInfo info;
  const int st = ChanInfo(chan, &info);
  if (st != kOk) return st;
  switch (info.kind) {
    case ChanOff: return 0;
    case Adc: return 2;
    case EventA: case EventB: return 8;
    case Marker: return 16;
    case RealWave: return 4;
    default:
      // A level change reads as a marker; extended markers as TExtMark.
      return info.itemBytes < 2 ? 0 : static_cast<int>((info.itemBytes + 15) & ~7u);
  }
}

// --- Saving and buffering: nothing is written to a read-only file ------------

void TKel32File::Save(int, TSTime64, bool) {}

void TKel32File::SaveRange(int, TSTime64, TSTime64) {}

bool TKel32File::IsSaving(uint16_t) { return false; }

int TKel32File::NoSaveList(uint16_t chan, TSTime64*, uint32_t, TSTime64, TSTime64) {
  if (!IsOpen()) return kErrNoFile;
  return ChanInRange(chan) ? 0 : kErrNoChannel;
}

int TKel32File::LatestTime(int, TSTime64 t) {
  if (!IsOpen()) return kErrNoFile;
  if (t > kMaxTime32) return kErrOutOfRange;
  return kErrReadOnly;
}

double TKel32File::SetBuffering(int, uint64_t, double) {
  // Buffering applies to files made by Create; nothing buffers here.
  if (!IsOpen()) return kErrNoFile;
  return 0.0;
}

// --- Channel creation and writing --------------------------------------------

int TKel32File::SetEventChan(uint16_t, double, TDataKind, uint32_t) { return WriteRefused(); }
int TKel32File::WriteEvents(uint16_t, const TSTime64*, uint64_t) { return WriteRefused(); }
int TKel32File::SetMarkerChan(uint16_t, double, TDataKind, uint32_t) { return WriteRefused(); }
int TKel32File::WriteMarkers(uint16_t, const TMarker*, uint64_t) { return WriteRefused(); }
int TKel32File::EditMarker(uint16_t, TSTime64, const TMarker*, uint64_t) {
  return WriteRefused();
}
int TKel32File::SetLevelChan(uint16_t, double, uint32_t) { return WriteRefused(); }
int TKel32File::SetInitLevel(uint16_t, bool) { return WriteRefused(); }
int TKel32File::WriteLevels(uint16_t, const TSTime64*, uint64_t) { return WriteRefused(); }
int TKel32File::SetTextMarkChan(uint16_t, double, uint64_t, uint32_t) { return WriteRefused(); }
int TKel32File::SetExtMarkChan(uint16_t, double, TDataKind, uint64_t, uint64_t, uint32_t,
                               TSTime64, int) {
  return WriteRefused();
}
int TKel32File::SetWaveChan(uint16_t, TSTime64, TDataKind, double, uint32_t) {
  return WriteRefused();
}
TSTime64 TKel32File::WriteWaveF(uint16_t, const float*, uint64_t, TSTime64) {
  return WriteRefused();
}
TSTime64 TKel32File::WriteWaveS(uint16_t, const int16_t*, uint64_t, TSTime64) {
  return WriteRefused();
}
int TKel32File::WriteExtMarks(uint16_t, const TExtMark*, uint64_t) { return WriteRefused(); }

// --- Reading -----------------------------------------------------------------

int TKel32File::ReadEvents(uint16_t chan, TSTime64* times, int max, TSTime64 tFrom,
                           TSTime64 tUpto, const CMarkFilter* filter) {
  if (!IsOpen()) return kErrNoFile;
  int32_t from, to;
  if (max < 1 || !ToOrfRange(tFrom, tUpto, &from, &to)) return 0;
  if (times == nullptr) return kErrBadArg;
  TKelFilter orfFilter;
  CTime64Sink sink(times);
  return Kel32StatusToCommon(KelReadItems(m_file, chan, TKelItemRead::kEvents, max, from, to,
                                          nullptr, ToOrfFilter(filter, &orfFilter), sink));
}

int TKel32File::ReadMarkers(uint16_t chan, TMarker* items, int max, TSTime64 tFrom,
                            TSTime64 tUpto, const CMarkFilter* filter) {
  if (!IsOpen()) return kErrNoFile;
  int32_t from, to;
  if (max < 1 || !ToOrfRange(tFrom, tUpto, &from, &to)) return 0;
  if (items == nullptr) return kErrBadArg;
  if (KelChanKind(m_file, chan) == Level) {
    int level = 0;
    CLevelMarkerSink sink(items, &level, filter);
    const int st =
        KelReadItems(m_file, chan, TKelItemRead::kEvents, max, from, to, &level, nullptr, sink);
    return st < 0 ? Kel32StatusToCommon(st) : sink.kept();
  }
  TKelFilter orfFilter;
  CMarkerSink sink(items);
  return Kel32StatusToCommon(KelReadItems(m_file, chan, TKelItemRead::kMarkers, max, from, to,
                                          nullptr, ToOrfFilter(filter, &orfFilter), sink));
}

int TKel32File::ReadLevels(uint16_t chan, TSTime64* times, int max, TSTime64 tFrom,
                           TSTime64 tUpto, bool* level) {
  if (!IsOpen()) return kErrNoFile;
  int32_t from, to;
  if (max < 1 || !ToOrfRange(tFrom, tUpto, &from, &to)) return 0;
  if (times == nullptr) return kErrBadArg;
  int orfLevel = 0;
  CTime64Sink sink(times);
  const int st =
      KelReadItems(m_file, chan, TKelItemRead::kEvents, max, from, to, &orfLevel, nullptr, sink);
  if (st >= 0 && level != nullptr) *level = orfLevel != 0;
  return Kel32StatusToCommon(st);
}

int TKel32File::GetExtMarkInfo(uint16_t chan, uint64_t* rows, uint64_t* cols) {
  TKelChanInfo info;
  const int st = ChanInfo(chan, &info);
  if (st != kOk) return st;
  int points = 0, preTrigger = 0;
  KelExtMarkInfo(m_file, chan, nullptr, &points, &preTrigger);
  if (rows != nullptr) *rows = static_cast<uint64_t>(points);
  if (cols != nullptr) *cols = info.kind == WaveMark ? static_cast<uint64_t>(info.traces) : 1;
  return preTrigger;
}

int TKel32File::ReadWaveF(uint16_t chan, float* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                          TSTime64* tFirst, const CMarkFilter* filter) {
  if (!IsOpen()) return kErrNoFile;
  int32_t from, to;
  if (max < 1 || !ToOrfRange(tFrom, tUpto, &from, &to)) return 0;
  TKelFilter orfFilter;
  int32_t first = 0;
  const int n = KelGetRealWaveData(m_file, chan, data, max, from, to, &first,
                                   ToOrfFilter(filter, &orfFilter));
  if (n > 0 && tFirst != nullptr) *tFirst = first;
  return Kel32StatusToCommon(n);
}

int TKel32File::ReadWaveS(uint16_t chan, int16_t* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                          TSTime64* tFirst, const CMarkFilter* filter) {
  if (!IsOpen()) return kErrNoFile;
  int32_t from, to;
  if (max < 1 || !ToOrfRange(tFrom, tUpto, &from, &to)) return 0;
  TKelFilter orfFilter;
  int32_t first = 0;
  const int n = KelGetWaveData(m_file, chan, data, max, from, to, &first,
                               ToOrfFilter(filter, &orfFilter));
  if (n > 0 && tFirst != nullptr) *tFirst = first;
  return Kel32StatusToCommon(n);
}

int TKel32File::ReadWaveD(uint16_t chan, double* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                          TSTime64* tFirst) {
  if (!IsOpen()) return kErrNoFile;
  int32_t from, to;
  if (max < 1 || !ToOrfRange(tFrom, tUpto, &from, &to)) return 0;
  int32_t first = 0;
  const int n = KelGetWaveDoubles(m_file, chan, data, max, from, to, &first);
  if (n > 0 && tFirst != nullptr) *tFirst = first;
  return Kel32StatusToCommon(n);
}

namespace {

// Passes the ORF walk's stretches on in common ticks.
class CRunSinkAdapter : public CKelRunSink {
 public:
  explicit CRunSinkAdapter(CWaveRunSink& sink) : sink_(sink) {}
  bool Put(int32_t first, uint32_t count) override { return sink_.Put(first, count); }

 private:
  CWaveRunSink& sink_;
};

}  // namespace

int TKel32File::ReadWaveRuns(uint16_t chan, TSTime64 tFrom, CWaveRunSink& sink) {
  if (!IsOpen()) return kErrNoFile;
  const int kind = KelChanKind(m_file, chan);
  // Wave-mark points are read as samples.
  if (kind != Adc && kind != RealWave) return CKel64File::ReadWaveRuns(chan, tFrom, sink);
  if (tFrom >= kTime32Limit) return kOk;
  CRunSinkAdapter adapter(sink);
  const int st = KelGetWaveRuns(m_file, chan, static_cast<int32_t>(std::max<TSTime64>(tFrom, 0)),
                                adapter);
  if (st == kKelWalkByReads) return CKel64File::ReadWaveRuns(chan, tFrom, sink);
  return Kel32StatusToCommon(st);
}

int TKel32File::ReadExtMarks(uint16_t chan, TExtMark* items, int max, TSTime64 tFrom,
                             TSTime64 tUpto, const CMarkFilter* filter) {
  if (!IsOpen()) return kErrNoFile;
  int32_t from, to;
  if (max < 1 || !ToOrfRange(tFrom, tUpto, &from, &to)) return 0;
  if (items == nullptr) return kErrBadArg;
  const int size = ItemSize(chan);
  if (size < 0) return size;
  if (size < static_cast<int>(sizeof(TMarker))) return kErrNoChannel;
  TKelFilter orfFilter;
  CExtMarkSink sink(reinterpret_cast<uint8_t*>(items), static_cast<size_t>(size));
  return Kel32StatusToCommon(KelReadItems(m_file, chan, TKelItemRead::kMarkers, max, from, to,
                                          nullptr, ToOrfFilter(filter, &orfFilter), sink));
}

}  // namespace vslk64
