#include "filelib/orfx/data_block.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "filelib/status.h"

namespace vslk64 {

namespace {

constexpr TSTime64 kTimeMax = std::numeric_limits<TSTime64>::max();
constexpr TSTime64 kTimeMin = std::numeric_limits<TSTime64>::min();

// Tick arithmetic on values read from a file: the results stay inside the
// 64-bit range instead of overflowing. For the data of a validated block
// they are exact.
TSTime64 AddSat(TSTime64 a, TSTime64 b) {
  if (b > 0 && a > kTimeMax - b) return kTimeMax;
  if (b < 0 && a < kTimeMin - b) return kTimeMin;
  return a + b;
}
TSTime64 SubSat(TSTime64 a, TSTime64 b) {
  if (b > 0 && a < kTimeMin + b) return kTimeMin;
  if (b < 0 && a > kTimeMax + b) return kTimeMax;
  return a - b;
}
// n * d for d >= 1.
TSTime64 MulSat(uint64_t n, TSTime64 d) {
  if (n == 0) return 0;
  if (n > static_cast<uint64_t>(kTimeMax / d)) return kTimeMax;
  return static_cast<TSTime64>(n) * d;
}
// hi - lo for hi >= lo; always representable unsigned.
uint64_t Span(TSTime64 hi, TSTime64 lo) {
  return static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo);
}
uint64_t CeilDiv(uint64_t x, uint64_t d) { return x / d + (x % d != 0 ? 1 : 0); }

TSTime64 TimeAt(const uint8_t* area, uint32_t i, uint32_t stride) {
  return le::GetI64(area + static_cast<size_t>(i) * stride);
}

// The first of n items (stride bytes apart) whose time is at or after t.
uint32_t LowerBound(const uint8_t* area, uint32_t n, uint32_t stride, TSTime64 t) {
  uint32_t lo = 0;
  uint32_t hi = n;
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (TimeAt(area, mid, stride) < t) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// How a read treats a filter: kSkipAll when nothing passes, kTest when each
// item's codes must be tested, kTakeAll otherwise.
enum class FilterUse { kTakeAll, kTest, kSkipAll };

FilterUse UseOf(const CMarkFilter* filter, bool hasCodes) {
  if (filter == nullptr) return FilterUse::kTakeAll;
  const int32_t summary = filter->Summary();
  if (summary == CMarkFilter::kNonePass) return FilterUse::kSkipAll;
  if (summary == CMarkFilter::kAllPass || !hasCodes) return FilterUse::kTakeAll;
  return FilterUse::kTest;
}

bool Passes(const CMarkFilter* filter, const uint8_t* item) {
  return filter->Match(item + kMarkerCodesAt);
}

// The forward read of packed, time-ordered items (events, markers and
// extended markers). copy(item) delivers one item.
template <class Copy>
int ReadItems(const uint8_t* area, uint32_t items, uint32_t stride, TReadRange& range,
              const CMarkFilter* filter, bool hasCodes, Copy copy) {
  if (items == 0) {
    range.Close();
    return 0;
  }
  if (!range.IsOpen()) return 0;
  const FilterUse use = UseOf(filter, hasCodes);
  if (use == FilterUse::kSkipAll) return 0;

  uint32_t i = 0;
  if (TimeAt(area, 0, stride) < range.tFrom) {
    i = LowerBound(area, items, stride, range.tFrom);
    if (i == items) return 0;  // all earlier: the next block may hold some
  }
  const uint64_t limit = std::min<uint64_t>(range.nMax, items - i);
  uint64_t delivered = 0;
  bool reachedEnd = false;
  while (delivered < limit) {
    if (i == items) {
      reachedEnd = true;
      break;
    }
    const uint8_t* item = area + static_cast<size_t>(i) * stride;
    if (le::GetI64(item) >= range.tUpto) break;
    if (use == FilterUse::kTakeAll || Passes(filter, item)) {
      copy(item);
      ++delivered;
    }
    ++i;
  }
  range.nMax -= delivered;
  // Stopped by an item at or after tUpto: nothing later can be wanted.
  if (delivered < limit && !reachedEnd) range.Close();
  return static_cast<int>(delivered);
}

// The backward search over packed, time-ordered items.
TSTime64 PrevItems(const uint8_t* area, uint32_t items, uint32_t stride, TReadRange& range,
                   const CMarkFilter* filter, bool hasCodes) {
  if (range.nMax == 0) return -1;
  const FilterUse use = UseOf(filter, hasCodes);
  const uint32_t k = LowerBound(area, items, stride, range.tUpto);
  if (k == 0) return -1;  // nothing here before tUpto: try the previous block
  if (use == FilterUse::kSkipAll) {
    range.nMax = 0;
    return -1;
  }
  uint64_t counted = 0;
  if (use == FilterUse::kTakeAll) {
    if (k >= range.nMax) {
      const TSTime64 t = TimeAt(area, static_cast<uint32_t>(k - range.nMax), stride);
      range.nMax = 0;
      return t < range.tFrom ? -1 : t;
    }
    counted = k;
  } else {
    for (uint32_t i = k; i-- > 0;) {
      const uint8_t* item = area + static_cast<size_t>(i) * stride;
      const TSTime64 t = le::GetI64(item);
      if (t < range.tFrom) {
        range.nMax = 0;
        return -1;
      }
      if (Passes(filter, item) && ++counted == range.nMax) {
        range.nMax = 0;
        return t;
      }
    }
  }
  // The whole block before tUpto was stepped over: go on before it.
  range.nMax -= counted;
  range.tUpto = TimeAt(area, 0, stride);
  if (range.tFrom >= range.tUpto) range.nMax = 0;
  return -1;
}

// Samples are stored little-endian. On a little-endian host a run's samples
// are already in host order and move with one block copy; elsewhere each is
// decoded.
constexpr bool kLittleEndianHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

void CopySamples(int16_t* out, const uint8_t* in, uint64_t n) {
  if (n == 0) return;  // in may be null then
  if (kLittleEndianHost) {
    std::memcpy(out, in, n * sizeof *out);
  } else {
    for (uint64_t i = 0; i < n; ++i) out[i] = le::GetI16(in + 2 * i);
  }
}

void CopySamples(float* out, const uint8_t* in, uint64_t n) {
  if (n == 0) return;
  if (kLittleEndianHost) {
    std::memcpy(out, in, n * sizeof *out);
  } else {
    for (uint64_t i = 0; i < n; ++i) out[i] = le::GetF32(in + 4 * i);
  }
}

void StoreShorts(uint8_t* dst, const void* in, uint64_t from, uint64_t n) {
  const int16_t* src = static_cast<const int16_t*>(in) + from;
  if (kLittleEndianHost) {
    std::memcpy(dst, src, n * sizeof *src);
  } else {
    for (uint64_t i = 0; i < n; ++i) le::PutI16(dst + 2 * i, src[i]);
  }
}

void StoreFloats(uint8_t* dst, const void* in, uint64_t from, uint64_t n) {
  const float* src = static_cast<const float*>(in) + from;
  if (kLittleEndianHost) {
    std::memcpy(dst, src, n * sizeof *src);
  } else {
    for (uint64_t i = 0; i < n; ++i) le::PutF32(dst + 4 * i, src[i]);
  }
}

void PutMarker(TMarker* out, const uint8_t* item) {
  out->time = le::GetI64(item);
  std::memcpy(out->code, item + kMarkerCodesAt, sizeof out->code);
  std::memcpy(out->pad, item + kMarkerCodesAt + sizeof out->code, sizeof out->pad);
}

}  // namespace

// ---------------------------------------------------------------------------
// CDataBlock

CDataBlock::CDataBlock(uint16_t chan) : chan_(chan) { SetChan(chan); }

void CDataBlock::Reset() {
  SetHead(TDiskBlockHead{0, chan_, 0, 0});
  filePos_ = 0;
  dirty_ = 0;
  ForgetLastRun();
}

uint32_t CDataBlock::CountedItems() const {
  return static_cast<uint32_t>(std::min<uint64_t>(Items(), MaxItems()));
}

int CDataBlock::ReadWaveF(float*&, TReadRange&, TSTime64*, const CMarkFilter*) {
  return kErrWrongKind;
}
int CDataBlock::ReadWaveS(int16_t*&, TReadRange&, TSTime64*, const CMarkFilter*) {
  return kErrWrongKind;
}
int CDataBlock::ReadExtMarks(uint8_t*&, TReadRange&, const CMarkFilter*) { return kErrWrongKind; }
int CDataBlock::ReadMarkers(TMarker*&, TReadRange&, const CMarkFilter*) { return kErrWrongKind; }
int CDataBlock::ReadEvents(TSTime64*&, TReadRange&, const CMarkFilter*) { return kErrWrongKind; }
TSTime64 CDataBlock::PrevNWaveTime(TReadRange&, const CMarkFilter*, uint64_t, TSTime64) {
  return kErrWrongKind;
}
int CDataBlock::AddExtMarks(const uint8_t*&, uint64_t) { return kErrWrongKind; }
int CDataBlock::AddMarkers(const TMarker*&, uint64_t) { return kErrWrongKind; }
int CDataBlock::AddEvents(const TSTime64*&, uint64_t) { return kErrWrongKind; }
int CDataBlock::AddWaveF(const float*&, uint64_t, TSTime64) { return kErrWrongKind; }
int CDataBlock::AddWaveS(const int16_t*&, uint64_t, TSTime64) { return kErrWrongKind; }
int CDataBlock::ChangeWaveF(const float*, uint64_t, TSTime64, uint64_t*) { return kErrWrongKind; }
int CDataBlock::ChangeWaveS(const int16_t*, uint64_t, TSTime64, uint64_t*) {
  return kErrWrongKind;
}
int CDataBlock::EditMarker(TSTime64, const uint8_t*, uint64_t) { return kErrWrongKind; }

uint64_t CDataBlock::TakeItemRoom(uint64_t n, uint64_t itemBytes, uint8_t** at) {
  if (Items() >= MaxItems()) {
    // Written out by the channel already: this object becomes the next,
    // not yet placed block.
    SetItems(0);
    filePos_ = 0;
    dirty_ = 0;
  }
  const uint32_t items = Items();
  const uint64_t k = std::min<uint64_t>(n, MaxItems() - items);
  *at = bytes_ + kItemAreaAt + items * itemBytes;
  if (k > 0) {
    SetItems(static_cast<uint32_t>(items + k));
    dirty_ = 1;
  }
  return k;
}

int CDataBlock::EditItem(uint32_t stride, TSTime64 t, const uint8_t* item, uint64_t bytes) {
  if (bytes > stride || (item == nullptr && bytes > kMarkerCodesAt)) return kErrBadArg;
  const uint8_t* area = bytes_ + kItemAreaAt;
  const uint32_t items = CountedItems();
  if (items == 0 || t < TimeAt(area, 0, stride) || t > TimeAt(area, items - 1, stride)) return 0;
  const uint32_t i = LowerBound(area, items, stride, t);
  uint8_t* stored = bytes_ + kItemAreaAt + static_cast<size_t>(i) * stride;
  if (i == items || le::GetI64(stored) != t) return 0;
  if (bytes <= kMarkerCodesAt) return 1;
  const size_t n = bytes - kMarkerCodesAt;
  if (std::memcmp(stored + kMarkerCodesAt, item + kMarkerCodesAt, n) != 0) {
    std::memcpy(stored + kMarkerCodesAt, item + kMarkerCodesAt, n);
    dirty_ = 1;
  }
  return 1;
}

int CDataBlock::Validate(uint16_t reuseCount) {
  const TDiskBlockHead head = Head();
  if (head.chan != chan_ || head.chanReuse != reuseCount || ParentLevel(head.parentRef) != 0 ||
      head.items > MaxItems()) {
    return kErrCorrupt;
  }
  return kOk;
}

// ---------------------------------------------------------------------------
// CEventBlock

TSTime64 CEventBlock::EndTime() const {
  const uint32_t n = CountedItems();
  return n == 0 ? -1 : TimeAt(bytes_ + kItemAreaAt, n - 1, kEventBytes);
}

int CEventBlock::ReadEvents(TSTime64*& out, TReadRange& range, const CMarkFilter* filter) {
  return ReadItems(bytes_ + kItemAreaAt, CountedItems(), kEventBytes, range, filter, false,
                   [&out](const uint8_t* item) { *out++ = le::GetI64(item); });
}

TSTime64 CEventBlock::PrevNTime(TReadRange& range, const CMarkFilter* filter) {
  return PrevItems(bytes_ + kItemAreaAt, CountedItems(), kEventBytes, range, filter, false);
}

int CEventBlock::AddEvents(const TSTime64*& in, uint64_t n) {
  uint8_t* at = nullptr;
  const uint64_t k = TakeItemRoom(n, kEventBytes, &at);
  for (uint64_t i = 0; i < k; ++i) le::PutI64(at + i * kEventBytes, in[i]);
  in += k;
  return static_cast<int>(k);
}

// ---------------------------------------------------------------------------
// CMarkerBlock

TSTime64 CMarkerBlock::EndTime() const {
  const uint32_t n = CountedItems();
  return n == 0 ? -1 : TimeAt(bytes_ + kItemAreaAt, n - 1, kMarkerBytes);
}

int CMarkerBlock::LastCode() const {
  const uint32_t n = CountedItems();
  if (n == 0) return -1;
  return bytes_[kItemAreaAt + static_cast<size_t>(n - 1) * kMarkerBytes + kMarkerCodesAt];
}

int CMarkerBlock::ReadMarkers(TMarker*& out, TReadRange& range, const CMarkFilter* filter) {
  return ReadItems(bytes_ + kItemAreaAt, CountedItems(), kMarkerBytes, range, filter, true,
                   [&out](const uint8_t* item) { PutMarker(out++, item); });
}

int CMarkerBlock::ReadEvents(TSTime64*& out, TReadRange& range, const CMarkFilter* filter) {
  return ReadItems(bytes_ + kItemAreaAt, CountedItems(), kMarkerBytes, range, filter, true,
                   [&out](const uint8_t* item) { *out++ = le::GetI64(item); });
}

TSTime64 CMarkerBlock::PrevNTime(TReadRange& range, const CMarkFilter* filter) {
  return PrevItems(bytes_ + kItemAreaAt, CountedItems(), kMarkerBytes, range, filter, true);
}

int CMarkerBlock::AddMarkers(const TMarker*& in, uint64_t n) {
  uint8_t* at = nullptr;
  const uint64_t k = TakeItemRoom(n, kMarkerBytes, &at);
  for (uint64_t i = 0; i < k; ++i, at += kMarkerBytes) {
    le::PutI64(at, in[i].time);
    std::memcpy(at + kMarkerCodesAt, in[i].code, sizeof in[i].code);
    std::memcpy(at + kMarkerCodesAt + sizeof in[i].code, in[i].pad, sizeof in[i].pad);
  }
  in += k;
  return static_cast<int>(k);
}

int CMarkerBlock::EditMarker(TSTime64 t, const uint8_t* item, uint64_t bytes) {
  return EditItem(kMarkerBytes, t, item, bytes);
}

// ---------------------------------------------------------------------------
// CExtMarkBlock

bool CExtMarkBlock::UsableItemSize(uint64_t itemSize) {
  return itemSize >= kMinExtMarkBytes && itemSize % 8 == 0 && itemSize <= kItemAreaSize;
}

CExtMarkBlock::CExtMarkBlock(uint16_t chan, uint64_t itemSize)
    : CDataBlock(chan),
      capacity_(UsableItemSize(itemSize) ? kItemAreaSize / itemSize : 0),
      itemSize_(UsableItemSize(itemSize) ? itemSize : kMinExtMarkBytes) {}

TSTime64 CExtMarkBlock::EndTime() const {
  const uint32_t n = CountedItems();
  return n == 0 ? -1 : TimeAt(bytes_ + kItemAreaAt, n - 1, static_cast<uint32_t>(itemSize_));
}

int CExtMarkBlock::ReadExtMarks(uint8_t*& out, TReadRange& range, const CMarkFilter* filter) {
  const size_t size = itemSize_;
  return ReadItems(bytes_ + kItemAreaAt, CountedItems(), static_cast<uint32_t>(size), range,
                   filter, true, [&out, size](const uint8_t* item) {
                     const TSTime64 t = le::GetI64(item);
                     std::memcpy(out, &t, sizeof t);
                     std::memcpy(out + sizeof t, item + sizeof t, size - sizeof t);
                     out += size;
                   });
}

int CExtMarkBlock::ReadMarkers(TMarker*& out, TReadRange& range, const CMarkFilter* filter) {
  return ReadItems(bytes_ + kItemAreaAt, CountedItems(), static_cast<uint32_t>(itemSize_), range,
                   filter, true, [&out](const uint8_t* item) { PutMarker(out++, item); });
}

int CExtMarkBlock::ReadEvents(TSTime64*& out, TReadRange& range, const CMarkFilter* filter) {
  return ReadItems(bytes_ + kItemAreaAt, CountedItems(), static_cast<uint32_t>(itemSize_), range,
                   filter, true, [&out](const uint8_t* item) { *out++ = le::GetI64(item); });
}

TSTime64 CExtMarkBlock::PrevNTime(TReadRange& range, const CMarkFilter* filter) {
  return PrevItems(bytes_ + kItemAreaAt, CountedItems(), static_cast<uint32_t>(itemSize_), range,
                   filter, true);
}

int CExtMarkBlock::AddExtMarks(const uint8_t*& in, uint64_t n) {
  uint8_t* at = nullptr;
  const uint64_t k = TakeItemRoom(n, itemSize_, &at);
  for (uint64_t i = 0; i < k; ++i, at += itemSize_, in += itemSize_) {
    TSTime64 t;
    std::memcpy(&t, in, sizeof t);  // the caller's records hold it in host order
    le::PutI64(at, t);
    std::memcpy(at + sizeof t, in + sizeof t, itemSize_ - sizeof t);
  }
  return static_cast<int>(k);
}

int CExtMarkBlock::EditMarker(TSTime64 t, const uint8_t* item, uint64_t bytes) {
  return EditItem(static_cast<uint32_t>(itemSize_), t, item, bytes);
}

// Each kind-6 record holds rows points of cols traces, point by point, the
// points divide ticks apart from the record time. Reading one trace of
// consecutive records as a waveform delivers the points from tFrom on while
// each record continues exactly where the previous one stopped.
int CExtMarkBlock::ReadWaveS(int16_t*& out, TReadRange& range, TSTime64* tFirst,
                             const CMarkFilter* filter) {
  const TChanHead* head = range.pHead;
  if (head == nullptr) return 0;
  if (head->kind != WaveMark) return kErrWrongKind;
  const uint64_t points = head->rows;
  const uint64_t traces = head->cols;
  const TSTime64 divide = head->divide;
  // The shape must describe records that fit this block's item size.
  if (points == 0 || traces == 0 || divide < 1 ||
      kMinExtMarkBytes + points * traces * 2 > itemSize_) {
    return kErrCorrupt;
  }

  const uint8_t* area = bytes_ + kItemAreaAt;
  const uint32_t stride = static_cast<uint32_t>(itemSize_);
  const uint32_t items = CountedItems();
  if (items == 0) {
    range.Close();
    return 0;
  }
  if (!range.IsOpen()) return 0;
  const FilterUse use = UseOf(filter, true);
  if (use == FilterUse::kSkipAll) return 0;
  uint64_t trace = 0;
  if (filter != nullptr && filter->GetColumn() >= 0 &&
      static_cast<uint64_t>(filter->GetColumn()) < traces) {
    trace = static_cast<uint64_t>(filter->GetColumn());
  }

  // A record reaches tFrom when its last point does.
  const TSTime64 reach = MulSat(points - 1, divide);
  const TSTime64 earliest = SubSat(range.tFrom, reach);
  uint32_t i = 0;
  if (TimeAt(area, 0, stride) < earliest) {
    i = LowerBound(area, items, stride, earliest);
    if (i == items) {
      range.Close();
      return 0;
    }
  }
  if (TimeAt(area, i, stride) >= range.tUpto) {
    range.Close();
    range.nMax = 0;
    return 0;
  }

  uint64_t total = 0;
  for (bool first = true;; ++i, first = false) {
    if (i == items) return static_cast<int>(total);
    if (use == FilterUse::kTest) {
      while (!Passes(filter, area + static_cast<size_t>(i) * stride)) {
        if (++i == items) return static_cast<int>(total);
      }
      if (TimeAt(area, i, stride) >= range.tUpto) return static_cast<int>(total);
    }
    const uint8_t* record = area + static_cast<size_t>(i) * stride;
    const TSTime64 t = le::GetI64(record);
    if (!first && t > range.tFrom) return static_cast<int>(total);  // a gap follows

    const uint64_t k0 = range.tFrom > t ? CeilDiv(Span(range.tFrom, t), divide) : 0;
    if (k0 >= points) continue;  // the record ends before tFrom
    const TSTime64 t0 = AddSat(t, MulSat(k0, divide));
    if (range.First()) {
      if (tFirst != nullptr) *tFirst = t0;
      range.ClearFirst();
    } else if (t0 != range.tFrom) {
      range.Close();
      range.nMax = 0;
      return static_cast<int>(total);
    }
    uint64_t n = points - k0;
    if (AddSat(t, reach) >= range.tUpto) {
      n = range.tUpto > t0 ? CeilDiv(Span(range.tUpto, t0), divide) : 0;
    }
    const uint64_t m = std::min(n, range.nMax);
    const uint8_t* samples = record + kMinExtMarkBytes;
    for (uint64_t p = 0; p < m; ++p) {
      out[p] = le::GetI16(samples + 2 * ((k0 + p) * traces + trace));
    }
    out += m;
    total += m;
    range.tFrom = AddSat(t0, MulSat(m, divide));
    range.nMax -= m;
    if (!range.IsOpen()) return static_cast<int>(total);
  }
}

// The backward search over the points of wave marks: each record stands for
// `points` points from its time on, `divide` ticks apart; the points stepped
// back over must be contiguous.
TSTime64 CExtMarkBlock::PrevNWaveTime(TReadRange& range, const CMarkFilter* filter,
                                      uint64_t points, TSTime64 divide) {
  if (points == 0 || divide < 1) return kErrWrongKind;
  if (range.nMax == 0) return -1;
  const uint8_t* area = bytes_ + kItemAreaAt;
  const uint32_t stride = static_cast<uint32_t>(itemSize_);
  const uint32_t items = CountedItems();
  const bool testing = filter != nullptr && filter->Summary() != CMarkFilter::kAllPass;
  const TSTime64 reach = MulSat(points - 1, divide);

  uint32_t i = LowerBound(area, items, stride, range.tUpto);
  if (i == 0) return -1;  // nothing here before tUpto: try the previous block
  // Ends the search: no contiguous points before tUpto from here on.
  auto stop = [&range]() {
    range.nMax = 0;
    return range.First() ? -1 : range.tUpto;
  };
  for (;;) {
    --i;
    if (testing) {
      while (!Passes(filter, area + static_cast<size_t>(i) * stride)) {
        if (i == 0 || AddSat(TimeAt(area, i, stride), reach) < range.tFrom) return stop();
        --i;
      }
    }
    const TSTime64 t = TimeAt(area, i, stride);
    const TSTime64 last = AddSat(t, reach);
    // A record wholly before tFrom, or one not before tUpto (records sharing
    // a time), holds nothing to step back over.
    if (last < range.tFrom || t >= range.tUpto) return stop();
    const uint64_t lastIdx =
        last >= range.tUpto ? (Span(range.tUpto, t) - 1) / static_cast<uint64_t>(divide)
                            : points - 1;
    uint64_t firstIdx = t < range.tFrom ? CeilDiv(Span(range.tFrom, t), divide) : 0;
    if (firstIdx > lastIdx) return stop();  // no point lies in [tFrom, tUpto)
    if (lastIdx - firstIdx + 1 > range.nMax) firstIdx = lastIdx - range.nMax + 1;
    const TSTime64 tA = AddSat(t, MulSat(firstIdx, divide));
    if (range.First()) {
      range.ClearFirst();
    } else if (AddSat(t, MulSat(lastIdx + 1, divide)) != range.tUpto) {
      range.nMax = 0;  // a gap: contiguous data begin at tUpto
      return range.tUpto;
    }
    range.tUpto = tA;
    range.nMax -= lastIdx - firstIdx + 1;
    if (i == 0 || !range.IsOpen()) return tA;
  }
}

// ---------------------------------------------------------------------------
// CWaveBlock

CWaveBlock::CWaveBlock(uint16_t chan, TSTime64 divide, uint32_t sampleBytes)
    : CDataBlock(chan), divide_(divide < 1 ? 1 : divide), sampleBytes_(sampleBytes) {}

bool CWaveBlock::RunAt(uint32_t at, TRun* run) const {
  if (at < kItemAreaAt || at > kDataBlockSize - kRunHeadBytes) return false;
  const uint32_t count = le::GetU32(bytes_ + at + kRunCountAt);
  if (count == 0) return false;
  const uint64_t sampleBytes = static_cast<uint64_t>(count) * sampleBytes_;
  const uint64_t room = kDataBlockSize - kRunHeadBytes - at;
  if (sampleBytes > room) return false;
  run->at = at;
  run->start = le::GetI64(bytes_ + at + kRunStartAt);
  run->count = count;
  // The room left is a multiple of 8, so the rounded end stays inside.
  run->next = static_cast<uint32_t>(at + kRunHeadBytes + ((sampleBytes + 7) & ~uint64_t{7}));
  return true;
}

bool CWaveBlock::LastRun(TRun* run) const {
  if (Items() == 0) return false;
  if (lastRun_ != kNoRun && RunAt(lastRun_, run)) return true;
  TRun walk;
  uint32_t at = kItemAreaAt;
  bool found = false;
  for (uint32_t i = 0; i < Items() && RunAt(at, &walk); ++i) {
    *run = walk;
    found = true;
    at = walk.next;
  }
  if (found) lastRun_ = run->at;
  return found;
}

TSTime64 CWaveBlock::SampleTime(const TRun& run, uint64_t i) const {
  return AddSat(run.start, MulSat(i, divide_));
}

TSTime64 CWaveBlock::EndTime() const {
  TRun run;
  return LastRun(&run) ? SampleTime(run, run.count - 1) : -1;
}

int CWaveBlock::Validate(uint16_t reuseCount) {
  int rc = CDataBlock::Validate(reuseCount);
  if (rc < 0) return rc;
  lastRun_ = kNoRun;
  TRun run;
  uint32_t at = kItemAreaAt;
  TSTime64 prevLast = kTimeMin;
  for (uint32_t i = 0; i < Items(); ++i) {
    if (!RunAt(at, &run)) return kErrCorrupt;
    // Every sample time of the run, and the time one past its last sample,
    // must be a tick time; runs follow one another in time.
    if (run.count > static_cast<uint64_t>(kTimeMax / divide_)) return kErrCorrupt;
    const TSTime64 span = static_cast<TSTime64>(run.count) * divide_;
    if (run.start > kTimeMax - span) return kErrCorrupt;
    if (i > 0 && run.start <= prevLast) return kErrCorrupt;
    prevLast = run.start + span - divide_;
    lastRun_ = at;
    at = run.next;
  }
  return kOk;
}

uint64_t CWaveBlock::PlanRead(TReadRange& range, TSTime64* tFirst, const uint8_t** samples) {
  const uint32_t items = Items();
  if (items == 0) {
    range.Close();
    return 0;
  }
  if (!range.IsOpen()) return 0;

  // The first run whose last sample is at or after tFrom.
  TRun run;
  uint32_t at = kItemAreaAt;
  uint32_t idx = 0;
  for (;; ++idx) {
    if (idx == items || !RunAt(at, &run)) {
      range.Close();
      return 0;
    }
    if (run.start >= range.tUpto) {
      range.Close();
      return 0;
    }
    if (SampleTime(run, run.count - 1) >= range.tFrom) break;
    at = run.next;
  }

  // Offset of tFrom into the run. After the first delivery a read must
  // continue exactly at tFrom: a later start or a misaligned time is a gap.
  uint64_t offset = 0;
  if (range.tFrom < run.start) {
    if (!range.First()) {
      range.nMax = 0;
      range.Close();
      return 0;
    }
  } else {
    offset = Span(range.tFrom, run.start);
    if (!range.First() && offset % static_cast<uint64_t>(divide_) != 0) {
      range.nMax = 0;
      range.Close();
      return 0;
    }
  }
  const uint64_t i0 = CeilDiv(offset, divide_);
  uint64_t i1 = run.count;
  if (SampleTime(run, run.count - 1) >= range.tUpto) {
    i1 = CeilDiv(Span(range.tUpto, run.start), divide_);  // samples before tUpto
  }
  const uint64_t n = std::min(i1 > i0 ? i1 - i0 : 0, range.nMax);
  range.nMax -= n;
  if (range.First()) {
    range.ClearFirst();
    if (tFirst != nullptr) *tFirst = SampleTime(run, i0);
  }
  range.tFrom = SampleTime(run, i0 + n);
  // The next run of this block cannot continue this one.
  if (i0 + n == run.count && idx + 1 < items) {
    range.nMax = 0;
    range.Close();
  }
  *samples = bytes_ + run.at + kRunHeadBytes + i0 * sampleBytes_;
  return n;
}

// Steps back over up to nMax contiguous samples before tUpto.
TSTime64 CWaveBlock::PrevNTime(TReadRange& range, const CMarkFilter*) {
  if (range.nMax == 0) return -1;
  const uint32_t items = Items();
  TRun run;
  if (items == 0 || !RunAt(kItemAreaAt, &run) || run.start >= range.tUpto) return -1;

  // The run r holding the last samples before tUpto, and c, how many of its
  // samples lie before tUpto.
  TRun r = run;
  uint32_t rIdx = 0;
  uint64_t c = run.count;
  for (uint32_t idx = 0;;) {
    if (SampleTime(run, run.count) >= range.tUpto) {
      r = run;
      rIdx = idx;
      c = (Span(range.tUpto, run.start) - 1) / static_cast<uint64_t>(divide_) + 1;
      break;
    }
    r = run;
    rIdx = idx;
    c = run.count;
    if (++idx == items || !RunAt(run.next, &run) || run.start >= range.tUpto) break;
  }

  // Continuing a search, the samples must reach exactly up to tUpto.
  if (!range.First() && SampleTime(r, c) != range.tUpto) {
    range.nMax = 0;
    return range.tUpto;
  }
  uint64_t a = 0;
  if (c >= range.nMax) {
    a = c - range.nMax;
    range.nMax = 0;
  } else if (rIdx != 0) {
    range.nMax = 0;  // a gap lies before r
  } else {
    range.nMax -= c;  // the previous block may continue the search
  }
  TSTime64 tA = SampleTime(r, a);
  if (tA < range.tFrom) {
    range.nMax = 0;
    // The first sample at or after tFrom, if it lies before tUpto.
    if (range.tFrom <= SampleTime(r, c - 1)) {
      tA = SampleTime(r, a + CeilDiv(Span(range.tFrom, tA), divide_));
    } else {
      tA = range.First() ? -1 : range.tUpto;
    }
  }
  range.tUpto = tA;
  range.ClearFirst();
  return tA;
}

uint64_t CWaveBlock::TimeRoom(TSTime64 start) const {
  return Span(kTimeMax, start) / static_cast<uint64_t>(divide_);
}

uint64_t CWaveBlock::AppendSamples(const void* in, uint64_t n, TSTime64 t, StoreFn store) {
  TRun run{};
  uint32_t at = kItemAreaAt;  // head of the run that takes the samples
  uint64_t count = 0;         // samples it holds now
  bool newRun = true;
  if (Items() != 0) {
    if (!LastRun(&run)) return 0;  // runs we cannot follow: take nothing
    const uint64_t have = run.count;
    // The time one past the last sample, exact (in unsigned arithmetic, as
    // the start may be negative) while the run has time room left.
    const bool roomLeft = have < TimeRoom(run.start);
    const uint64_t next = static_cast<uint64_t>(run.start) + have * static_cast<uint64_t>(divide_);
    if (roomLeft && t == static_cast<TSTime64>(next)) {
      at = run.at;
      count = have;
      newRun = false;
    } else {
      // A new run must lie after the stored samples, or the block would no
      // longer read back as runs in time order.
      if (t <= SampleTime(run, have - 1)) return 0;
      at = run.next;
    }
  }
  // Sample slots from the run's present end to the end of the block; a new
  // run needs its head to fit first.
  const uint64_t end = static_cast<uint64_t>(at) + kRunHeadBytes + count * sampleBytes_;
  const uint64_t slots = end < kDataBlockSize ? (kDataBlockSize - end) / sampleBytes_ : 0;
  const TSTime64 start = newRun ? t : run.start;
  const uint64_t timeSlots = TimeRoom(start) - count;
  const uint64_t m = std::min({n, slots, timeSlots});
  if (m == 0) return 0;

  uint8_t* head = bytes_ + at;
  if (newRun) {
    le::PutI64(head + kRunStartAt, t);
    le::PutU32(head + kRunCountAt, 0);
    le::PutU32(head + kRunReservedAt, 0);
    SetItems(Items() + 1);
    lastRun_ = at;
  }
  store(bytes_ + end, in, 0, m);
  le::PutU32(head + kRunCountAt, static_cast<uint32_t>(count + m));
  dirty_ = 1;
  return m;
}

int CWaveBlock::ChangeSamples(const void* in, uint64_t n, TSTime64 t, uint64_t* first,
                              StoreFn store) {
  TRun firstRun;
  TRun lastRun;
  if (Items() == 0 || !RunAt(kItemAreaAt, &firstRun) || !LastRun(&lastRun)) return -1;
  const TSTime64 endTime = SampleTime(lastRun, lastRun.count - 1);
  if (n == 0) return 0;
  if (t > endTime) return 0;
  const uint64_t d = static_cast<uint64_t>(divide_);
  const TSTime64 tLast = AddSat(t, MulSat(n - 1, divide_));  // saturates only beyond the block
  if (tLast < firstRun.start) return -1;

  const uint64_t from = t <= firstRun.start ? Span(firstRun.start, t) / d : 0;
  const uint64_t last = tLast > endTime ? Span(endTime, t) / d : n - 1;

  // A run that starts at the last input time still takes that sample.
  TRun run = firstRun;
  for (uint32_t idx = 0; idx < Items() && run.start <= tLast;) {
    uint64_t j = 0;  // input index
    uint64_t i = 0;  // run index
    uint64_t m = 0;
    if (t < run.start) {
      j = Span(run.start, t) / d;
      m = std::min<uint64_t>(n - j, run.count);
    } else if (t < SampleTime(run, run.count)) {
      i = Span(t, run.start) / d;
      m = std::min<uint64_t>(run.count - i, n);
    }
    if (m > 0) {
      store(bytes_ + run.at + kRunHeadBytes + i * sampleBytes_, in, j, m);
      dirty_ = 1;
    }
    if (++idx == Items() || !RunAt(run.next, &run)) break;
  }
  if (first != nullptr) *first = from;
  return static_cast<int>(
      std::min<uint64_t>(last - from + 1, static_cast<uint64_t>(std::numeric_limits<int>::max())));
}

int CAdcBlock::AddWaveS(const int16_t*& in, uint64_t n, TSTime64 t) {
  const uint64_t m = AppendSamples(in, n, t, StoreShorts);
  in += m;
  return static_cast<int>(m);
}

int CAdcBlock::ChangeWaveS(const int16_t* in, uint64_t n, TSTime64 t, uint64_t* first) {
  return ChangeSamples(in, n, t, first, StoreShorts);
}

int CRealWaveBlock::AddWaveF(const float*& in, uint64_t n, TSTime64 t) {
  const uint64_t m = AppendSamples(in, n, t, StoreFloats);
  in += m;
  return static_cast<int>(m);
}

int CRealWaveBlock::ChangeWaveF(const float* in, uint64_t n, TSTime64 t, uint64_t* first) {
  return ChangeSamples(in, n, t, first, StoreFloats);
}

int CAdcBlock::ReadWaveS(int16_t*& out, TReadRange& range, TSTime64* tFirst,
                         const CMarkFilter*) {
  const uint8_t* samples = nullptr;
  const uint64_t n = PlanRead(range, tFirst, &samples);
  CopySamples(out, samples, n);
  out += n;
  return static_cast<int>(n);
}

int CRealWaveBlock::ReadWaveF(float*& out, TReadRange& range, TSTime64* tFirst,
                              const CMarkFilter*) {
  const uint8_t* samples = nullptr;
  const uint64_t n = PlanRead(range, tFirst, &samples);
  CopySamples(out, samples, n);
  out += n;
  return static_cast<int>(n);
}

// ---------------------------------------------------------------------------

std::unique_ptr<CDataBlock> NewDataBlock(uint16_t chan, const TChanHead& head) {
  switch (head.kind) {
    case Adc:
      if (head.divide < 1) return nullptr;
      return std::make_unique<CAdcBlock>(chan, head.divide);
    case EventA:
    case EventB:
      return std::make_unique<CEventBlock>(chan);
    case Level:
    case Marker:
      return std::make_unique<CMarkerBlock>(chan);
    case WaveMark:
    case RealMark:
    case TextMark:
      if (!CExtMarkBlock::UsableItemSize(head.itemSize)) return nullptr;
      return std::make_unique<CExtMarkBlock>(chan, head.itemSize);
    case RealWave:
      if (head.divide < 1) return nullptr;
      return std::make_unique<CRealWaveBlock>(chan, head.divide);
    default:
      return nullptr;
  }
}

int LoadDataBlock(CBlockIo& io, CDataBlock& block, uint64_t pos, uint16_t reuseCount) {
  if (pos != 0 && block.FilePos() == pos && block.ChanReuse() == reuseCount) return kOk;
  if (!DataBlockPosOk(pos, io.FileSize())) return kErrCorrupt;
  if (block.IsDirty() && block.FilePos() != 0 && block.Items() != 0) {
    const int rc = io.WriteRaw(block.Bytes(), kDataBlockSize, static_cast<int64_t>(block.FilePos()));
    if (rc < 0) return rc;
    block.SetDirty(false);
  }
  block.ForgetLastRun();
  int rc = io.ReadRaw(block.Bytes(), kDataBlockSize, static_cast<int64_t>(pos));
  return SettleLoadedBlock(block, rc, pos, reuseCount);
}

int SettleLoadedBlock(CDataBlock& block, int rc, uint64_t pos, uint16_t reuseCount) {
  if (rc == kOk) rc = block.Validate(reuseCount);
  if (rc < 0) {
    block.Reset();
    return rc;
  }
  block.SetFilePos(pos);
  block.SetDirty(false);
  return kOk;
}

}  // namespace vslk64
