#include "filelib/orfx/buffered_channel.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#include "filelib/le.h"
#include "filelib/partition.h"
#include "filelib/orfx/data_block.h"
#include "filelib/status.h"

namespace vslk64 {
namespace {

using Guard = platform::LockGuard;

TSTime64 TimeOf(const uint8_t* item) { return le::GetI64(item); }

// A filter reduced to what a read needs: null when every item passes.
// *none is set when no item can pass.
const CMarkFilter* Effective(const CMarkFilter* filter, bool* none) {
  *none = false;
  if (filter == nullptr) return nullptr;
  const int32_t summary = filter->Summary();
  if (summary == CMarkFilter::kNonePass) *none = true;
  return summary == CMarkFilter::kAllPass ? nullptr : filter;
}

}  // namespace

// --- Buffered items ----------------------------------------------------------------

template <class Kind>
bool TBufferedItemChan<Kind>::HasBuffer() {
  Guard b(bufferLock_);
  return buffer_ != nullptr;
}

template <class Kind>
uint64_t TBufferedItemChan<Kind>::BufferCount() {
  Guard b(bufferLock_);
  return buffer_ ? buffer_->Count() : 0;
}

template <class Kind>
void TBufferedItemChan<Kind>::ResizeBuffer(uint64_t items) {
  Guard b(bufferLock_);
  // Items the save list keeps go to the file first: a resize must not lose
  // what the program asked to keep. A failed write keeps the old buffer.
  if (buffer_ && WriteOutLocked(buffer_->Count()) != kOk) return;
  if (items == 0) {
    buffer_.reset();
  } else {
    std::unique_ptr<CircBuffer> fresh = CircBuffer::Make(items, ItemBytes());
    if (!fresh) return;
    buffer_ = std::move(fresh);
  }
  chunk_ = items >> 5;
  written_ = 0;
}

template <class Kind>
int TBufferedItemChan<Kind>::EmptyData() {
  {
    Guard b(bufferLock_);
    if (buffer_) buffer_->Clear();
    written_ = 0;
    saveList_.Reset();
  }
  return Kind::EmptyData();
}

template <class Kind>
TSTime64 TBufferedItemChan<Kind>::ChanMaxTime() {
  Guard b(bufferLock_);
  if (buffer_ && !buffer_->Empty()) return buffer_->NewestTime();
  return Kind::ChanMaxTime();
}

template <class Kind>
int64_t TBufferedItemChan<Kind>::ChanBytes() {
  Guard b(bufferLock_);
  const int64_t stored = Kind::ChanBytes();
  if (stored < 0 || !buffer_) return stored;
  return stored + static_cast<int64_t>((buffer_->Count() - written_) * ItemBytes());
}

template <class Kind>
bool TBufferedItemChan<Kind>::IsModified() {
  Guard b(bufferLock_);
  if (buffer_ && written_ < buffer_->Count() &&
      !saveList_.SavingStretches(buffer_->TimeAt(written_), buffer_->NewestTime() + 1).empty()) {
    return true;
  }
  return Kind::IsModified();
}

template <class Kind>
int TBufferedItemChan<Kind>::Commit() {
  {
    Guard b(bufferLock_);
    if (buffer_) {
      const int rc = WriteOutLocked(buffer_->Count());
      if (rc != kOk) return rc;
    }
  }
  return Kind::Commit();
}

template <class Kind>
int TBufferedItemChan<Kind>::WriteOutLocked(uint64_t upto) {
  upto = std::min(upto, buffer_->Count());
  if (written_ >= upto) return kOk;
  return saveList_.WriteOut(*buffer_, &written_, upto, [&](uint64_t k1, uint64_t k2) -> int {
    TBufferPiece<uint8_t> pieces[2];
    const int n = buffer_->Pieces(k1, k2, pieces);
    for (int p = 0; p < n; ++p) {
      const int rc = this->AppendContinuing(pieces[p].data, pieces[p].n);
      if (rc != kOk) return rc;
    }
    return kOk;
  });
}

template <class Kind>
int TBufferedItemChan<Kind>::WriteThroughLocked(const uint8_t* in, uint64_t n) {
  if (n == 0) return kOk;
  const uint32_t size = ItemBytes();
  const auto lower = [&](TSTime64 t) {
    return PartitionPoint(uint64_t{0}, n, [&](uint64_t i) { return TimeOf(in + i * size) < t; });
  };
  for (const CSaveList::TStretch& s : saveList_.SavingStretches(INT64_MIN, kMaxTime64)) {
    const uint64_t k1 = lower(s.from), k2 = lower(s.upto);
    if (k1 >= k2) continue;
    const int rc = this->AppendContinuing(in + k1 * size, k2 - k1);
    if (rc != kOk) return rc;
  }
  return kOk;
}

template <class Kind>
int TBufferedItemChan<Kind>::AppendBuffered(const uint8_t* in, uint64_t n) {
  if (n == 0) return kOk;
  Guard b(bufferLock_);
  if (!BufferedLocked()) return WriteDirect(in, n);
  CircBuffer& buf = *buffer_;
  const uint32_t size = ItemBytes();
  // The whole call is checked first, as the direct append does: what is
  // refused must leave nothing behind in the buffer either.
  TSTime64 prev = buf.Empty() ? this->LastStoredTime() : buf.NewestTime();
  for (uint64_t i = 0; i < n; ++i) {
    const TSTime64 t = TimeOf(in + i * size);
    if (t < prev || (i == 0 && t == prev) || t >= kMaxTime64) return kErrTimeOrder;
    prev = t;
  }
  const uint64_t added = buf.Add(in, n);
  in += added * size;
  const uint64_t r = n - added;  // items that did not fit
  if (r == 0) return kOk;
  const uint64_t usable = buf.Usable();
  const uint64_t need = std::max(r, chunk_);
  if (need < usable) {
    // Room for the rest by moving out the oldest `need` items, or a few more
    // so that the buffer does not begin inside a run of equal times.
    uint64_t p = need;
    while (p < buf.Count() && buf.TimeAt(p) == buf.TimeAt(p - 1)) ++p;
    if (p < buf.Count()) {
      int rc = WriteOutLocked(p);
      if (rc != kOk) return rc;
      buf.Drop(p);
      written_ -= p;
      saveList_.ForgetBefore(buf.OldestTime());
      buf.Add(in, r);
      return kOk;
    }
  }
  // More arrives than the buffer holds: everything buffered goes out, the
  // oldest of the new items pass straight through the save list, and the
  // newest (from the start of a run of equal times) stay buffered.
  int rc = WriteOutLocked(buf.Count());
  if (rc != kOk) return rc;
  buf.Clear();
  written_ = 0;
  uint64_t s = r > usable ? r - usable : 0;
  while (s > 0 && s < r && TimeOf(in + s * size) == TimeOf(in + (s - 1) * size)) ++s;
  rc = WriteThroughLocked(in, s);
  if (rc != kOk) return rc;
  if (s < r) {
    saveList_.ForgetBefore(TimeOf(in + s * size));
    buf.Add(in + s * size, r - s);
  } else {
    saveList_.ForgetBefore(TimeOf(in + (r - 1) * size));
  }
  return kOk;
}

template <class Kind>
template <typename Disk>
int TBufferedItemChan<Kind>::MergedRead(uint8_t* out, uint64_t outBytes, TReadRange& range,
                                        const CMarkFilter* filter, Disk disk) {
  if (!range.IsOpen()) return 0;
  bool none = false;
  filter = Effective(filter, &none);
  if (none) return 0;
  Guard b(bufferLock_);
  if (!buffer_ || buffer_->Empty()) return disk(out, range, filter);
  const CircBuffer& buf = *buffer_;
  const TSTime64 upto = range.tUpto;
  const TSTime64 oldest = buf.OldestTime();
  int total = 0;
  if (range.tFrom < oldest) {
    bool stop = false;
    total = range.ReadBefore(oldest, [&] { return disk(out, range, filter); }, &stop);
    if (stop) return total;
    out += static_cast<uint64_t>(total) * outBytes;
  }
  if (range.nMax == 0 || upto <= oldest) return total;
  TBufferPiece<uint8_t> pieces[2];
  const int count = buf.Range(std::max(range.tFrom, oldest), upto, pieces);
  const uint32_t size = buf.ItemSize();
  const bool test = filter != nullptr && HasCodes();
  uint64_t delivered = 0;
  for (int p = 0; p < count && range.nMax > delivered; ++p) {
    for (uint64_t i = 0; i < pieces[p].n && range.nMax > delivered; ++i) {
      const uint8_t* item = pieces[p].data + i * size;
      if (test && !filter->Match(item + sizeof(TSTime64))) continue;
      std::memcpy(out, item, outBytes);
      out += outBytes;
      ++delivered;
    }
  }
  range.Delivered(delivered);
  // Everything wanted below upto was delivered, or nMax was reached: either
  // way the read is complete.
  range.Close();
  return total + static_cast<int>(delivered);
}

template <class Kind>
int TBufferedItemChan<Kind>::ReadEvents(TSTime64* out, TReadRange& range,
                                        const CMarkFilter* filter) {
  return MergedRead(reinterpret_cast<uint8_t*>(out), sizeof(TSTime64), range, filter,
                    [this](uint8_t* o, TReadRange& r, const CMarkFilter* f) {
                      return Kind::ReadEvents(reinterpret_cast<TSTime64*>(o), r, f);
                    });
}

template <class Kind>
int TBufferedItemChan<Kind>::ReadMarkers(TMarker* out, TReadRange& range,
                                         const CMarkFilter* filter) {
  if (!HasCodes()) return Kind::ReadMarkers(out, range, filter);  // refused by kind
  return MergedRead(reinterpret_cast<uint8_t*>(out), sizeof(TMarker), range, filter,
                    [this](uint8_t* o, TReadRange& r, const CMarkFilter* f) {
                      return Kind::ReadMarkers(reinterpret_cast<TMarker*>(o), r, f);
                    });
}

template <class Kind>
int TBufferedItemChan<Kind>::ReadExtMarks(uint8_t* out, TReadRange& range,
                                          const CMarkFilter* filter) {
  const uint8_t kind = this->head_->kind;
  if (kind < WaveMark || kind > TextMark) return Kind::ReadExtMarks(out, range, filter);
  return MergedRead(out, ItemBytes(), range, filter,
                    [this](uint8_t* o, TReadRange& r, const CMarkFilter* f) {
                      return Kind::ReadExtMarks(o, r, f);
                    });
}

template <class Kind>
TSTime64 TBufferedItemChan<Kind>::PrevNTime(TReadRange& range, const CMarkFilter* filter,
                                            bool asWave) {
  if (!range.IsOpen()) return -1;
  Guard b(bufferLock_);
  // A search called again after a spent budget is past the buffer already.
  if (!buffer_ || buffer_->Empty() || range.resumeAt >= 0)
    return Kind::PrevNTime(range, filter, asWave);
  const CircBuffer& buf = *buffer_;
  bool none = false;
  const CMarkFilter* f = Effective(filter, &none);
  if (f != nullptr && !HasCodes()) f = nullptr;
  // Items before tUpto, newest first, down to tFrom.
  for (uint64_t k = buf.LowerBound(range.tUpto); k-- > 0;) {
    const uint8_t* item = buf.Item(k);
    const TSTime64 t = TimeOf(item);
    if (t < range.tFrom || none) {
      range.nMax = 0;
      return -1;
    }
    if (f != nullptr && !f->Match(item + sizeof(TSTime64))) continue;
    if (--range.nMax == 0) return t;
  }
  // The rest lies on disk, before the oldest buffered item.
  range.tUpto = std::min(range.tUpto, buf.OldestTime());
  if (!range.IsOpen()) return -1;
  return Kind::PrevNTime(range, filter, asWave);
}

template <class Kind>
int TBufferedItemChan<Kind>::EditMarker(TSTime64 t, const uint8_t* item, uint64_t bytes) {
  Guard b(bufferLock_);
  if (!buffer_ || buffer_->Empty()) return Kind::EditMarker(t, item, bytes);
  if (bytes > ItemBytes()) return kErrBadArg;
  int found = 0;
  const uint64_t k = buffer_->LowerBound(t);
  // As for a stored item, the edit needs an item at exactly t.
  if (k < buffer_->Count() && buffer_->TimeAt(k) == t) {
    found = 1;
    if (bytes > sizeof(TSTime64)) {
      uint8_t* at = buffer_->MutableItem(k);
      std::memcpy(at + sizeof(TSTime64), item + sizeof(TSTime64), bytes - sizeof(TSTime64));
    }
  }
  // An item already written out is on disk as well.
  const int r = Kind::EditMarker(t, item, bytes);
  if (r < 0) return r;
  return found != 0 || r > 0 ? 1 : 0;
}

template <class Kind>
void TBufferedItemChan<Kind>::Save(TSTime64 t, bool save) {
  Guard b(bufferLock_);
  // What the channel has written stays as it is.
  const TSTime64 last = this->LastStoredTime();
  saveList_.Save(t < last ? last + 1 : t, save);
}

template <class Kind>
void TBufferedItemChan<Kind>::SaveRange(TSTime64 tFrom, TSTime64 tUpto) {
  Guard b(bufferLock_);
  const TSTime64 last = this->LastStoredTime();
  saveList_.SaveRange(std::max(tFrom, last + 1), tUpto);
}

template <class Kind>
bool TBufferedItemChan<Kind>::IsSaving() {
  Guard b(bufferLock_);
  // Without a buffer everything written is kept.
  return !buffer_ || saveList_.SavingNow();
}

template <class Kind>
int TBufferedItemChan<Kind>::NoSaveList(TSTime64* times, uint32_t max, TSTime64 tFrom,
                                        TSTime64 tUpto) {
  Guard b(bufferLock_);
  return saveList_.NoSaveList(times, max, tFrom, tUpto);
}

template <class Kind>
void TBufferedItemChan<Kind>::LatestTime(TSTime64 t) {
  Guard b(bufferLock_);
  saveList_.Prune(buffer_ && !buffer_->Empty() ? buffer_->NewestTime() : -1, t);
}

// --- The item classes ---------------------------------------------------------------

int CBEventChan::WriteEvents(const TSTime64* times, uint64_t n) {
  return AppendBuffered(reinterpret_cast<const uint8_t*>(times), n);
}
int CBEventChan::WriteDirect(const uint8_t* items, uint64_t n) {
  return CEventChan::WriteEvents(reinterpret_cast<const TSTime64*>(items), n);
}

int CBMarkerChan::WriteMarkers(const TMarker* items, uint64_t n) {
  return AppendBuffered(reinterpret_cast<const uint8_t*>(items), n);
}
int CBMarkerChan::WriteDirect(const uint8_t* items, uint64_t n) {
  return CMarkerChan::WriteMarkers(reinterpret_cast<const TMarker*>(items), n);
}

bool CBMarkerChan::LastLevel() {
  Guard b(bufferLock_);
  if (buffer_ && !buffer_->Empty()) return buffer_->Item(buffer_->Count() - 1)[8] != 0;
  return CMarkerChan::LastLevel();
}

int CBMarkerChan::WriteEvents(const TSTime64* times, uint64_t n) {
  if (n == 0) return kOk;
  if (head_->kind != Level) return kErrWrongKind;
  {
    Guard b(bufferLock_);
    if (!BufferedLocked()) return CMarkerChan::WriteEvents(times, n);
  }
  // The level after the newest change decides the first code; the changes
  // then go through the buffer as markers.
  const std::vector<TMarker> changes = LevelChangeMarkers(times, n, LastLevel());
  return AppendBuffered(reinterpret_cast<const uint8_t*>(changes.data()), changes.size());
}

int CBExtMarkChan::WriteExtMarks(const uint8_t* items, uint64_t n) {
  return AppendBuffered(items, n);
}
int CBExtMarkChan::WriteDirect(const uint8_t* items, uint64_t n) {
  return CExtMarkChan::WriteExtMarks(items, n);
}

int CBExtMarkChan::ReadWaveS(int16_t* out, TReadRange& range, TSTime64* tFirst,
                             const CMarkFilter* filter) {
  if (!range.IsOpen()) return 0;
  Guard b(bufferLock_);
  if (!buffer_ || buffer_->Empty()) return CExtMarkChan::ReadWaveS(out, range, tFirst, filter);
  const TSTime64 upto = range.tUpto;
  const TSTime64 oldest = buffer_->OldestTime();
  int total = 0;
  if (range.tFrom < oldest) {
    range.tUpto = std::min(upto, oldest);
    const int n = CExtMarkChan::ReadWaveS(out, range, tFirst, filter);
    const bool lowerOpen = range.IsOpen();
    range.tUpto = upto;
    if (n < 0) return n;
    total = n;
    out += n;
    if (range.nTries < 1 && lowerOpen) return total;
    // A read that stopped at a gap (nMax 0) or filled the buffer is done.
    if (range.nMax == 0) return total;
  }
  if (upto <= oldest) return total;
  if (!range.First() && range.tFrom == oldest) {
    // The disk's points must reach exactly up to the oldest record (a disk
    // read that met a later record closes its range at the seam).
    int16_t point;
    TSTime64 at;
    TReadRange probe(oldest - head_->divide, oldest, 1);
    if (CExtMarkChan::ReadWaveS(&point, probe, &at, filter) != 1) {
      range.Close();
      return total;
    }
  }
  // The buffered records, a block image at a time, read as disk blocks are.
  std::unique_ptr<CDataBlock> block = NewDataBlock(chan_, *head_);
  if (!block) return kErrWrongKind;
  range.pHead = head_;
  const uint64_t per = block->MaxItems();
  TBufferPiece<uint8_t> pieces[2];
  // Records from the last one that starts at or before tFrom: its later
  // points may be wanted.
  uint64_t k = buffer_->LowerBound(range.tFrom);
  if (k > 0) --k;
  while (k < buffer_->Count() && range.IsOpen()) {
    block->Reset();
    const uint64_t end = std::min(buffer_->Count(), k + per);
    const int count = buffer_->Pieces(k, end, pieces);
    for (int p = 0; p < count; ++p) {
      const uint8_t* in = pieces[p].data;
      block->AddExtMarks(in, pieces[p].n);
    }
    const int n = block->ReadWaveS(out, range, tFirst, filter);
    if (n < 0) return n;
    total += n;
    k = end;
  }
  if (range.nMax != 0) range.Close();
  return total;
}

TSTime64 CBExtMarkChan::PrevNTime(TReadRange& range, const CMarkFilter* filter, bool asWave) {
  if (!asWave) return TBufferedItemChan::PrevNTime(range, filter, asWave);
  if (!range.IsOpen()) return -1;
  Guard b(bufferLock_);
  if (!buffer_ || buffer_->Empty()) return CExtMarkChan::PrevNTime(range, filter, asWave);
  const uint64_t points = head_->rows;
  const TSTime64 divide = head_->divide;
  if (head_->kind != WaveMark || points == 0 || divide < 1) return kErrWrongKind;
  std::unique_ptr<CDataBlock> block = NewDataBlock(chan_, *head_);
  if (!block) return kErrWrongKind;
  const uint64_t per = block->MaxItems();
  TBufferPiece<uint8_t> pieces[2];
  // Block images of buffered records, newest first, searched as disk blocks
  // are: each search continues where the one after it stopped.
  uint64_t end = buffer_->LowerBound(range.tUpto);
  TSTime64 r = -1;
  while (end > 0 && range.IsOpen()) {
    const uint64_t start = end > per ? end - per : 0;
    block->Reset();
    const int count = buffer_->Pieces(start, end, pieces);
    for (int p = 0; p < count; ++p) {
      const uint8_t* in = pieces[p].data;
      block->AddExtMarks(in, pieces[p].n);
    }
    r = block->PrevNWaveTime(range, filter, points, divide);
    end = start;
  }
  if (!range.IsOpen()) return r;
  range.tUpto = std::min(range.tUpto, buffer_->OldestTime());
  if (!range.IsOpen()) return r;
  return CExtMarkChan::PrevNTime(range, filter, asWave);
}

template class TBufferedItemChan<CEventChan>;
template class TBufferedItemChan<CMarkerChan>;
template class TBufferedItemChan<CExtMarkChan>;

}  // namespace vslk64
