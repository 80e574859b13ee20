// The waveform block classes: CWaveBlock, a block of runs of contiguous
// samples, and its 16-bit (CAdcBlock) and float (CRealWaveBlock) forms.
// The layout and the classes are in data_block.h.
#include "filelib/orfx/data_block.h"

#include "filelib/corruption.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "filelib/orfx/block_ticks.h"
#include "filelib/sample_copy.h"
#include "filelib/status.h"

namespace vslk64 {

using namespace block_ticks;

namespace {

// Caller's samples to the stored little-endian form (the reverse of
// CopySamples in sample_copy.h).
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

}  // namespace

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
    if (!RunAt(at, &run)) return KEL_CORRUPT("!RunAt(at, &run)");
    // Every sample time of the run, and the time one past its last sample,
    // must be a tick time; runs follow one another in time.
    if (run.count > static_cast<uint64_t>(kTimeMax / divide_))
      return KEL_CORRUPT("run.count > static_cast<uint64_t>(kTimeMax / divide_)");
    const TSTime64 span = static_cast<TSTime64>(run.count) * divide_;
    if (run.start > kTimeMax - span) return KEL_CORRUPT("run.start > kTimeMax - span");
    if (i > 0 && run.start <= prevLast) return KEL_CORRUPT("i > 0 && run.start <= prevLast");
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
  return AppendAndAdvance(in, n, t, StoreShorts);
}

int CAdcBlock::ChangeWaveS(const int16_t* in, uint64_t n, TSTime64 t, uint64_t* first) {
  return ChangeSamples(in, n, t, first, StoreShorts);
}

int CRealWaveBlock::AddWaveF(const float*& in, uint64_t n, TSTime64 t) {
  return AppendAndAdvance(in, n, t, StoreFloats);
}

int CRealWaveBlock::ChangeWaveF(const float* in, uint64_t n, TSTime64 t, uint64_t* first) {
  return ChangeSamples(in, n, t, first, StoreFloats);
}

template <typename Sample>
int CWaveBlock::ReadAndAdvance(Sample*& out, TReadRange& range, TSTime64* tFirst) {
  const uint8_t* samples = nullptr;
  const uint64_t n = PlanRead(range, tFirst, &samples);
  CopySamples(out, samples, n);
  out += n;
  return static_cast<int>(n);
}

int CAdcBlock::ReadWaveS(int16_t*& out, TReadRange& range, TSTime64* tFirst,
                         const CMarkFilter*) {
  return ReadAndAdvance(out, range, tFirst);
}

int CRealWaveBlock::ReadWaveF(float*& out, TReadRange& range, TSTime64* tFirst,
                              const CMarkFilter*) {
  return ReadAndAdvance(out, range, tFirst);
}

}  // namespace vslk64
