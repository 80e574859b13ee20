// The buffered waveform channels: TBufferedWaveChan (the circular buffer in
// front of a waveform channel) and its 16-bit and float classes. The
// classes are in buffered_channel.h; the buffered item channels are in
// buffered_channel.cc.
#include "filelib/orfx/buffered_channel.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#include "filelib/le.h"
#include "filelib/orfx/data_block.h"
#include "filelib/status.h"

namespace vslk64 {
namespace {

using Guard = platform::LockGuard;

}  // namespace

// --- Buffered waveforms ------------------------------------------------------------

template <class Kind, typename Sample>
bool TBufferedWaveChan<Kind, Sample>::HasBuffer() {
  Guard b(bufferLock_);
  return buffer_ != nullptr;
}

template <class Kind, typename Sample>
uint64_t TBufferedWaveChan<Kind, Sample>::BufferCount() {
  Guard b(bufferLock_);
  return buffer_ ? buffer_->Count() : 0;
}

template <class Kind, typename Sample>
void TBufferedWaveChan<Kind, Sample>::ResizeBuffer(uint64_t items) {
  Guard b(bufferLock_);
  if (buffer_ && WriteOutLocked(buffer_->Count()) != kOk) return;
  if (items == 0) {
    buffer_.reset();
  } else {
    auto fresh = CircWBuffer<Sample>::Make(items, this->head_->divide);
    if (!fresh) return;
    buffer_ = std::move(fresh);
  }
  chunk_ = items >> 5;
  written_ = 0;
}

template <class Kind, typename Sample>
int TBufferedWaveChan<Kind, Sample>::EmptyData() {
  {
    Guard b(bufferLock_);
    if (buffer_) buffer_->Restart(-1);
    written_ = 0;
    saveList_.Reset();
  }
  return Kind::EmptyData();
}

template <class Kind, typename Sample>
TSTime64 TBufferedWaveChan<Kind, Sample>::ChanMaxTime() {
  Guard b(bufferLock_);
  if (buffer_ && !buffer_->Empty()) return buffer_->NewestTime();
  return Kind::ChanMaxTime();
}

template <class Kind, typename Sample>
int64_t TBufferedWaveChan<Kind, Sample>::ChanBytes() {
  Guard b(bufferLock_);
  const int64_t stored = Kind::ChanBytes();
  if (stored < 0 || !buffer_) return stored;
  return stored + static_cast<int64_t>((buffer_->Count() - written_) * sizeof(Sample));
}

template <class Kind, typename Sample>
bool TBufferedWaveChan<Kind, Sample>::IsModified() {
  Guard b(bufferLock_);
  if (buffer_ && written_ < buffer_->Count() &&
      !saveList_.SavingStretches(buffer_->TimeAt(written_), buffer_->NextTime()).empty()) {
    return true;
  }
  return Kind::IsModified();
}

template <class Kind, typename Sample>
int TBufferedWaveChan<Kind, Sample>::Commit() {
  {
    Guard b(bufferLock_);
    if (buffer_) {
      const int rc = WriteOutLocked(buffer_->Count());
      if (rc != kOk) return rc;
    }
  }
  return Kind::Commit();
}

template <class Kind, typename Sample>
int TBufferedWaveChan<Kind, Sample>::WriteOutLocked(uint64_t upto) {
  upto = std::min(upto, buffer_->Count());
  if (written_ >= upto) return kOk;
  return saveList_.WriteOut(*buffer_, &written_, upto, [&](uint64_t k1, uint64_t k2) -> int {
    TBufferPiece<Sample> pieces[2];
    const int n = buffer_->Pieces(k1, k2, pieces);
    TSTime64 t = buffer_->TimeAt(k1);
    for (int p = 0; p < n; ++p) {
      t = WriteDirect(pieces[p].data, pieces[p].n, t);
      if (t < 0) return static_cast<int>(t);
    }
    return kOk;
  });
}

template <class Kind, typename Sample>
int TBufferedWaveChan<Kind, Sample>::WriteThroughLocked(const Sample* data, uint64_t n,
                                                        TSTime64 t) {
  if (n == 0) return kOk;
  const TSTime64 divide = this->head_->divide;
  // Index of the first sample at or after time x.
  const auto lower = [&](TSTime64 x) -> uint64_t {
    if (x <= t) return 0;
    const uint64_t k = (static_cast<uint64_t>(x - t) + static_cast<uint64_t>(divide) - 1) /
                       static_cast<uint64_t>(divide);
    return std::min(k, n);
  };
  for (const CSaveList::TStretch& s : saveList_.SavingStretches(INT64_MIN, kMaxTime64)) {
    const uint64_t k1 = lower(s.from), k2 = lower(s.upto);
    if (k1 >= k2) continue;
    const TSTime64 r = WriteDirect(data + k1, k2 - k1, t + static_cast<TSTime64>(k1) * divide);
    if (r < 0) return static_cast<int>(r);
  }
  return kOk;
}

template <class Kind, typename Sample>
int TBufferedWaveChan<Kind, Sample>::ChangeBuffered(const Sample* data, uint64_t n, TSTime64 t) {
  if (buffer_) buffer_->Overwrite(data, n, t);
  // Samples written out, and those stored before buffering began, are on
  // disk (or in the write block) too; the kind class changes only stored
  // samples.
  return ChangeDirect(data, n, t);
}

template <class Kind, typename Sample>
TSTime64 TBufferedWaveChan<Kind, Sample>::WriteBuffered(const Sample* data, uint64_t n,
                                                        TSTime64 t) {
  if (n == 0) return t;
  Guard b(bufferLock_);
  if (!BufferedLocked()) return WriteDirect(data, n, t);
  CircWBuffer<Sample>& buf = *buffer_;
  const TSTime64 divide = buf.Divide();
  if (t < 0 || t >= kMaxTime64) return kErrOutOfRange;
  if (n > static_cast<uint64_t>((kMaxTime64 - t) / divide)) return kErrOutOfRange;
  // Samples at or before the newest one held (buffered, or stored when the
  // buffer is empty) replace samples.
  const TSTime64 newest = buf.Empty() ? this->LastStoredTime() : buf.NewestTime();
  if (t <= newest) {
    const int rc = ChangeBuffered(data, n, t);
    if (rc < 0) return rc;
    const uint64_t k = std::min(static_cast<uint64_t>((newest - t) / divide) + 1, n);
    data += k;
    n -= k;
    t += static_cast<TSTime64>(k) * divide;
    if (n == 0) return t;
  }
  if (!buf.Empty() && t != buf.NextTime()) {
    // A gap: the buffer holds one contiguous stretch, so the old one goes.
    const int rc = WriteOutLocked(buf.Count());
    if (rc != kOk) return rc;
    buf.Restart(t);
    written_ = 0;
    saveList_.ForgetBefore(t);
  } else if (buf.Empty()) {
    buf.Restart(t);
    written_ = 0;
  }
  uint64_t m = buf.Add(data, n);
  data += m;
  n -= m;
  t += static_cast<TSTime64>(m) * divide;
  if (n == 0) return t;
  const uint64_t usable = buf.Usable();
  const uint64_t need = std::max(n, chunk_);
  if (need < usable) {
    const int rc = WriteOutLocked(need);
    if (rc != kOk) return rc;
    buf.Drop(need);
    written_ -= need;
    saveList_.ForgetBefore(buf.OldestTime());
    m = buf.Add(data, n);
    return t + static_cast<TSTime64>(m) * divide;
  }
  int rc = WriteOutLocked(buf.Count());
  if (rc != kOk) return rc;
  written_ = 0;
  const uint64_t s = n > usable ? n - usable : 0;
  rc = WriteThroughLocked(data, s, t);
  if (rc != kOk) return rc;
  data += s;
  t += static_cast<TSTime64>(s) * divide;
  buf.Restart(t);
  saveList_.ForgetBefore(t);
  m = buf.Add(data, n - s);
  return t + static_cast<TSTime64>(m) * divide;
}

template <class Kind, typename Sample>
template <typename Disk>
int TBufferedWaveChan<Kind, Sample>::MergedRead(Sample* out, TReadRange& range, TSTime64* tFirst,
                                                Disk disk) {
  if (!range.IsOpen()) return 0;
  Guard b(bufferLock_);
  if (!buffer_ || buffer_->Empty()) return disk(out, range, tFirst);
  const CircWBuffer<Sample>& buf = *buffer_;
  const TSTime64 upto = range.tUpto;
  const TSTime64 oldest = buf.OldestTime();
  int total = 0;
  if (range.tFrom < oldest) {
    bool stop = false;
    total = range.ReadBefore(oldest, [&] { return disk(out, range, tFirst); }, &stop);
    if (stop) return total;
    out += total;
  }
  if (range.nMax == 0 || upto <= oldest) return total;
  // Samples delivered from disk must continue exactly into the buffer. A
  // disk read that met a later run closes its range at the seam, so the
  // sample just before the buffer must be there as well. A read that ended
  // inside the buffer (a float read converted in pieces) goes on from there:
  // the buffered samples have no gaps.
  const bool gap = range.tFrom == oldest ? !StoredIn(oldest - buf.Divide(), oldest)
                                         : range.tFrom < oldest;
  if (!range.First() && gap) {
    range.Close();
    return total;
  }
  TBufferPiece<Sample> pieces[2];
  const uint64_t k1 = buf.LowerBound(range.tFrom);
  const uint64_t k2 = std::min(buf.LowerBound(upto), k1 + range.nMax);
  const int count = buf.Pieces(k1, k2, pieces);
  uint64_t delivered = 0;
  for (int p = 0; p < count; ++p) {
    std::memcpy(out, pieces[p].data, pieces[p].n * sizeof(Sample));
    out += pieces[p].n;
    delivered += pieces[p].n;
  }
  if (delivered > 0) {
    if (range.First()) {
      *tFirst = buf.TimeAt(k1);
      range.ClearFirst();
    }
    range.tFrom = buf.TimeAt(k2);
  }
  range.Delivered(delivered);
  // The buffer holds the newest samples: nothing lies after them.
  if (range.nMax != 0) range.Close();
  return total + static_cast<int>(delivered);
}

template <class Kind, typename Sample>
TSTime64 TBufferedWaveChan<Kind, Sample>::PrevNTime(TReadRange& range, const CMarkFilter* filter,
                                                    bool asWave) {
  if (!range.IsOpen()) return -1;
  Guard b(bufferLock_);
  if (!buffer_ || buffer_->Empty()) return Kind::PrevNTime(range, filter, asWave);
  const CircWBuffer<Sample>& buf = *buffer_;
  const uint64_t k = buf.LowerBound(range.tUpto);  // samples before tUpto
  if (k == 0) {
    // Everything buffered lies at or after tUpto: the disk alone answers.
    return Kind::PrevNTime(range, filter, false);
  }
  // Where the n-th sample back lies before tFrom: the first sample at or
  // after tFrom, when it lies before tUpto.
  const auto firstFrom = [&] {
    range.nMax = 0;
    return range.tFrom <= buf.TimeAt(k - 1) ? buf.TimeAt(buf.LowerBound(range.tFrom)) : -1;
  };
  if (k >= range.nMax) {
    const TSTime64 t = buf.TimeAt(k - range.nMax);
    if (t < range.tFrom) return firstFrom();
    range.nMax = 0;
    return t;
  }
  const TSTime64 oldest = buf.OldestTime();
  if (oldest < range.tFrom) return firstFrom();
  // Fewer than n samples are buffered before tUpto. With nothing stored
  // before the buffer they are the start of the channel: there is no n-th
  // sample. A gap before the buffer ends the contiguous data at its oldest
  // sample.
  if (!StoredIn(oldest - buf.Divide(), oldest)) {
    range.nMax = 0;
    return StoredIn(0, oldest) ? oldest : -1;
  }
  // The search goes on over the disk, whose samples reach exactly up to the
  // oldest buffered one.
  range.nMax -= k;
  range.tUpto = oldest;
  range.ClearFirst();
  return Kind::PrevNTime(range, filter, false);
}

template <class Kind, typename Sample>
bool TBufferedWaveChan<Kind, Sample>::StoredIn(TSTime64 from, TSTime64 upto) {
  Sample sample;
  TSTime64 first = -1;
  TReadRange probe(from, upto, 1);
  if constexpr (std::is_same<Sample, int16_t>::value) {
    return Kind::ReadWaveS(&sample, probe, &first, nullptr) == 1;
  } else {
    return Kind::ReadWaveF(&sample, probe, &first, nullptr) == 1;
  }
}

template <class Kind, typename Sample>
void TBufferedWaveChan<Kind, Sample>::Save(TSTime64 t, bool save) {
  Guard b(bufferLock_);
  const TSTime64 last = this->LastStoredTime();
  saveList_.Save(t < last ? last + 1 : t, save);
}

template <class Kind, typename Sample>
void TBufferedWaveChan<Kind, Sample>::SaveRange(TSTime64 tFrom, TSTime64 tUpto) {
  Guard b(bufferLock_);
  const TSTime64 last = this->LastStoredTime();
  saveList_.SaveRange(std::max(tFrom, last + 1), tUpto);
}

template <class Kind, typename Sample>
bool TBufferedWaveChan<Kind, Sample>::IsSaving() {
  Guard b(bufferLock_);
  return !buffer_ || saveList_.SavingNow();
}

template <class Kind, typename Sample>
int TBufferedWaveChan<Kind, Sample>::NoSaveList(TSTime64* times, uint32_t max, TSTime64 tFrom,
                                                TSTime64 tUpto) {
  Guard b(bufferLock_);
  return saveList_.NoSaveList(times, max, tFrom, tUpto);
}

template <class Kind, typename Sample>
void TBufferedWaveChan<Kind, Sample>::LatestTime(TSTime64 t) {
  Guard b(bufferLock_);
  saveList_.Prune(buffer_ && !buffer_->Empty() ? buffer_->NewestTime() : -1, t);
}

// --- The sample types ---------------------------------------------------------
// The kind classes name their calls by sample type (S for 16-bit, F for float).

template <class Kind, typename Sample>
int TBufferedWaveChan<Kind, Sample>::ChangeWave(const Sample* data, uint64_t n, TSTime64 t) {
  if (n == 0) return kOk;
  Guard b(bufferLock_);
  return ChangeBuffered(data, n, t);
}

template <class Kind, typename Sample>
int TBufferedWaveChan<Kind, Sample>::ReadWave(Sample* out, TReadRange& range, TSTime64* tFirst,
                                              const CMarkFilter* filter) {
  return MergedRead(out, range, tFirst, [&](Sample* o, TReadRange& r, TSTime64* first) {
    return ReadDirect(o, r, first, filter);
  });
}

template <class Kind, typename Sample>
TSTime64 TBufferedWaveChan<Kind, Sample>::WriteDirect(const Sample* data, uint64_t n,
                                                      TSTime64 t) {
  if constexpr (kShorts) return Kind::WriteWaveS(data, n, t);
  else return Kind::WriteWaveF(data, n, t);
}

template <class Kind, typename Sample>
int TBufferedWaveChan<Kind, Sample>::ChangeDirect(const Sample* data, uint64_t n, TSTime64 t) {
  if constexpr (kShorts) return Kind::ChangeWaveS(data, n, t);
  else return Kind::ChangeWaveF(data, n, t);
}

template <class Kind, typename Sample>
int TBufferedWaveChan<Kind, Sample>::ReadDirect(Sample* out, TReadRange& range, TSTime64* tFirst,
                                                const CMarkFilter* filter) {
  if constexpr (kShorts) return Kind::ReadWaveS(out, range, tFirst, filter);
  else return Kind::ReadWaveF(out, range, tFirst, filter);
}

template class TBufferedWaveChan<CAdcChan, int16_t>;
template class TBufferedWaveChan<CRealWChan, float>;

}  // namespace vslk64
