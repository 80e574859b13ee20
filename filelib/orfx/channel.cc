#include "filelib/orfx/channel.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "filelib/orfx/block_io.h"
#include "filelib/orfx/disk_block_head.h"
#include "filelib/orfx/index_writer.h"
#include "filelib/orfx/kel64_file.h"
#include "filelib/status.h"

namespace vslk64 {
namespace {

using Guard = platform::LockGuard;

// Usable bytes of a data block after its head.
constexpr uint64_t kBlockItemBytes = kDataBlockSize - kDiskBlockHeadSize;

bool HasScale(uint8_t kind) { return kind == Adc || kind == WaveMark || kind == RealWave; }

// 1 / 6553.6: a 16-bit sample of full scale stands for five units.
constexpr double kShortToUnits = 0.000152587890625;
constexpr double kUnitsToShort = 6553.6;

// Floats converted per pass when 16-bit samples are read from a float
// channel: the staging buffer stays small whatever the caller asks for.
constexpr uint64_t kFloatChunk = 16384;

}  // namespace

CKel64Chan::CKel64Chan(TKel64File* file, uint16_t chan, TDataKind kind)
    : file_(file),
      head_(file->ChanHeadRecord(chan)),
      chan_(chan),
      cursor_(chan, head_, file, &indexPath_) {
  headChanged_ = head_->kind != kind;
  // A slot opened from disk holds a live channel here, so ClearDeleted finds
  // a kind and leaves the record (and the string table) alone.
  if (head_->delKind != 0 && ClearDeleted() == kOk && head_->blocksAlloc != 0) {
    // The old blocks are reused through their index, whose blocks must
    // carry their entry numbers for the write path to step through it. A
    // tree that cannot be walked is found again, and refused, when a block
    // is first written.
    CIndexWriter writer(chan_, head_, file_, &indexPath_, &cursor_, &headChanged_);
    writer.CheckEntryNumbers();
  }
  head_->kind = kind;
}

TDataKind CKel64Chan::ChanKind() {
  Guard g(lock_);
  return static_cast<TDataKind>(head_->kind);
}

TSTime64 CKel64Chan::ChanDivide() {
  Guard g(lock_);
  return head_->divide;
}

double CKel64Chan::IdealRate(double rate) {
  Guard g(lock_);
  const double old = head_->idealRate;
  if (rate >= 0 && rate != old) {
    head_->idealRate = rate;
    headChanged_ = true;
  }
  return old;
}

int CKel64Chan::PhyChan() {
  Guard g(lock_);
  return head_->phyChan;
}

void CKel64Chan::SetPhyChan(int32_t phyChan) {
  Guard g(lock_);
  if (head_->phyChan != phyChan) {
    head_->phyChan = phyChan;
    headChanged_ = true;
  }
}

void CKel64Chan::ReplaceTextLocked(uint32_t* id, const char* text) {
  const uint32_t newId = file_->ReplaceText(text, *id);
  if (newId != *id) {
    *id = newId;
    headChanged_ = true;
  }
}

int CKel64Chan::SetChanTitle(const char* text) {
  Guard g(lock_);
  ReplaceTextLocked(&head_->titleId, text);
  return kOk;
}

int CKel64Chan::GetChanTitle(int bufSize, char* buf) {
  Guard g(lock_);
  return file_->CopyText(head_->titleId, bufSize, buf);
}

int CKel64Chan::SetChanUnits(const char* text) {
  Guard g(lock_);
  ReplaceTextLocked(&head_->unitsId, text);
  return kOk;
}

int CKel64Chan::GetChanUnits(int bufSize, char* buf) {
  Guard g(lock_);
  return file_->CopyText(head_->unitsId, bufSize, buf);
}

int CKel64Chan::SetChanComment(const char* text) {
  Guard g(lock_);
  ReplaceTextLocked(&head_->commentId, text);
  return kOk;
}

int CKel64Chan::GetChanComment(int bufSize, char* buf) {
  Guard g(lock_);
  return file_->CopyText(head_->commentId, bufSize, buf);
}

int CKel64Chan::SetChanScale(double scale) {
  Guard g(lock_);
  if (scale != 0.0 && scale != head_->scale) {
    head_->scale = scale;
    headChanged_ = true;
  }
  return kOk;
}

double CKel64Chan::GetChanScale() {
  Guard g(lock_);
  return HasScale(head_->kind) ? head_->scale : 1.0;
}

int CKel64Chan::SetChanOffset(double offset) {
  Guard g(lock_);
  if (offset != head_->offset) {
    head_->offset = offset;
    headChanged_ = true;
  }
  return kOk;
}

double CKel64Chan::GetChanOffset() {
  Guard g(lock_);
  return HasScale(head_->kind) ? head_->offset : 0.0;
}

int CKel64Chan::SetChanYRange(double low, double high) {
  if (low == high) return kErrBadArg;
  Guard g(lock_);
  if (low != head_->yLow || high != head_->yHigh) {
    head_->yLow = low;
    head_->yHigh = high;
    headChanged_ = true;
  }
  return kOk;
}

void CKel64Chan::GetChanYRange(double* low, double* high) {
  Guard g(lock_);
  if (low) *low = head_->yLow;
  if (high) *high = head_->yHigh;
}

int CKel64Chan::ItemSize() {
  Guard g(lock_);
  return static_cast<int>(head_->itemSize);
}

int CKel64Chan::GetExtMarkInfo(uint64_t* rows, uint64_t* cols) {
  Guard g(lock_);
  if (rows) *rows = head_->rows;
  if (cols) *cols = head_->cols;
  return head_->preTrig;
}

int CKel64Chan::SetInitLevel(bool level) {
  Guard g(lock_);
  if (head_->kind != Level) return kErrWrongKind;
  const uint64_t flags = level ? (head_->flags | 1u) : (head_->flags & ~uint64_t{1});
  if (flags != head_->flags) {
    head_->flags = flags;
    headChanged_ = true;
  }
  return kOk;
}

int CKel64Chan::ClearDeleted() {
  Guard g(lock_);
  if (head_->kind != ChanOff) return kErrChannelUsed;
  file_->ReleaseText(head_->titleId);
  file_->ReleaseText(head_->unitsId);
  file_->ReleaseText(head_->commentId);
  ResetForReuse(head_);
  headChanged_ = true;
  return kOk;
}

int CKel64Chan::ChanDelete() {
  int first = Commit();
  {
    Guard g(lock_);
    writeBlock_.reset();
    if (head_->kind != ChanOff) {
      head_->delKind = head_->kind;
      head_->kind = ChanOff;
      headChanged_ = true;
    }
  }
  const int r = Commit();
  return first != kOk ? first : r;
}

int CKel64Chan::ChanUndelete() {
  Guard g(lock_);
  if (RestorableKind(*head_) == ChanOff) return kErrWrongKind;
  head_->kind = head_->delKind;
  head_->delKind = 0;
  headChanged_ = true;
  return kOk;
}

bool CKel64Chan::CanUndelete() {
  Guard g(lock_);
  return RestorableKind(*head_) != ChanOff;
}

void CKel64Chan::MarkHeadChanged() {
  Guard g(lock_);
  headChanged_ = true;
}

int CKel64Chan::EmptyData() {
  {
    Guard g(lock_);
    if (head_->kind == ChanOff && head_->delKind == 0) return kErrNoChannel;
  }
  const int r = Commit();
  Guard g(lock_);
  cursor_.Forget();
  indexPath_.clear();
  writeBlock_.reset();
  ResetBlocksForReuse(head_);
  headChanged_ = true;
  return r;
}

int CKel64Chan::CheckEntryNumbers() {
  Guard g(lock_);
  // A record counting more blocks than the file holds has no tree to
  // renumber; reading or writing the channel refuses it as damaged, and
  // the file's other channels stay usable.
  const uint64_t n = std::max(head_->blocksUsed, head_->blocksAlloc);
  const int64_t fileSize = file_->FileSize();
  if (CIndexCursor::LevelsFor(n) < 2 || fileSize < 0 ||
      n >= static_cast<uint64_t>(fileSize) / kDataBlockSize) {
    cursor_.Invalidate();
    return 1;
  }
  CIndexWriter writer(chan_, head_, file_, &indexPath_, &cursor_, &headChanged_);
  return writer.CheckEntryNumbers();
}

// --- Reading ---------------------------------------------------------------------

int CKel64Chan::CheckKindLocked(uint8_t lo, uint8_t hi) const {
  const uint8_t kind = head_->kind;
  if (kind == ChanOff) return kErrNoChannel;
  return kind >= lo && kind <= hi ? kOk : kErrWrongKind;
}

TSTime64 CKel64Chan::WriteLimitLocked() const {
  if (!writeBlock_) return kMaxTime64;
  return writeBlock_->Items() == 0 ? -1 : writeBlock_->FirstTime();
}

template <typename Read>
int CKel64Chan::ReadLocked(TReadRange& range, bool wave, Read read) {
  const TSTime64 limit = WriteLimitLocked();
  int total = 0;
  if (range.tFrom < limit) {
    int rc = cursor_.FindBlockFrom(range.tFrom);
    if (rc < 0) return rc;
    // rc 1: no block holds tFrom or anything later.
    while (rc == 0) {
      CDataBlock& block = *cursor_.Block();
      if (block.FirstTime() >= limit) break;
      const TSTime64 end = block.EndTime();
      const int n = read(block);
      if (n < 0) return n;
      total += n;
      if (!range.IsOpen()) break;
      rc = cursor_.NextBlock();
      if (rc < 0) return rc;
      // Items sharing the block's last time may go on in the next block (or
      // the write block). tFrom must then stay on that time, and the walk
      // goes on whatever the budget: a repeated call could not tell the
      // items already delivered from the rest.
      const TSTime64 next = rc == 0 ? cursor_.Block()->FirstTime() : limit;
      if (!wave && next == end) continue;
      // With the range still open every item of the block from tFrom on was
      // examined and none lay at or after tUpto, so end < tUpto. Moving tFrom
      // past them lets a repeated call continue after this block even when
      // the filter let nothing through. A waveform read that has delivered
      // keeps its tFrom: it is where the next contiguous sample must lie.
      if ((!wave || range.First()) && end >= range.tFrom && end < range.tUpto) {
        range.tFrom = end + 1;
      }
      if (range.nTries > 0 && --range.nTries == 0) break;
    }
  }
  if (writeBlock_ && range.nTries != 0 && range.IsOpen() && range.tUpto > limit) {
    // Samples already delivered must continue exactly into the write block.
    if (wave && !range.First() && range.tFrom != limit) return total;
    const int n = read(*writeBlock_);
    if (n < 0) return n;
    total += n;
  }
  return total;
}

template <typename Read>
int CKel64Chan::ReadItems(TReadRange& range, const CMarkFilter* filter, uint8_t lowestKind,
                          Read read) {
  if (!range.IsOpen()) return 0;
  if (filter != nullptr) {
    const int32_t summary = filter->Summary();
    if (summary == CMarkFilter::kNonePass) return 0;
    if (summary == CMarkFilter::kAllPass) filter = nullptr;
  }
  Guard g(lock_);
  const int rc = CheckKindLocked(lowestKind, TextMark);
  if (rc != kOk) return rc;
  return ReadLocked(range, false, [&](CDataBlock& block) { return read(block, filter); });
}

int CKel64Chan::ReadEvents(TSTime64* out, TReadRange& range, const CMarkFilter* filter) {
  return ReadItems(range, filter, EventA, [&](CDataBlock& block, const CMarkFilter* f) {
    return block.ReadEvents(out, range, f);
  });
}

int CKel64Chan::ReadMarkers(TMarker* out, TReadRange& range, const CMarkFilter* filter) {
  return ReadItems(range, filter, Level, [&](CDataBlock& block, const CMarkFilter* f) {
    return block.ReadMarkers(out, range, f);
  });
}

int CKel64Chan::ReadExtMarks(uint8_t* out, TReadRange& range, const CMarkFilter* filter) {
  return ReadItems(range, filter, WaveMark, [&](CDataBlock& block, const CMarkFilter* f) {
    return block.ReadExtMarks(out, range, f);
  });
}

int CKel64Chan::ReadLevels(TSTime64*, TReadRange&, bool*) { return kErrWrongKind; }

int CKel64Chan::ReadWaveS(int16_t*, TReadRange&, TSTime64*, const CMarkFilter*) {
  return kErrWrongKind;
}

int CKel64Chan::ReadShortsLocked(int16_t* out, TReadRange& range, TSTime64* tFirst,
                                 const CMarkFilter* filter) {
  const uint8_t kind = head_->kind;
  if (kind == ChanOff) return kErrNoChannel;
  if (kind == WaveMark) {
    // The filter also carries the trace selector, so a filter that passes
    // every record is still handed on.
    if (filter != nullptr && filter->Summary() == CMarkFilter::kNonePass) return 0;
    range.pHead = head_;
  } else if (kind == Adc) {
    filter = nullptr;  // samples have no codes
  } else {
    return kErrWrongKind;
  }
  return ReadLocked(range, true, [&](CDataBlock& block) {
    return block.ReadWaveS(out, range, tFirst, filter);
  });
}

int CKel64Chan::ReadWaveF(float* out, TReadRange& range, TSTime64* tFirst,
                          const CMarkFilter* filter) {
  if (!range.IsOpen()) return 0;
  // The 16-bit samples land in the upper half of the caller's buffer and
  // are widened from there into the whole of it.
  int16_t* shorts = reinterpret_cast<int16_t*>(out + range.nMax / 2);
  const int n = ReadWaveS(shorts, range, tFirst, filter);
  if (n >= 1) {
    Guard g(lock_);
    ShortsToFloats(out, shorts, static_cast<uint64_t>(n));
  }
  return n;
}

int CKel64Chan::ReadWaveD(double* out, TReadRange& range, TSTime64* tFirst) {
  if (!range.IsOpen()) return 0;
  {
    Guard g(lock_);
    const uint8_t kind = head_->kind;
    if (kind == ChanOff) return kErrNoChannel;
    // A channel with a buffer reads through its own ReadWaveF, which knows
    // where the newest samples are.
    if (!HasBuffer() && (kind == Adc || kind == RealWave)) {
      const double factor = head_->scale * kShortToUnits;
      const double offset = head_->offset;
      // The block classes follow the kind (NewDataBlock): kinds 1 and 9
      // hold their samples in CWaveBlock objects.
      return ReadLocked(range, true, [&](CDataBlock& block) {
        return static_cast<CWaveBlock&>(block).ReadWaveD(out, range, tFirst, factor, offset);
      });
    }
  }
  std::vector<float> values(static_cast<size_t>(range.nMax));
  const int n = ReadWaveF(values.data(), range, tFirst, nullptr);
  for (int i = 0; i < n; ++i) out[i] = values[static_cast<size_t>(i)];
  return n;
}

void CKel64Chan::ShortsToFloats(float* out, const int16_t* in, uint64_t n) const {
  const double factor = head_->scale * kShortToUnits;
  const double offset = head_->offset;
  // in may overlay out from out + k on, with n <= 2k + 1. Each piece of
  // samples is taken aside before its floats are stored; those floats
  // overlay only samples already taken (float j covers samples 2 (j - k) and
  // 2 (j - k) + 1: below the end of its piece, or past the last sample).
  constexpr uint64_t kPiece = 256;
  int16_t piece[kPiece];
  for (uint64_t i = 0; i < n; i += kPiece) {
    const uint64_t m = std::min(kPiece, n - i);
    std::memmove(piece, in + i, m * sizeof *piece);
    for (uint64_t k = 0; k < m; ++k) out[i + k] = static_cast<float>(piece[k] * factor + offset);
  }
}

void CKel64Chan::FloatsToShorts(int16_t* out, const float* in, uint64_t n) const {
  const double offset = head_->offset;
  const double k = kUnitsToShort / head_->scale;
  const double u = 1.0 / k;
  double hi = u * 32767 + offset;
  double lo = offset - u * 32768;
  // A negative scale turns the range over: the top value then stands for
  // -32768.
  const bool reversed = hi < lo;
  if (reversed) std::swap(hi, lo);
  const int16_t top = reversed ? -32768 : 32767;
  const int16_t bottom = reversed ? 32767 : -32768;
  for (uint64_t i = 0; i < n; ++i) {
    const double x = in[i];
    if (x >= hi) {
      out[i] = top;
    } else if (x > lo) {
      const double y = (x - offset) * k;
      out[i] = static_cast<int16_t>(y >= 0 ? y + 0.5 : y - 0.5);
    } else {
      out[i] = bottom;
    }
  }
}

TSTime64 CKel64Chan::PrevNTime(TReadRange& range, const CMarkFilter* filter, bool asWave) {
  if (!range.IsOpen()) return -1;
  Guard g(lock_);
  const uint8_t kind = head_->kind;
  if (kind == ChanOff) return kErrNoChannel;
  // Waveform blocks search over samples anyway.
  const bool samples = kind == Adc || kind == RealWave;
  if (samples) asWave = false;
  const uint64_t points = head_->rows;
  const TSTime64 divide = head_->divide;
  if (asWave && (kind < WaveMark || kind > TextMark || points == 0 || divide < 1)) {
    return kErrWrongKind;
  }
  const auto search = [&](CDataBlock& block) {
    return asWave ? block.PrevNWaveTime(range, filter, points, divide)
                  : block.PrevNTime(range, filter);
  };
  TSTime64 r = -1;
  if (writeBlock_) {
    r = search(*writeBlock_);
    if (!range.IsOpen()) return r;
  }
  int rc = cursor_.FindBlock(range.tUpto - 1);
  if (rc < 0) return rc;
  if (rc == 1 && cursor_.CurBlock() < 0) return -1;
  for (;;) {
    r = search(*cursor_.Block());
    if (!range.IsOpen()) return r;
    if (range.nTries > 0 && --range.nTries == 0) return kSearchBudgetSpent;
    rc = cursor_.PrevBlock();
    if (rc < 0) return rc;
    if (rc != 0) return -1;
  }
}

TSTime64 CKel64Chan::ChanMaxTime() {
  Guard g(lock_);
  if (writeBlock_ && writeBlock_->Items() != 0) return writeBlock_->EndTime();
  return head_->lastTime;
}

int64_t CKel64Chan::ChanBytes() {
  Guard g(lock_);
  // A count no file could hold is a damaged record, not a size.
  if (head_->blocksUsed > static_cast<uint64_t>(INT64_MAX) / kDataBlockSize - 1) return kErrCorrupt;
  int64_t bytes = static_cast<int64_t>(head_->blocksUsed * kDataBlockSize);
  if (writeBlock_ && writeBlock_->IsDirty() && writeBlock_->Items() != 0) {
    bytes += static_cast<int64_t>(writeBlock_->Items()) * head_->itemSize;
  }
  return bytes;
}

bool CKel64Chan::IsModified() {
  Guard g(lock_);
  if (headChanged_) return true;
  if (writeBlock_ && writeBlock_->IsDirty() && writeBlock_->Items() != 0) return true;
  const CDataBlock* read = cursor_.Block();
  if (read && read->IsDirty() && read->Items() != 0 && read->FilePos() != 0) return true;
  for (const TIndexNode& node : indexPath_) {
    if (node.dirty) return true;
  }
  return false;
}

int CKel64Chan::Commit() {
  Guard g(lock_);
  int first = kOk;
  const auto remember = [&first](int r) {
    if (first == kOk && r < 0) first = r;
  };
  if (writeBlock_ && writeBlock_->IsDirty() && writeBlock_->Items() != 0) {
    remember(WriteBlock(*writeBlock_));
  }
  CDataBlock* read = cursor_.Block();
  if (read && read->IsDirty() && read->Items() != 0 && read->FilePos() != 0) {
    const int r = file_->WriteRaw(read->Bytes(), kDataBlockSize,
                                  static_cast<int64_t>(read->FilePos()));
    if (r == kOk) read->SetDirty(false);
    remember(r);
  }
  CIndexWriter writer(chan_, head_, file_, &indexPath_, &cursor_, &headChanged_);
  remember(writer.WriteAllLevels());
  if (headChanged_) {
    const int r = file_->WriteChanHead(chan_);
    if (r == kOk) headChanged_ = false;
    remember(r);
  }
  return first;
}

// --- Writing ---------------------------------------------------------------------

namespace {

TSTime64 ItemTime(const uint8_t* item) {
  TSTime64 t;
  std::memcpy(&t, item, sizeof t);
  return t;
}

// The typed block operations, chosen by sample type.
int AddSamples(CDataBlock& b, const int16_t*& in, uint64_t n, TSTime64 t) {
  return b.AddWaveS(in, n, t);
}
int AddSamples(CDataBlock& b, const float*& in, uint64_t n, TSTime64 t) {
  return b.AddWaveF(in, n, t);
}
int ChangeBlockSamples(CDataBlock& b, const int16_t* in, uint64_t n, TSTime64 t, uint64_t* first) {
  return b.ChangeWaveS(in, n, t, first);
}
int ChangeBlockSamples(CDataBlock& b, const float* in, uint64_t n, TSTime64 t, uint64_t* first) {
  return b.ChangeWaveF(in, n, t, first);
}

// The item appends, over the bytes of the items.
int AddEventItems(CDataBlock& b, const uint8_t*& in, uint64_t k) {
  const TSTime64* p = reinterpret_cast<const TSTime64*>(in);
  const int r = b.AddEvents(p, k);
  in = reinterpret_cast<const uint8_t*>(p);
  return r;
}
int AddMarkerItems(CDataBlock& b, const uint8_t*& in, uint64_t k) {
  const TMarker* p = reinterpret_cast<const TMarker*>(in);
  const int r = b.AddMarkers(p, k);
  in = reinterpret_cast<const uint8_t*>(p);
  return r;
}
int AddExtMarkItems(CDataBlock& b, const uint8_t*& in, uint64_t k) { return b.AddExtMarks(in, k); }

}  // namespace

TSTime64 CKel64Chan::LastTimeLocked() const {
  if (writeBlock_ && writeBlock_->Items() != 0) {
    return std::max(writeBlock_->EndTime(), head_->lastTime);
  }
  return head_->lastTime;
}

int CKel64Chan::WriteBlock(CDataBlock& block) {
  CIndexWriter writer(chan_, head_, file_, &indexPath_, &cursor_, &headChanged_);
  const int r = writer.WriteBlock(block);
  if (r < 0) return r;
  file_->ExtendMaxTime(head_->lastTime);
  return kOk;
}

int CKel64Chan::AttachWriteBlock(std::unique_ptr<CDataBlock> block) {
  Guard g(lock_);
  return AttachWriteBlockLocked(std::move(block));
}

int CKel64Chan::AttachWriteBlockLocked(std::unique_ptr<CDataBlock> block) {
  if (!block) return kErrWrongKind;
  block->Reset();
  if (head_->blocksUsed != 0 && head_->lastTime >= 0) {
    // The last disk block: the read cursor finds and checks it, and its
    // image becomes the write block's.
    int rc = cursor_.FindBlock(head_->lastTime);
    if (rc < 0) return rc;
    CDataBlock* last = cursor_.Block();
    if (last == nullptr || cursor_.CurBlock() < 0 ||
        static_cast<uint64_t>(cursor_.CurBlock()) + 1 != head_->blocksUsed) {
      return kErrCorrupt;
    }
    if (last->IsDirty() && last->Items() != 0 && last->FilePos() != 0) {
      // An edit not yet written goes to the file first, so both copies agree.
      rc = file_->WriteRaw(last->Bytes(), kDataBlockSize, static_cast<int64_t>(last->FilePos()));
      if (rc < 0) return rc;
      last->SetDirty(false);
    }
    std::memcpy(block->Bytes(), last->Bytes(), kDataBlockSize);
    block->ForgetLastRun();
    block->SetFilePos(last->FilePos());
    block->SetDirty(false);
  }
  writeBlock_ = std::move(block);
  return kOk;
}

int CKel64Chan::EnsureWriteBlockLocked() {
  if (writeBlock_) return kOk;
  return AttachWriteBlockLocked(NewDataBlock(chan_, *head_));
}

void CKel64Chan::DropEmptyWriteBlock() {
  if (writeBlock_ && writeBlock_->Items() == 0) writeBlock_.reset();
}

template <typename Add>
int CKel64Chan::AppendItemsLocked(const uint8_t* in, uint64_t n, uint64_t itemBytes, Add add,
                                  bool continuing) {
  if (n == 0) return kOk;
  // Reads bisect on item times, so the whole call is checked before any of
  // it is stored. The first item must come after everything stored; later
  // ones may share a time with the item before them (several events in one
  // clock tick), but never go back.
  TSTime64 prev = LastTimeLocked();
  for (uint64_t i = 0; i < n; ++i) {
    const TSTime64 t = ItemTime(in + i * itemBytes);
    if (t < prev || (i == 0 && t == prev && !continuing) || t >= kMaxTime64) {
      return kErrTimeOrder;
    }
    prev = t;
  }
  int rc = EnsureWriteBlockLocked();
  if (rc < 0) return rc;
  CDataBlock& block = *writeBlock_;
  while (n > 0) {
    // A full block whose write failed must reach the file before the block
    // is emptied for the next items.
    if (block.Items() >= block.MaxItems() && block.IsDirty()) {
      rc = WriteBlock(block);
      if (rc < 0) return rc;
    }
    const int k = add(block, in, n);
    if (k <= 0) {
      DropEmptyWriteBlock();
      return k < 0 ? k : kErrCorrupt;
    }
    n -= static_cast<uint64_t>(k);
    if (block.Items() >= block.MaxItems()) {
      rc = WriteBlock(block);
      if (rc < 0) return rc;
    }
  }
  return kOk;
}

int CKel64Chan::WriteEvents(const TSTime64*, uint64_t) { return kErrWrongKind; }
int CKel64Chan::WriteMarkers(const TMarker*, uint64_t) { return kErrWrongKind; }
int CKel64Chan::WriteExtMarks(const uint8_t*, uint64_t) { return kErrWrongKind; }
TSTime64 CKel64Chan::WriteWaveS(const int16_t*, uint64_t, TSTime64) { return kErrWrongKind; }
TSTime64 CKel64Chan::WriteWaveF(const float*, uint64_t, TSTime64) { return kErrWrongKind; }
int CKel64Chan::ChangeWaveS(const int16_t*, uint64_t, TSTime64) { return kErrWrongKind; }
int CKel64Chan::ChangeWaveF(const float*, uint64_t, TSTime64) { return kErrWrongKind; }
int CKel64Chan::EditMarker(TSTime64, const uint8_t*, uint64_t) { return kErrWrongKind; }

void CKel64Chan::SetPreTrig(uint16_t preTrig) {
  Guard g(lock_);
  if (head_->preTrig != preTrig) {
    head_->preTrig = preTrig;
    headChanged_ = true;
  }
}

int CKel64Chan::EditItemLocked(TSTime64 t, const uint8_t* item, uint64_t bytes) {
  if (bytes > head_->itemSize) return kErrBadArg;
  if (writeBlock_ && writeBlock_->Items() != 0 && t >= writeBlock_->FirstTime()) {
    return writeBlock_->EditMarker(t, item, bytes);
  }
  // The first item at t, also when items sharing t begin in an earlier block.
  const int rc = cursor_.FindBlockFrom(t);
  if (rc < 0) return rc;
  if (rc == 1) return 0;
  return cursor_.Block()->EditMarker(t, item, bytes);
}

template <typename Sample>
int CKel64Chan::ChangeSamplesLocked(const Sample* data, uint64_t n, TSTime64 t) {
  const TSTime64 divide = head_->divide;
  uint64_t remaining = n;  // leading samples still to be done
  const TSTime64 limit = WriteLimitLocked();
  if (writeBlock_ && writeBlock_->Items() != 0) {
    uint64_t first = 0;
    const int r = ChangeBlockSamples(*writeBlock_, data, n, t, &first);
    if (r == 0) return kOk;  // t lies after every stored sample
    if (r > 0) remaining = first;
    if (remaining == 0) return kOk;
  }
  int rc = cursor_.FindBlock(t);
  if (rc < 0) return rc;
  while (rc == 0 && remaining > 0) {
    CDataBlock& block = *cursor_.Block();
    // The write block holds the newer image of the channel's last block.
    if (block.FirstTime() >= limit) break;
    uint64_t first = 0;
    const int r = ChangeBlockSamples(block, data, remaining, t, &first);
    if (r < 0) break;  // every remaining sample lies before this block
    if (r > 0) {
      const uint64_t done = std::min<uint64_t>(first + static_cast<uint64_t>(r), remaining);
      data += done;
      remaining -= done;
      t += static_cast<TSTime64>(done) * divide;
    }
    if (block.IsDirty() && block.FilePos() != 0) {
      rc = file_->WriteRaw(block.Bytes(), kDataBlockSize, static_cast<int64_t>(block.FilePos()));
      if (rc < 0) return rc;
      block.SetDirty(false);
    }
    if (remaining > 0) rc = cursor_.NextBlock();
  }
  return rc < 0 ? rc : kOk;
}

template <typename Sample>
TSTime64 CKel64Chan::WriteSamples(const Sample* data, uint64_t n, TSTime64 t) {
  if (n == 0) return t;
  Guard g(lock_);
  const TSTime64 divide = head_->divide;
  if (t < 0 || t >= kMaxTime64 || divide < 1) return kErrOutOfRange;
  // Every sample time, and the time after the last, must be a tick time.
  if (n > static_cast<uint64_t>((kMaxTime64 - t) / divide)) return kErrOutOfRange;
  const TSTime64 last = LastTimeLocked();
  if (t <= last) {
    const int rc = ChangeSamplesLocked(data, n, t);
    if (rc < 0) return rc;
    const TSTime64 end = t + static_cast<TSTime64>(n) * divide;
    if (end - divide <= last) return end;
    const uint64_t k = static_cast<uint64_t>((last - t) / divide + 1);
    data += k;
    n -= k;
    t += static_cast<TSTime64>(k) * divide;
  }
  int rc = EnsureWriteBlockLocked();
  if (rc < 0) return rc;
  CDataBlock& block = *writeBlock_;
  while (n > 0) {
    const int m = AddSamples(block, data, n, t);
    if (m < 0) return m;
    if (m > 0) {
      n -= static_cast<uint64_t>(m);
      t += static_cast<TSTime64>(m) * divide;
      continue;
    }
    // Nothing fitted: with the block empty the samples can never be stored
    // (their times run out of the tick range); otherwise the block is full.
    if (block.Items() == 0) {
      DropEmptyWriteBlock();
      return kErrOutOfRange;
    }
    if (block.IsDirty()) {
      rc = WriteBlock(block);
      if (rc < 0) return rc;
    }
    block.Reset();
  }
  return t;
}

bool CKel64Chan::LastLevel() { return false; }

void CKel64Chan::Save(TSTime64, bool) {}
void CKel64Chan::SaveRange(TSTime64, TSTime64) {}
bool CKel64Chan::IsSaving() { return true; }
int CKel64Chan::NoSaveList(TSTime64*, uint32_t, TSTime64, TSTime64) { return 0; }
void CKel64Chan::LatestTime(TSTime64) {}

CAdcChan::CAdcChan(TKel64File* file, uint16_t chan, TSTime64 divide) : CKel64Chan(file, chan, Adc) {
  head_->itemSize = 2;
  head_->divide = divide;
}

TSTime64 CAdcChan::WriteWaveS(const int16_t* data, uint64_t n, TSTime64 t) {
  return WriteSamples(data, n, t);
}

int CAdcChan::ChangeWaveS(const int16_t* data, uint64_t n, TSTime64 t) {
  if (n == 0) return kOk;
  Guard g(lock_);
  return ChangeSamplesLocked(data, n, t);
}

int CAdcChan::ReadWaveS(int16_t* out, TReadRange& range, TSTime64* tFirst,
                        const CMarkFilter* filter) {
  if (!range.IsOpen()) return 0;
  Guard g(lock_);
  return ReadShortsLocked(out, range, tFirst, filter);
}

CRealWChan::CRealWChan(TKel64File* file, uint16_t chan, TSTime64 divide)
    : CKel64Chan(file, chan, RealWave) {
  head_->itemSize = 4;
  head_->divide = divide;
}

TSTime64 CRealWChan::WriteWaveF(const float* data, uint64_t n, TSTime64 t) {
  return WriteSamples(data, n, t);
}

int CRealWChan::ChangeWaveF(const float* data, uint64_t n, TSTime64 t) {
  if (n == 0) return kOk;
  Guard g(lock_);
  return ChangeSamplesLocked(data, n, t);
}

int CRealWChan::ReadWaveF(float* out, TReadRange& range, TSTime64* tFirst, const CMarkFilter*) {
  if (!range.IsOpen()) return 0;
  Guard g(lock_);
  const int rc = CheckKindLocked(RealWave, RealWave);
  if (rc != kOk) return rc;
  return ReadLocked(range, true, [&](CDataBlock& block) {
    return block.ReadWaveF(out, range, tFirst, nullptr);
  });
}

// Floats are read in pieces through a small buffer and converted; the range
// carries the read from one piece to the next, so the pieces join exactly as
// one read would.
int CRealWChan::ReadWaveS(int16_t* out, TReadRange& range, TSTime64* tFirst,
                          const CMarkFilter*) {
  if (!range.IsOpen()) return 0;
  const uint64_t wanted = range.nMax;
  std::vector<float> floats(static_cast<size_t>(std::min(wanted, kFloatChunk)));
  uint64_t total = 0;
  for (;;) {
    const uint64_t piece = std::min<uint64_t>(wanted - total, floats.size());
    range.nMax = piece;
    const int n = ReadWaveF(floats.data(), range, tFirst, nullptr);
    if (n < 0) return n;
    {
      Guard g(lock_);
      FloatsToShorts(out + total, floats.data(), static_cast<uint64_t>(n));
    }
    total += static_cast<uint64_t>(n);
    // nMax left above 0 means the read stopped short of the piece: the end
    // of the data or of the block budget. nMax 0 with the range closed is
    // the end of the range or a gap.
    const bool pieceFull = range.nMax == 0 && static_cast<uint64_t>(n) == piece;
    const bool closed = range.tFrom >= range.tUpto || range.tUpto < 1;
    if (!pieceFull || closed || total == wanted || range.nTries == 0) {
      if (!closed || range.nMax != 0) range.nMax = wanted - total;
      return static_cast<int>(total);
    }
  }
}

CEventChan::CEventChan(TKel64File* file, uint16_t chan, TDataKind kind)
    : CKel64Chan(file, chan, kind) {
  head_->itemSize = 8;
}

int CEventChan::WriteEvents(const TSTime64* times, uint64_t n) {
  if (n == 0) return kOk;
  Guard g(lock_);
  return AppendItemsLocked(reinterpret_cast<const uint8_t*>(times), n, kEventBytes,
                           AddEventItems);
}

TSTime64 CKel64Chan::LastStoredTime() {
  Guard g(lock_);
  return LastTimeLocked();
}

int CKel64Chan::AppendContinuing(const uint8_t* items, uint64_t n) {
  if (n == 0) return kOk;
  Guard g(lock_);
  const uint8_t kind = head_->kind;
  if (kind == EventA || kind == EventB) {
    return AppendItemsLocked(items, n, kEventBytes, AddEventItems, true);
  }
  if (kind == Level || kind == Marker) {
    return AppendItemsLocked(items, n, kMarkerBytes, AddMarkerItems, true);
  }
  if (kind >= WaveMark && kind <= TextMark) {
    return AppendItemsLocked(items, n, head_->itemSize, AddExtMarkItems, true);
  }
  return kErrWrongKind;
}

CMarkerChan::CMarkerChan(TKel64File* file, uint16_t chan, TDataKind kind)
    : CKel64Chan(file, chan, kind) {
  head_->itemSize = 16;
}


int CMarkerChan::WriteMarkers(const TMarker* items, uint64_t n) {
  if (n == 0) return kOk;
  Guard g(lock_);
  return AppendItemsLocked(reinterpret_cast<const uint8_t*>(items), n, kMarkerBytes,
                           AddMarkerItems);
}

int CMarkerChan::WriteEvents(const TSTime64* times, uint64_t n) {
  if (n == 0) return kOk;
  Guard g(lock_);
  if (head_->kind != Level) return kErrWrongKind;
  // The level state must come from the last stored change, which the write
  // block holds once attached.
  int rc = EnsureWriteBlockLocked();
  if (rc < 0) return rc;
  const bool level = writeBlock_->Items() != 0 ? writeBlock_->LastCode() != 0
                                               : (head_->flags & 1u) != 0;
  const std::vector<TMarker> changes = LevelChangeMarkers(times, n, level);
  rc = AppendItemsLocked(reinterpret_cast<const uint8_t*>(changes.data()), changes.size(),
                         kMarkerBytes, AddMarkerItems);
  DropEmptyWriteBlock();
  return rc;
}

int CMarkerChan::EditMarker(TSTime64 t, const uint8_t* item, uint64_t bytes) {
  Guard g(lock_);
  return EditItemLocked(t, item, bytes);
}

int CMarkerChan::ReadLevels(TSTime64* out, TReadRange& range, bool* level) {
  if (range.nMax == 0) return 0;
  TMarker change{};
  TReadRange one(range.tFrom, range.tUpto, 1);
  int r = ReadMarkers(&change, one, nullptr);
  if (r < 0) return r;
  if (r > 0) {
    *level = change.code[0] != 0;
    return ReadEvents(out, range, nullptr);
  }
  // No change in the range: the last one before it decides.
  TReadRange back(-1, range.tFrom, 1);
  TSTime64 t;
  do {
    t = PrevNTime(back, nullptr, false);
  } while (t == kSearchBudgetSpent);
  if (t >= 0) {
    TReadRange at(t, t + 1, 1);
    r = ReadMarkers(&change, at, nullptr);
    if (r < 0) return r;
    if (r > 0) {
      *level = change.code[0] == 0;
      return 0;
    }
  } else if (t != -1) {
    return static_cast<int>(t);
  }
  Guard g(lock_);
  *level = (head_->flags & 1u) == 0;
  return 0;
}

bool CMarkerChan::LastLevel() {
  Guard g(lock_);
  if (writeBlock_ && writeBlock_->Items() != 0) return writeBlock_->LastCode() != 0;
  return (head_->flags & 1u) != 0;
}

CExtMarkChan::CExtMarkChan(TKel64File* file, uint16_t chan, TDataKind kind, uint16_t rows,
                           uint16_t cols, TSTime64 divide)
    : CKel64Chan(file, chan, kind) {
  const uint32_t size = static_cast<uint32_t>(ExtMarkItemSize(kind, rows, cols));
  headChanged_ = size != head_->itemSize || rows != head_->rows || cols != head_->cols ||
                 divide != head_->divide;
  head_->itemSize = size;
  head_->pointBytes = kind == WaveMark ? 2 : kind == RealMark ? 4 : 1;
  head_->rows = rows;
  head_->cols = cols;
  head_->divide = divide;
}

int CExtMarkChan::WriteExtMarks(const uint8_t* items, uint64_t n) {
  if (n == 0) return kOk;
  Guard g(lock_);
  return AppendItemsLocked(items, n, head_->itemSize, AddExtMarkItems);
}

int CExtMarkChan::EditMarker(TSTime64 t, const uint8_t* item, uint64_t bytes) {
  Guard g(lock_);
  return EditItemLocked(t, item, bytes);
}

int CExtMarkChan::ReadWaveS(int16_t* out, TReadRange& range, TSTime64* tFirst,
                            const CMarkFilter* filter) {
  if (!range.IsOpen()) return 0;
  Guard g(lock_);
  return ReadShortsLocked(out, range, tFirst, filter);
}

uint64_t ExtMarkItemSize(TDataKind kind, uint64_t rows, uint64_t cols) {
  uint64_t payload = 0;
  if (kind == WaveMark) {
    payload = rows * cols * 2;
  } else if (kind == RealMark) {
    payload = rows * cols * 4;
  } else if (kind == TextMark) {
    payload = rows;
  }
  return (16 + payload + 7) & ~uint64_t{7};
}

std::unique_ptr<CKel64Chan> MakeChanFromRecord(TKel64File* file, uint16_t chan) {
  const TChanHead& h = *file->ChanHeadRecord(chan);
  const TDataKind kind = static_cast<TDataKind>(h.kind);
  const uint16_t cols = kind == TextMark ? 1 : h.cols;
  const bool itemFits =
      h.rows >= 1 && cols >= 1 && ExtMarkItemSize(kind, h.rows, cols) <= kBlockItemBytes;
  switch (kind) {
    case Adc:
      if (h.divide < 1) return nullptr;
      return std::make_unique<CAdcChan>(file, chan, h.divide);
    case EventA:
    case EventB:
      return std::make_unique<CEventChan>(file, chan, kind);
    case Level:
    case Marker:
      return std::make_unique<CMarkerChan>(file, chan, kind);
    case WaveMark:
      if (!itemFits || h.divide < 1) return nullptr;
      return std::make_unique<CExtMarkChan>(file, chan, kind, h.rows, h.cols, h.divide);
    case RealMark:
      if (!itemFits) return nullptr;
      return std::make_unique<CExtMarkChan>(file, chan, kind, h.rows, h.cols, h.divide);
    case TextMark:
      if (!itemFits) return nullptr;
      return std::make_unique<CExtMarkChan>(file, chan, kind, h.rows, 1, 0);
    case RealWave:
      if (h.divide < 1) return nullptr;
      return std::make_unique<CRealWChan>(file, chan, h.divide);
    default:
      return nullptr;
  }
}

TDataKind RestorableKind(const TChanHead& head) {
  return head.delKind != 0 && head.kind == ChanOff ? static_cast<TDataKind>(head.delKind) : ChanOff;
}

void ResetBlocksForReuse(TChanHead* head) {
  if (head->blocksAlloc == 0) head->blocksAlloc = head->blocksUsed;
  head->blocksUsed = 0;
  head->lastTime = -1;
  if (head->blocksAlloc != 0) ++head->reuseCount;
}

void ResetForReuse(TChanHead* head) {
  ResetBlocksForReuse(head);
  head->itemSize = 0;
  head->rows = 0;
  head->cols = 0;
  head->pointBytes = 0;
  head->kind = ChanOff;
  head->delKind = 0;
  head->titleId = 0;
  head->unitsId = 0;
  head->commentId = 0;
  head->divide = 0;
  head->idealRate = 0.0;
  head->phyChan = -1;
}

std::vector<TMarker> LevelChangeMarkers(const TSTime64* times, uint64_t n, bool level) {
  const uint32_t c0 = level ? 0 : 1;
  std::vector<TMarker> changes;
  changes.reserve(static_cast<size_t>(std::min<uint64_t>(n, 1u << 20)));
  for (uint64_t i = 0; i < n; ++i) {
    if (i + 1 < n && times[i] == times[i + 1]) {
      ++i;  // a change and its reversal at the same time leave nothing
      continue;
    }
    TMarker m{};
    m.time = times[i];
    le::PutU32(m.code, i % 2 == 0 ? c0 : 1 - c0);
    changes.push_back(m);
  }
  return changes;
}

}  // namespace vslk64
