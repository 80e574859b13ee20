#include "filelib/orfx/data_block.h"

#include "filelib/corruption.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "filelib/orfx/block_ticks.h"
#include "filelib/partition.h"
#include "filelib/sample_copy.h"
#include "filelib/status.h"

namespace vslk64 {

using namespace block_ticks;

namespace {

TSTime64 TimeAt(const uint8_t* area, uint32_t i, uint32_t stride) {
  return le::GetI64(area + static_cast<size_t>(i) * stride);
}

// The first of n items (stride bytes apart) whose time is at or after t.
uint32_t LowerBound(const uint8_t* area, uint32_t n, uint32_t stride, TSTime64 t) {
  return PartitionPoint(uint32_t{0}, n, [&](uint32_t i) { return TimeAt(area, i, stride) < t; });
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
  // The whole block before tUpto was stepped over: go on before it, where
  // every item counts, also those sharing this block's first time (a run of
  // one time may begin in the block before).
  range.nMax -= counted;
  range.tUpto = TimeAt(area, 0, stride) + 1;
  if (range.tFrom >= range.tUpto) range.nMax = 0;
  return -1;
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
    return KEL_CORRUPT(
        "head.chan != chan_ || head.chanReuse != reuseCount || ParentLevel(head.parentRef) != 0 || "
        "...");
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
    return KEL_CORRUPT("points == 0 || traces == 0 || divide < 1 || ...");
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
      StoreSample(out + p, le::GetI16(samples + 2 * ((k0 + p) * traces + trace)));
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
  if (!DataBlockPosOk(pos, io.FileSize()))
    return KEL_CORRUPT("!DataBlockPosOk(pos, io.FileSize())");
  if (block.IsDirty() && block.FilePos() != 0 && block.Items() != 0) {
    const int rc =
        io.WriteRaw(block.Bytes(), kDataBlockSize, static_cast<int64_t>(block.FilePos()));
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
