// TKel32File's channel data: saving and buffering, channel creation,
// writing and reading. Lifecycle and properties are in kel32_file.cc.
#include "filelib/orf/kel32_file.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "filelib/le.h"
#include "filelib/orf/kel_read.h"
#include "filelib/orf/kel_lib.h"
#include "filelib/orf/kel32_adapt.h"
#include "filelib/orf/orf_format.h"

namespace vslk64 {
namespace {

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

// What the three waveform reads share: an open file, a range the format can
// hold, and the first sample's time passed back when anything was read.
// read(from, to, &first) is the ORF library's read over [from, to].
template <class Read>
int ReadWave32(bool open, int max, TSTime64 tFrom, TSTime64 tUpto, TSTime64* tFirst, Read read) {
  if (!open) return kErrNoFile;
  int32_t from, to;
  if (max < 1 || !ToOrfRange(tFrom, tUpto, &from, &to)) return 0;
  int32_t first = 0;
  const int n = read(from, to, &first);
  if (n > 0 && tFirst != nullptr) *tFirst = first;
  return Kel32StatusToCommon(n);
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

// Common times to the ORF's 32-bit times: items are taken while their time
// is below 2^31.
size_t Narrowable(const TSTime64* times, uint64_t n, size_t stride) {
  size_t k = 0;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(times);
  while (k < n) {
    TSTime64 t;
    std::memcpy(&t, p + k * stride, sizeof t);
    if (t >= kTime32Limit || t < 0) break;
    ++k;
  }
  return k;
}

// ORF calls take counts as int; longer writes go in pieces.
constexpr uint64_t kWritePiece = 1 << 20;

}  // namespace

// --- Saving and buffering -----------------------------------------------------

void TKel32File::Save(int chan, TSTime64 t, bool save) {
  if (!IsOpen() || t > kMaxTime32) return;
  KelSetSave(m_file, chan, static_cast<int32_t>(std::max<TSTime64>(t, 0)), save);
}

void TKel32File::SaveRange(int chan, TSTime64 tFrom, TSTime64 tUpto) {
  if (!IsOpen() || tFrom > kMaxTime32 || tUpto <= tFrom) return;
  const int32_t to = static_cast<int32_t>(std::min<TSTime64>(tUpto - 1, kMaxTime32));
  KelSaveRange(m_file, chan, static_cast<int32_t>(std::max<TSTime64>(tFrom, 0)), to);
}

bool TKel32File::IsSaving(uint16_t chan) { return IsOpen() && KelIsSaving(m_file, chan) == 1; }

int TKel32File::NoSaveList(uint16_t chan, TSTime64* times, uint32_t max, TSTime64 tFrom,
                           TSTime64 tUpto) {
  if (!IsOpen()) return kErrNoFile;
  if (!ChanInRange(chan)) return kErrNoChannel;
  int32_t list[16];
  const int n = KelNoSaveList(m_file, chan, list, 16);
  if (n < 0) return Kel32StatusToCommon(n);
  std::vector<TSTime64> out;
  if (tFrom >= 0 && tFrom <= kMaxTime32 &&
      KelSavingAt(m_file, chan, static_cast<int32_t>(tFrom)) == 0)
    out.push_back(tFrom);
  for (int i = 0; i < std::min(n, 16); ++i)
    if (list[i] > tFrom && list[i] < tUpto) out.push_back(list[i]);
  for (size_t i = 0; i < out.size() && i < max && times != nullptr; ++i) times[i] = out[i];
  return static_cast<int>(out.size());
}

int TKel32File::LatestTime(int chan, TSTime64 t) {
  if (!IsOpen()) return kErrNoFile;
  if (t > kMaxTime32) return kErrOutOfRange;
  return Kel32StatusToCommon(KelLatestTime(m_file, chan, static_cast<int32_t>(t)));
}

double TKel32File::SetBuffering(int chan, uint64_t bytes, double seconds) {
  if (!IsOpen()) return kErrNoFile;
  if (!CanWrite()) return 0.0;
  if (seconds < 0) seconds = m_bufSeconds;
  if (chan >= 0) {
    TKelChanInfo info;
    if (KelChanInfo(m_file, chan, &info) != kKelOk || info.kind == 0) return kErrNoChannel;
    const double perSecond = static_cast<double>(info.itemBytes) * info.idealRate;
    if (seconds > 0) {
      const double need = perSecond * seconds;
      if (bytes == 0 || static_cast<double>(bytes) > need) bytes = static_cast<uint64_t>(need);
      seconds = perSecond > 0 ? static_cast<double>(bytes) / perSecond : 0.0;
    } else if (bytes == 0) {
      bytes = 32768;
    }
    KelSetBuffering(m_file, chan, bytes);
    return seconds;
  }
  double rate = 0.0;
  const int n = KelChanCount(m_file);
  std::vector<TKelChanInfo> infos(static_cast<size_t>(n));
  for (int c = 0; c < n; ++c) {
    if (KelChanInfo(m_file, c, &infos[c]) == kKelOk && infos[c].kind != 0)
      rate += static_cast<double>(infos[c].idealRate) * infos[c].itemBytes;
  }
  if (seconds <= 0 || static_cast<double>(bytes) < rate * seconds) {
    if (bytes == 0) bytes = 1000000;
    seconds = rate > 0 ? static_cast<double>(bytes) / rate : 0.0;
  }
  for (int c = 0; c < n; ++c) {
    if (infos[c].kind == 0) continue;
    const double share = static_cast<double>(infos[c].idealRate) * infos[c].itemBytes * seconds;
    KelSetBuffering(m_file, c, share > 0 ? static_cast<uint64_t>(share) : 0);
  }
  m_bufSeconds = seconds;
  return seconds;
}

// --- Channel creation and writing --------------------------------------------

namespace {
constexpr uint32_t kBlockRequest = 32768;  // every channel asks for 32 KiB blocks
}  // namespace

int TKel32File::SetEventChan(uint16_t chan, double rate, TDataKind kind, uint32_t phyChan) {
  if (!IsOpen()) return kErrNoFile;
  return Kel32StatusToCommon(KelSetEventChan(m_file, chan, static_cast<int>(phyChan), kBlockRequest,
                                             "", "", static_cast<float>(rate), kind));
}

int TKel32File::WriteEvents(uint16_t chan, const TSTime64* times, uint64_t n) {
  if (!IsOpen()) return kErrNoFile;
  if (n == 0) return kOk;
  if (times == nullptr) return kErrBadArg;
  std::vector<int32_t> narrow;
  for (uint64_t at = 0; at < n; at += kWritePiece) {
    // Narrowed in one pass, up to the first time the format cannot hold.
    const size_t m = static_cast<size_t>(std::min<uint64_t>(kWritePiece, n - at));
    narrow.resize(m);
    size_t k = 0;
    for (; k < m; ++k) {
      const TSTime64 t = times[at + k];
      if (t < 0 || t >= kTime32Limit) break;
      narrow[k] = static_cast<int32_t>(t);
    }
    if (k == 0) return at == 0 ? kErrOutOfRange : kOk;
    const int st = KelWriteEvents(m_file, chan, narrow.data(), static_cast<int>(k));
    if (st < 0) return Kel32StatusToCommon(st);
    if (k < m) return kOk;
  }
  return kOk;
}

int TKel32File::SetMarkerChan(uint16_t chan, double rate, TDataKind kind, uint32_t phyChan) {
  return SetEventChan(chan, rate, kind, phyChan);
}

int TKel32File::WriteMarkers(uint16_t chan, const TMarker* items, uint64_t n) {
  if (!IsOpen()) return kErrNoFile;
  if (n == 0) return kOk;
  if (items == nullptr) return kErrBadArg;
  if (KelChanKind(m_file, chan) == Level) {
    std::vector<TSTime64> times(static_cast<size_t>(n));
    for (uint64_t i = 0; i < n; ++i) times[i] = items[i].time;
    return WriteEvents(chan, times.data(), n);
  }
  const size_t k = Narrowable(&items[0].time, n, sizeof *items);
  if (k == 0) return kErrOutOfRange;
  std::vector<uint8_t> narrow;
  for (size_t at = 0; at < k; at += kWritePiece) {
    const size_t m = std::min<size_t>(kWritePiece, k - at);
    narrow.resize(m * 8);
    for (size_t i = 0; i < m; ++i) {
      le::PutI32(&narrow[i * 8], static_cast<int32_t>(items[at + i].time));
      std::memcpy(&narrow[i * 8 + 4], items[at + i].code, 4);
    }
    const int st = KelWriteMarkers(m_file, chan, narrow.data(), static_cast<int>(m));
    if (st < 0) return Kel32StatusToCommon(st);
  }
  return kOk;
}

int TKel32File::EditMarker(uint16_t chan, TSTime64 t, const TMarker* item, uint64_t bytes) {
  if (!IsOpen()) return kErrNoFile;
  if (t > kMaxTime32) return 0;
  if (bytes < 8 || item == nullptr) return kErrBadArg;
  TKelChanInfo info;
  const int st = ChanInfo(chan, &info);
  if (st != kOk) return st;
  const uint64_t n = std::min<uint64_t>(info.itemBytes + 8, bytes);
  // The ORF item: time, codes, then the attached data from byte 16.
  std::vector<uint8_t> orf(std::max<uint32_t>(info.itemBytes, 8), 0);
  if (item->time < 0 || item->time > kMaxTime32) return kErrOutOfRange;
  le::PutI32(orf.data(), static_cast<int32_t>(item->time));
  std::memcpy(orf.data() + 4, item->code, 4);
  if (n > 16)
    std::memcpy(orf.data() + 8, reinterpret_cast<const uint8_t*>(item) + 16,
                std::min<size_t>(n - 16, orf.size() - 8));
  int length = 4;
  if (n >= 17) {
    length = static_cast<int>(n - 8);
  } else if (n >= 13) {
    length = 8;
  } else if (n >= 9) {
    length = static_cast<int>(n - 4);
  }
  return Kel32StatusToCommon(
      KelEditMarker(m_file, chan, static_cast<int32_t>(t), orf.data(), length));
}

int TKel32File::SetLevelChan(uint16_t chan, double rate, uint32_t phyChan) {
  return SetEventChan(chan, rate, Level, phyChan);
}

int TKel32File::SetInitLevel(uint16_t chan, bool level) {
  if (!IsOpen()) return kErrNoFile;
  // The level stored is the one before the first transition: its inverse.
  const int st = KelSetInitLevel(m_file, chan, level ? 0 : 1);
  return st < 0 ? Kel32StatusToCommon(st) : kOk;
}

int TKel32File::WriteLevels(uint16_t chan, const TSTime64* times, uint64_t n) {
  return WriteEvents(chan, times, n);
}

int TKel32File::SetTextMarkChan(uint16_t chan, double rate, uint64_t maxChars, uint32_t phyChan) {
  if (!IsOpen()) return kErrNoFile;
  if (maxChars > 0xFFFF - 8) return kErrBadArg;
  return Kel32StatusToCommon(KelSetTextMarkChan(m_file, chan, static_cast<int>(phyChan),
                                                kBlockRequest, "", "", static_cast<float>(rate),
                                                "", static_cast<int>(maxChars)));
}

int TKel32File::SetExtMarkChan(uint16_t chan, double rate, TDataKind kind, uint64_t rows,
                               uint64_t cols, uint32_t phyChan, TSTime64 divide, int preTrig) {
  if (!IsOpen()) return kErrNoFile;
  if (divide >= kTime32Limit || rows >= 65536 || cols >= 65536 || preTrig >= 32768)
    return kErrBadArg;
  const int phy = static_cast<int>(phyChan);
  switch (kind) {
    case Marker: return SetMarkerChan(chan, rate, kind, phyChan);
    case WaveMark:
      if (rows < 1 || rows > 1024 || cols < 1 || cols > 4 || preTrig < 0 ||
          static_cast<uint64_t>(preTrig) > rows || divide < 1)
        return kErrBadArg;
      return Kel32StatusToCommon(KelSetAdcMarkChan(
          m_file, chan, phy, static_cast<int32_t>(divide), kBlockRequest, "", "", 1.0f, 0.0f, "",
          static_cast<float>(rate), static_cast<int>(rows), preTrig, static_cast<int>(cols)));
    case RealMark:
      return Kel32StatusToCommon(KelSetRealMarkChan(m_file, chan, phy, kBlockRequest, "", "",
                                                    static_cast<float>(rate), -1.0f, 1.0f, "",
                                                    static_cast<int>(rows)));
    case TextMark: return SetTextMarkChan(chan, rate, rows, phyChan);
    default: return kErrWrongKind;
  }
}

int TKel32File::SetWaveChan(uint16_t chan, TSTime64 divide, TDataKind kind, double,
                            uint32_t phyChan) {
  if (!IsOpen()) return kErrNoFile;
  if (divide >= kTime32Limit) return kErrBadArg;
  const int32_t d = static_cast<int32_t>(divide);
  const int phy = static_cast<int>(phyChan);
  if (kind == Adc)
    return Kel32StatusToCommon(
        KelSetWaveChan(m_file, chan, phy, d, kBlockRequest, "", "", 1.0f, 0.0f, ""));
  if (kind == RealWave)
    return Kel32StatusToCommon(
        KelSetRealWaveChan(m_file, chan, phy, d, kBlockRequest, "", "", 1.0f, 0.0f, ""));
  return kErrWrongKind;
}

namespace {

// Writes samples from tFrom in pieces; the count is cut so that no sample
// time passes 0x7FFFFFFE.
template <class T, class Write>
TSTime64 WriteWave(int file, uint16_t chan, const T* data, uint64_t n, TSTime64 tFrom, Write write) {
  if (tFrom > kMaxTime32) return kErrOutOfRange;
  if (tFrom < 0) return kErrNegativePos;
  const TSTime64 divide = KelChanDivide(file, chan);
  if (divide < 1) return Kel32StatusToCommon(static_cast<int>(divide));
  const TSTime64 room = (0x7FFFFFFE - tFrom) / divide + 1;
  n = std::min<uint64_t>(n, static_cast<uint64_t>(std::max<TSTime64>(room, 0)));
  TSTime64 t = tFrom;
  for (uint64_t at = 0; at < n; at += kWritePiece) {
    const uint64_t m = std::min<uint64_t>(kWritePiece, n - at);
    const int st = write(file, chan, data + at, static_cast<int>(m), static_cast<int32_t>(t));
    if (st < 0) return Kel32StatusToCommon(st);
    t += static_cast<TSTime64>(m) * divide;
  }
  return t;
}

}  // namespace

TSTime64 TKel32File::WriteWaveF(uint16_t chan, const float* data, uint64_t n, TSTime64 tFrom) {
  if (!IsOpen()) return kErrNoFile;
  if (n > 0 && data == nullptr) return kErrBadArg;
  return WriteWave(m_file, chan, data, n, tFrom, KelWriteRealWave);
}

TSTime64 TKel32File::WriteWaveS(uint16_t chan, const int16_t* data, uint64_t n, TSTime64 tFrom) {
  if (!IsOpen()) return kErrNoFile;
  if (n > 0 && data == nullptr) return kErrBadArg;
  return WriteWave(m_file, chan, data, n, tFrom, KelWriteWave);
}

int TKel32File::WriteExtMarks(uint16_t chan, const TExtMark* items, uint64_t n) {
  if (!IsOpen()) return kErrNoFile;
  if (n == 0) return kOk;
  if (n > 0x7FFFFFFF) return kErrBadArg;
  if (items == nullptr) return kErrBadArg;
  TKelChanInfo info;
  const int st = ChanInfo(chan, &info);
  if (st != kOk) return st;
  const int size = ItemSize(chan);
  if (size < static_cast<int>(sizeof(TMarker))) return kErrNoChannel;
  const size_t k = Narrowable(&items[0].time, n, static_cast<size_t>(size));
  if (k == 0) return kErrOutOfRange;
  const uint32_t itemBytes = info.itemBytes;
  // A waveform, event or level channel stores no codes: its items are too
  // short to take a marker.
  if (itemBytes < 8) return kErrWrongKind;
  const size_t attached = std::min<size_t>(itemBytes - 8, static_cast<size_t>(size) - sizeof(TMarker));
  const uint8_t* src = reinterpret_cast<const uint8_t*>(items);
  std::vector<uint8_t> narrow;
  const size_t piece = std::max<size_t>(1, kWritePiece / itemBytes);
  for (size_t at = 0; at < k; at += piece) {
    const size_t m = std::min(piece, k - at);
    narrow.assign(m * itemBytes, 0);
    for (size_t i = 0; i < m; ++i) {
      const uint8_t* from = src + (at + i) * static_cast<size_t>(size);
      uint8_t* to = &narrow[i * itemBytes];
      TSTime64 t;
      std::memcpy(&t, from, sizeof t);
      le::PutI32(to, static_cast<int32_t>(t));
      std::memcpy(to + 4, from + 8, 4);
      std::memcpy(to + 8, from + sizeof(TMarker), attached);
    }
    const int w = KelWriteExtMarks(m_file, chan, narrow.data(), static_cast<int>(m));
    if (w < 0) return Kel32StatusToCommon(w);
  }
  return kOk;
}

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
  TKelFilter orfFilter;
  const auto read = [&](int32_t from, int32_t to, int32_t* first) {
    return KelGetRealWaveData(m_file, chan, data, max, from, to, first,
                              ToOrfFilter(filter, &orfFilter));
  };
  return ReadWave32(IsOpen(), max, tFrom, tUpto, tFirst, read);
}

int TKel32File::ReadWaveS(uint16_t chan, int16_t* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                          TSTime64* tFirst, const CMarkFilter* filter) {
  TKelFilter orfFilter;
  const auto read = [&](int32_t from, int32_t to, int32_t* first) {
    return KelGetWaveData(m_file, chan, data, max, from, to, first, ToOrfFilter(filter, &orfFilter));
  };
  return ReadWave32(IsOpen(), max, tFrom, tUpto, tFirst, read);
}

int TKel32File::ReadWaveD(uint16_t chan, double* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                          TSTime64* tFirst) {
  const auto read = [&](int32_t from, int32_t to, int32_t* first) {
    return KelGetWaveDoubles(m_file, chan, data, max, from, to, first);
  };
  return ReadWave32(IsOpen(), max, tFrom, tUpto, tFirst, read);
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
