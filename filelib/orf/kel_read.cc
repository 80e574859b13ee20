// Reading ORF channel data along the block chains: events, levels, markers,
// extended markers, 16-bit and float waveforms with the gap rule, the
// backward search for the n-th previous item, and the maximum times.
//
// Every read holds the channel's lock for its whole walk. A walk visits at
// most the channel's walk limit of blocks; beyond it the chain is corrupt.
#include "filelib/orf/kel_read.h"

#include "filelib/corruption.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "filelib/ceil_div.h"
#include "filelib/kel64_types.h"
#include "filelib/le.h"
#include "filelib/mark_filter.h"
#include "filelib/partition.h"
#include "filelib/sample_convert.h"
#include "filelib/sample_copy.h"
#include "filelib/orf/kel_block.h"
#include "filelib/orf/kel_file_rec.h"

namespace vslk64 {
namespace {

using orf::kBlockHeadSize;

using orf::kMaxTime32;

const uint8_t* ItemAt(const uint8_t* block, uint32_t itemBytes, int i) {
  return block + kBlockHeadSize + static_cast<size_t>(i) * itemBytes;
}

int32_t ItemTime(const uint8_t* block, uint32_t itemBytes, int i) {
  return le::GetI32(ItemAt(block, itemBytes, i));
}

// Number of items of a block whose time is before t (the times ascend).
int CountBefore(const uint8_t* block, uint32_t itemBytes, int count, int64_t t) {
  return PartitionPoint(0, count, [&](int i) { return ItemTime(block, itemBytes, i) < t; });
}

// Number of samples of a waveform block (start, count, divide) before t.
int SamplesBefore(int32_t start, int count, int32_t divide, int64_t t) {
  if (t <= start) return 0;
  const int64_t n = CeilDiv(t - start, divide);
  return static_cast<int>(std::min<int64_t>(n, count));
}

platform::Mutex& ChanLock(TKelFileRec& rec, int c) {
  return rec.chanLocks[static_cast<size_t>(c)];
}

// --- Items -----------------------------------------------------------------

// The level of a level channel at tFrom when no block holds data in the
// range: that of the first block after it, or the channel's final level.
int LevelBeyond(TKelFileRec& rec, int c, int32_t tFrom, int* level) {
  const int32_t addr = FindBlockLocked(rec, c, tFrom, kMaxTime32);
  if (IsFailure(addr)) return addr;
  if (addr == 0) {
    *level = le::GetU8(rec.ChanHead(c) + orf::kCFinalLevel) & 1;
    return 0;
  }
  const int st = ReadBlockLocked(rec, c, addr);
  if (st != kKelOk) return st;
  *level = (BufferHead(rec.chans[static_cast<size_t>(c)]).chanField >> 8) & 1;
  return 0;
}

int ReadItemsLocked(TKelFileRec& rec, int c, int max, int32_t tFrom, int32_t tTo, int* level,
                    const TKelFilter* filter, CKelItemSink& sink) {
  const int kind = orf::ChanKind(rec.ChanHead(c));
  const bool markers = orf::IsMarkerKind(kind);
  if (!markers) filter = nullptr;
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  int32_t addr = FindBlockLocked(rec, c, tFrom, tTo);
  if (addr == 0 && level) return LevelBeyond(rec, c, tFrom, level);
  if (addr == 0 || IsFailure(addr)) return addr;

  const uint32_t itemBytes = rec.ItemBytes(c);
  int count = 0;
  bool first = true;
  uint32_t visited = 0;
  auto done = [&](int result) {
    // No block with items was met: the level is the one after the chain.
    if (level && first) *level = le::GetU8(rec.ChanHead(c) + orf::kCFinalLevel) & 1;
    return result;
  };
  for (bool ahead = false;; ahead = true) {
    const int st = ReadBlockLocked(rec, c, addr, ahead);
    if (st != kKelOk) return st;
    const uint8_t* block = rt.block;
    const TKelBlockHead h = BufferHead(rt);
    int i = 0;
    if (first && h.itemCount > 0) {
      i = CountBefore(block, itemBytes, h.itemCount, tFrom);
      first = false;
      if (level) *level = ((i & 1) ^ (h.chanField >> 8)) & 1;
    }
    for (; i < h.itemCount && count < max; ++i) {
      const uint8_t* item = ItemAt(block, itemBytes, i);
      const int32_t t = le::GetI32(item);
      if (t > tTo) return done(count);
      if (markers) {
        if (t < tFrom) return done(count);
        if (filter && !KelFilterPass(*filter, item + 4)) continue;
      }
      sink.Put(item, itemBytes, count++);
    }
    if (count >= max || h.end > tTo || !ChainContinues(rt, h.next)) return done(count);
    if (++visited > rt.walkLimit) return KEL_CORRUPT_AS(kKelCorrupt, "++visited > rt.walkLimit");
    addr = h.next;
  }
}

class CTimeSink : public CKelItemSink {
 public:
  explicit CTimeSink(int32_t* out) : out_(out) {}
  void Put(const uint8_t* item, uint32_t, int index) override { out_[index] = le::GetI32(item); }

 private:
  int32_t* out_;
};

class CCopySink : public CKelItemSink {
 public:
  CCopySink(uint8_t* out, uint32_t bytes) : out_(out), bytes_(bytes) {}
  void Put(const uint8_t* item, uint32_t itemBytes, int index) override {
    const uint32_t n = bytes_ ? bytes_ : itemBytes;
    std::memcpy(out_ + static_cast<size_t>(index) * n, item, n);
  }

 private:
  uint8_t* out_;
  uint32_t bytes_;  // 0: whole items
};

// Keeps a copy of the one item delivered.
class CKeepSink : public CKelItemSink {
 public:
  void Put(const uint8_t* item, uint32_t itemBytes, int) override {
    item_.assign(item, item + itemBytes);
  }
  const uint8_t* data() const { return item_.data(); }

 private:
  std::vector<uint8_t> item_;
};

// --- Waveforms -------------------------------------------------------------

enum class TWaveOut { kInt16, kFloat, kDouble };

// Rounds half up (floor of x + 0.5) with the factor taken as given: ORF's own
// rule. The 64-bit format rounds half away from zero and clips at the range's
// ends first (CKel64Chan::FloatsToShorts); the two stay apart on purpose.
int16_t FloatToSample(float v, double offset, double factor) {
  const double x = std::floor((static_cast<double>(v) - offset) * factor + 0.5);
  if (std::isnan(x)) return 0;
  if (x <= -32768.0) return -32768;
  if (x >= 32767.0) return 32767;
  return static_cast<int16_t>(x);
}

// Converts stored samples into the caller's buffer: 16-bit samples and f32
// values, to 16-bit samples or to floats, through the channel's scale and
// offset.
class CWaveConv {
 public:
  CWaveConv(TWaveOut out, void* dst, float scale, float offset)
      : out_(out), dst_(dst), offset_(offset) {
    // value = s x scale / kStepsPerUnit + offset, with the factor in single
    // precision: ORF's own rule, which the 64-bit format (double throughout)
    // does not share.
    valuePerStep_ = scale * static_cast<float>(kUnitsPerStep);
    stepsPerValue_ = scale == 0.0f ? 0.0 : kStepsPerUnit / scale;
  }

  // n 16-bit samples, `stride` bytes apart, to output positions [at, at + n).
  void Samples16(const uint8_t* p, int n, size_t stride, int at) {
    if (out_ == TWaveOut::kInt16) {
      int16_t* o = static_cast<int16_t*>(dst_) + at;
      if (stride == 2) {
        CopySamples(o, p, static_cast<uint64_t>(n));
      } else {
        for (int i = 0; i < n; ++i) o[i] = le::GetI16(p + i * stride);
      }
    } else if (out_ == TWaveOut::kFloat) {
      float* o = static_cast<float*>(dst_) + at;
      const double f = valuePerStep_;
      const double off = offset_;
      for (int i = 0; i < n; ++i)
        o[i] = static_cast<float>(le::GetI16(p + i * stride) * f + off);
    } else {
      // The float is formed exactly as above and then widened. Packed
      // samples get a loop of their own, which the compiler can vectorise.
      double* o = static_cast<double*>(dst_) + at;
      const double f = valuePerStep_;
      const double off = offset_;
      if (stride == 2) {
        ShortsToDoubles(o, p, static_cast<uint64_t>(n), f, off);
      } else {
        for (int i = 0; i < n; ++i)
          o[i] = static_cast<float>(le::GetI16(p + i * stride) * f + off);
      }
    }
  }

  // n consecutive f32 values.
  void Floats(const uint8_t* p, int n, int at) {
    if (out_ == TWaveOut::kFloat) {
      CopySamples(static_cast<float*>(dst_) + at, p, static_cast<uint64_t>(n));
    } else if (out_ == TWaveOut::kDouble) {
      FloatsToDoubles(static_cast<double*>(dst_) + at, p, static_cast<uint64_t>(n));
    } else {
      int16_t* o = static_cast<int16_t*>(dst_) + at;
      for (int i = 0; i < n; ++i)
        o[i] = stepsPerValue_ == 0.0
                   ? 0
                   : FloatToSample(le::GetF32(p + 4 * i), offset_, stepsPerValue_);
    }
  }

 private:
  TWaveOut out_;
  void* dst_;
  double offset_;
  float valuePerStep_;
  double stepsPerValue_;
};

// Kinds 1 and 9: one contiguous run along the chain.
int ReadWaveBlocksLocked(TKelFileRec& rec, int c, CWaveConv& conv, int max, int32_t tFrom,
                         int32_t tTo, int32_t* firstTime) {
  const uint8_t* ch = rec.ChanHead(c);
  const bool floats = orf::ChanKind(ch) == RealWave;
  const int64_t divide = orf::ChanDivide(ch);
  const uint32_t itemBytes = rec.ItemBytes(c);
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];

  const int32_t addr = FindBlockLocked(rec, c, tFrom, tTo);
  if (addr == 0 || IsFailure(addr)) return addr;
  int st = ReadBlockLocked(rec, c, addr);
  if (st != kKelOk) return st;
  TKelBlockHead h = BufferHead(rt);
  if (h.itemCount == 0) return 0;
  const int64_t i0 = h.start >= tFrom ? 0 : CeilDiv(static_cast<int64_t>(tFrom) - h.start, divide);
  if (i0 >= h.itemCount) return 0;
  const int64_t t0 = h.start + i0 * divide;
  if (t0 > tTo) return 0;
  if (firstTime) *firstTime = static_cast<int32_t>(t0);

  int count = 0;
  int idx = static_cast<int>(i0);
  uint32_t visited = 0;
  for (;;) {
    int last = h.itemCount - 1;
    if (h.end >= tTo)
      last =
          static_cast<int>(std::min<int64_t>(last, (static_cast<int64_t>(tTo) - h.start) / divide));
    if (last >= idx) {
      const int n = std::min(last - idx + 1, max - count);
      const uint8_t* p = ItemAt(rt.block, itemBytes, idx);
      if (floats) {
        conv.Floats(p, n, count);
      } else {
        conv.Samples16(p, n, 2, count);
      }
      count += n;
    }
    if (h.end >= tTo || count >= max || !ChainContinues(rt, h.next)) return count;
    if (++visited > rt.walkLimit) return KEL_CORRUPT_AS(kKelCorrupt, "++visited > rt.walkLimit");
    const int64_t expected = static_cast<int64_t>(h.end) + divide;
    st = ReadBlockLocked(rec, c, h.next, true);
    if (st != kKelOk) return st;
    h = BufferHead(rt);
    // Anything but the next sample time is a gap, which ends the run; a
    // block that starts after tTo holds nothing asked for.
    if (h.itemCount == 0 || h.start != expected || h.start > tTo) return count;
    idx = 0;
  }
}

// Kind 6 read as a waveform: the points of one trace of successive markers,
// as long as they follow on without a gap.
int ReadWaveMarksLocked(TKelFileRec& rec, int c, CWaveConv& conv, int max, int32_t tFrom,
                        int32_t tTo, int32_t* firstTime, const TKelFilter* filter) {
  const uint8_t* ch = rec.ChanHead(c);
  const int traces = orf::ChanTraces(ch);
  const int64_t points = orf::ChanExtraBytes(ch) / (2 * traces);
  const int64_t divide = orf::ChanDivide(ch);
  if (points == 0) return 0;
  int column = filter ? filter->column : 0;
  if (column < 0 || column >= traces) column = 0;

  CKeepSink marker;
  int count = 0;
  bool first = true;
  int64_t expected = 0;
  int64_t t = tFrom;
  while (t <= tTo && count < max) {
    const int64_t from = std::max<int64_t>(t - (points - 1) * divide, 0);
    const int r =
        ReadItemsLocked(rec, c, 1, static_cast<int32_t>(from), tTo, nullptr, filter, marker);
    if (r < 0) return r;
    if (r == 0) break;
    const int64_t m = le::GetI32(marker.data());
    const int64_t j = m < t ? CeilDiv(t - m, divide) : 0;
    const int64_t at = m + j * divide;
    if (first) {
      if (firstTime) *firstTime = static_cast<int32_t>(at);
      first = false;
    } else if (at != expected) {
      break;
    }
    const int64_t last = std::min(points - 1, (static_cast<int64_t>(tTo) - m) / divide);
    if (last < j) break;
    const int n = static_cast<int>(std::min<int64_t>(last - j + 1, max - count));
    conv.Samples16(marker.data() + 8 + 2 * (j * traces + column), n,
                   2 * static_cast<size_t>(traces), count);
    count += n;
    t = at + n * divide;
    expected = t;
  }
  return count;
}

int ReadWave(int f, int c, TWaveOut out, void* dst, int max, int32_t tFrom, int32_t tTo,
             int32_t* firstTime, const TKelFilter* filter) {
  int st;
  TKelFileRec* rec = KelChanRecord(f, c, &st);
  if (!rec) return st;
  const int kind = orf::ChanKind(rec->ChanHead(c));
  if (kind == 0) return kKelChanOff;
  if (kind != Adc && kind != WaveMark && kind != RealWave) return kKelNoChannel;
  if (max < 1) return 0;
  if (dst == nullptr) return kKelBadArg;
  TKelChanInfo info;
  KelChanInfo(f, c, &info);
  CWaveConv conv(out, dst, info.scale, info.offset);
  platform::LockGuard guard(ChanLock(*rec, c));
  if (kind == WaveMark)
    return ReadWaveMarksLocked(*rec, c, conv, max, tFrom, tTo, firstTime, filter);
  return ReadWaveBlocksLocked(*rec, c, conv, max, tFrom, tTo, firstTime);
}

// --- Backward search -------------------------------------------------------

// Visits the blocks of channel c from the one at addr back along the
// predecessor links, newest first, until visit answers (an error, too, ends
// the walk); nothing when the chain runs out first. A chain longer than the
// channel has blocks is a cycle.
template <class Visit>
std::optional<int32_t> WalkBackLocked(TKelFileRec& rec, int c, int32_t addr, Visit visit) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  uint32_t visited = 0;
  for (;;) {
    const int st = ReadBlockLocked(rec, c, addr);
    if (st != kKelOk) return st;
    const TKelBlockHead h = BufferHead(rt);
    if (const std::optional<int32_t> answer = visit(rt.block, h)) return answer;
    if (!orf::IsUsable(h.prev)) return std::nullopt;
    if (++visited > rt.walkLimit) return KEL_CORRUPT_AS(kKelCorrupt, "++visited > rt.walkLimit");
    addr = h.prev;
  }
}

// Kind 6 searched as a waveform: only the points of the last marker before
// tFrom that passes the filter count.
int32_t PrevWaveMarkLocked(TKelFileRec& rec, int c, int32_t addr, int32_t tFrom, int32_t tTo,
                           uint32_t n, const TKelFilter* filter) {
  const uint8_t* ch = rec.ChanHead(c);
  const int64_t points = orf::ChanExtraBytes(ch) / 2;  // one trace
  const int64_t divide = orf::ChanDivide(ch);
  const uint32_t itemBytes = rec.ItemBytes(c);
  if (points == 0) return kKelNoneFound;
  const auto visit = [&](const uint8_t* block, const TKelBlockHead& h) -> std::optional<int32_t> {
    // The block's last marker, and every earlier one, ends before tTo.
    if (h.itemCount > 0 && h.end + (points - 1) * divide < tTo) return kKelNoneFound;
    for (int i = CountBefore(block, itemBytes, h.itemCount, tFrom) - 1; i >= 0; --i) {
      const uint8_t* item = ItemAt(block, itemBytes, i);
      if (filter && !KelFilterPass(*filter, item + 4)) continue;
      const int64_t m = le::GetI32(item);
      // Earlier markers end earlier still: nothing reaches tTo.
      if (m + (points - 1) * divide < tTo) return kKelNoneFound;
      const int64_t j0 = m >= tTo ? 0 : CeilDiv(static_cast<int64_t>(tTo) - m, divide);
      const int64_t jl = std::min(points - 1, CeilDiv(static_cast<int64_t>(tFrom) - m, divide) - 1);
      if (jl < j0) return kKelNoneFound;
      const int64_t counted = jl - j0 + 1;
      const int64_t j = counted <= n ? j0 : jl - n + 1;
      return static_cast<int32_t>(m + j * divide);
    }
    return std::nullopt;
  };
  return WalkBackLocked(rec, c, addr, visit).value_or(kKelNoneFound);
}

int32_t PrevNTimeLocked(TKelFileRec& rec, int c, int32_t tFrom, int32_t tTo, uint32_t n,
                        bool asWave, const TKelFilter* filter) {
  const uint8_t* ch = rec.ChanHead(c);
  const int kind = orf::ChanKind(ch);
  if (tFrom <= 0) return kKelNoneFound;  // nothing lies before time 0

  // Start at the block holding tFrom - 1, or beyond the data at the last.
  int32_t addr = FindBlockLocked(rec, c, tFrom - 1, kMaxTime32);
  if (IsFailure(addr)) return addr;
  if (addr == 0 && (addr = NewestBlockLocked(rec, c)) == 0) return kKelNoneFound;
  if (kind == WaveMark && asWave) return PrevWaveMarkLocked(rec, c, addr, tFrom, tTo, n, filter);

  const bool wave = orf::IsWaveKind(kind);
  const bool filtered = filter && orf::IsMarkerKind(kind);
  const int64_t divide = orf::ChanDivide(ch);
  const uint32_t itemBytes = rec.ItemBytes(c);
  uint32_t remaining = n;
  int32_t result = kKelNoneFound;
  bool counted = false;
  int64_t laterStart = 0;  // start of the last block that counted
  const auto visit = [&](const uint8_t* block, const TKelBlockHead& h) -> std::optional<int32_t> {
    if (h.itemCount > 0) {
      if (wave && counted && laterStart - h.end > divide) return result;  // a gap
      if (h.end < tTo) return result;
      auto timeOf = [&](int i) -> int32_t {
        return wave ? static_cast<int32_t>(h.start + i * divide) : ItemTime(block, itemBytes, i);
      };
      const int endIdx =
          wave ? SamplesBefore(h.start, h.itemCount, static_cast<int32_t>(divide), tFrom)
               : CountBefore(block, itemBytes, h.itemCount, tFrom);
      const int startIdx =
          wave ? SamplesBefore(h.start, h.itemCount, static_cast<int32_t>(divide), tTo)
               : CountBefore(block, itemBytes, h.itemCount, tTo);
      uint32_t avail = 0;
      int earliest = -1;
      if (filtered) {
        for (int i = endIdx - 1; i >= startIdx; --i) {
          if (!KelFilterPass(*filter, ItemAt(block, itemBytes, i) + 4)) continue;
          if (++avail == remaining) return timeOf(i);
          earliest = i;
        }
      } else if (endIdx > startIdx) {
        avail = static_cast<uint32_t>(endIdx - startIdx);
        if (avail >= remaining) return timeOf(endIdx - static_cast<int>(remaining));
        earliest = startIdx;
      }
      remaining -= avail;
      if (earliest >= 0) {
        result = timeOf(earliest);
        counted = true;
        laterStart = h.start;
      }
      // The count fell short in a block that reaches back before tTo.
      if (h.start < tTo) return wave ? result : kKelNoneFound;
    }
    return std::nullopt;
  };
  const std::optional<int32_t> answer = WalkBackLocked(rec, c, addr, visit);
  return answer ? *answer : result;  // the chain ran out: what was counted so far
}

}  // namespace

bool KelFilterPass(const TKelFilter& filter, const uint8_t* code) {
  return CodesPass(filter.layers, 4, (filter.mode & kKelFilterAnyCode) != 0, code);
}

int KelReadItems(int f, int c, TKelItemRead what, int max, int32_t tFrom, int32_t tTo,
                 int* level, const TKelFilter* filter, CKelItemSink& sink) {
  int st;
  TKelFileRec* rec = KelChanRecord(f, c, &st);
  if (!rec) return st;
  const int kind = orf::ChanKind(rec->ChanHead(c));
  if (kind == 0) return kKelChanOff;
  const int lowest = what == TKelItemRead::kEvents ? EventA : Marker;
  if (kind < lowest || kind > TextMark) return kKelNoChannel;
  if (kind > Level) level = nullptr;
  if (max < 1) return 0;
  platform::LockGuard guard(ChanLock(*rec, c));
  return ReadItemsLocked(*rec, c, max, tFrom, tTo, level, filter, sink);
}

int KelGetEventData(int f, int c, int32_t* times, int max, int32_t tFrom, int32_t tTo,
                    int* level, const TKelFilter* filter) {
  if (times == nullptr && max > 0) return kKelBadArg;
  CTimeSink sink(times);
  return KelReadItems(f, c, TKelItemRead::kEvents, max, tFrom, tTo, level, filter, sink);
}

int KelGetMarkData(int f, int c, uint8_t* marks, int max, int32_t tFrom, int32_t tTo,
                   const TKelFilter* filter) {
  if (marks == nullptr && max > 0) return kKelBadArg;
  CCopySink sink(marks, 8);
  return KelReadItems(f, c, TKelItemRead::kMarkers, max, tFrom, tTo, nullptr, filter, sink);
}

int KelGetExtMarkData(int f, int c, uint8_t* items, int max, int32_t tFrom, int32_t tTo,
                      const TKelFilter* filter) {
  if (items == nullptr && max > 0) return kKelBadArg;
  CCopySink sink(items, 0);
  return KelReadItems(f, c, TKelItemRead::kMarkers, max, tFrom, tTo, nullptr, filter, sink);
}

int KelGetWaveData(int f, int c, int16_t* samples, int max, int32_t tFrom, int32_t tTo,
                   int32_t* firstTime, const TKelFilter* filter) {
  return ReadWave(f, c, TWaveOut::kInt16, samples, max, tFrom, tTo, firstTime, filter);
}

int KelGetRealWaveData(int f, int c, float* values, int max, int32_t tFrom, int32_t tTo,
                       int32_t* firstTime, const TKelFilter* filter) {
  return ReadWave(f, c, TWaveOut::kFloat, values, max, tFrom, tTo, firstTime, filter);
}

int KelGetWaveDoubles(int f, int c, double* values, int max, int32_t tFrom, int32_t tTo,
                      int32_t* firstTime) {
  return ReadWave(f, c, TWaveOut::kDouble, values, max, tFrom, tTo, firstTime, nullptr);
}

int32_t KelPrevNTime(int f, int c, int32_t tFrom, int32_t tTo, uint32_t n, bool asWave,
                     const TKelFilter* filter) {
  int st;
  TKelFileRec* rec = KelChanRecord(f, c, &st);
  if (!rec) return st;
  const uint8_t* ch = rec->ChanHead(c);
  const int kind = orf::ChanKind(ch);
  if (kind == 0) return kKelChanOff;
  if (tTo >= tFrom || n == 0) return kKelNoneFound;
  if (kind == WaveMark && asWave && orf::ChanTraces(ch) > 1) return kKelBadArg;
  platform::LockGuard guard(ChanLock(*rec, c));
  return PrevNTimeLocked(*rec, c, tFrom, tTo, n, asWave, filter);
}

int32_t KelChanMaxTime(int f, int c) {
  int st;
  TKelFileRec* rec = KelChanRecord(f, c, &st);
  if (!rec) return st;
  const uint8_t* ch = rec->ChanHead(c);
  return orf::ChanKind(ch) == 0 ? kKelNoChannel : orf::ChanMaxTime(ch);
}

int KelRecomputeMaxTimes(int f) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  int32_t fileMax = -1;
  for (int c = 0; c < rec->ChanCount(); ++c) {
    platform::LockGuard guard(ChanLock(*rec, c));
    uint8_t* ch = rec->ChanHead(c);
    TKelChanRt& rt = rec->chans[static_cast<size_t>(c)];
    int32_t t = -1;
    TKelBlockHead h;
    // Blocks a writer holds in memory would raise this further.
    if (orf::ChanKind(ch) != 0 && rt.blockCount > 0 &&
        ReadHeadChecked(*rec, c, rt.lastBlock, &h) == kKelOk && h.itemCount > 0)
      t = h.end;
    le::PutI32(ch + orf::kCMaxTime, t);
    rt.maxTime = t;
    fileMax = std::max(fileMax, t);
  }
  le::PutI32(rec->head + orf::kHMaxTime, fileMax);
  return kKelOk;
}

int KelExtMarkInfo(int f, int c, char* units, int* points, int* preTrigger) {
  int st;
  TKelFileRec* rec = KelChanRecord(f, c, &st);
  if (!rec) return st;
  const uint8_t* ch = rec->ChanHead(c);
  const int kind = orf::ChanKind(ch);
  const uint32_t extra = orf::ChanExtraBytes(ch);
  int n = 0;
  int pre = 0;
  switch (kind) {
    case WaveMark:
      n = static_cast<int>(
          extra / (AttachedPointBytes(WaveMark) * static_cast<uint32_t>(orf::ChanTraces(ch))));
      pre = le::GetI16(ch + orf::kCPreTrigger);
      break;
    case RealMark: n = static_cast<int>(extra / AttachedPointBytes(RealMark)); break;
    case TextMark: n = static_cast<int>(extra / AttachedPointBytes(TextMark)); break;
    default: break;
  }
  if (units != nullptr) {
    if (orf::IsExtMarkKind(kind)) {
      KelGetChanUnits(f, c, units, orf::kUnitsBytes);
    } else {
      units[0] = '\0';
    }
  }
  if (points) *points = n;
  if (preTrigger) *preTrigger = pre;
  return n;
}

}  // namespace vslk64
