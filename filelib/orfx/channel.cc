#include "filelib/orfx/channel.h"

#include "filelib/corruption.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "filelib/orfx/block_io.h"
#include "filelib/orfx/channel_templates.h"
#include "filelib/orfx/disk_block_head.h"
#include "filelib/orfx/index_writer.h"
#include "filelib/orfx/kel64_file.h"
#include "filelib/sample_convert.h"
#include "filelib/status.h"

namespace vslk64 {
namespace {

using Guard = platform::LockGuard;

// Usable bytes of a data block after its head.
constexpr uint64_t kBlockItemBytes = kDataBlockSize - kDiskBlockHeadSize;

bool HasScale(uint8_t kind) { return kind == Adc || kind == WaveMark || kind == RealWave; }


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
  const uint64_t flags =
      level ? (head_->flags | kChanFlagInitLevel) : (head_->flags & ~kChanFlagInitLevel);
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
    return kEntryNumbersNoTree;
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

bool CKel64Chan::IsWriteBlockImageLocked(const CDataBlock& block) const {
  return writeBlock_ && writeBlock_->FilePos() != 0 && block.FilePos() == writeBlock_->FilePos();
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
  // A wave mark stored before tFrom may still hold points from tFrom on,
  // also when it is the last of its block.
  TSTime64 reach = 0;
  if (kind == WaveMark && head_->rows > 1 && head_->divide > 0) {
    reach =
        head_->divide > kMaxTime64 / head_->rows ? kMaxTime64 : head_->divide * (head_->rows - 1);
  }
  return ReadLocked(
      range, true, [&](CDataBlock& block) { return block.ReadWaveS(out, range, tFirst, filter); },
      reach);
}

int CKel64Chan::ReadWaveF(float* out, TReadRange& range, TSTime64* tFirst,
                          const CMarkFilter* filter) {
  if (!range.IsOpen()) return 0;
  // The 16-bit samples land in the upper half of the caller's buffer and
  // are widened from there into the whole of it. Everything that stores
  // samples there does so byte-wise (memcpy), and ShortsToFloats reads them
  // the same way, so the float storage is never accessed as int16_t.
  void* upper = out + range.nMax / 2;
  const int n = ReadWaveS(static_cast<int16_t*>(upper), range, tFirst, filter);
  if (n >= 1) {
    Guard g(lock_);
    ShortsToFloats(out, upper, static_cast<uint64_t>(n));
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
      const double factor = head_->scale * kUnitsPerStep;
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

void CKel64Chan::ShortsToFloats(float* out, const void* in, uint64_t n) const {
  const double factor = head_->scale * kUnitsPerStep;
  const double offset = head_->offset;
  // in may overlay out from out + k on, with n <= 2k + 1. Each piece of
  // samples is taken aside before its floats are stored; those floats
  // overlay only samples already taken (float j covers samples 2 (j - k) and
  // 2 (j - k) + 1: below the end of its piece, or past the last sample).
  constexpr uint64_t kPiece = 256;
  int16_t piece[kPiece];
  for (uint64_t i = 0; i < n; i += kPiece) {
    const uint64_t m = std::min(kPiece, n - i);
    std::memcpy(piece, static_cast<const uint8_t*>(in) + i * sizeof *piece, m * sizeof *piece);
    for (uint64_t k = 0; k < m; ++k) out[i + k] = static_cast<float>(piece[k] * factor + offset);
  }
}

// Clips at the range's ends, then rounds half away from zero: this format's
// rule. ORF rounds half up (FloatToSample in kel_read.cc); the two stay apart
// on purpose.
void CKel64Chan::FloatsToShorts(int16_t* out, const float* in, uint64_t n) const {
  const double offset = head_->offset;
  const double k = kStepsPerUnit / head_->scale;
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
  int rc;
  if (range.resumeAt >= 0) {
    // Called again after a spent budget: on at the block that was next. Found
    // by time, it could be the block searched last, whose first items may
    // share their time with the last of the block before.
    rc = cursor_.GoTo(static_cast<uint64_t>(range.resumeAt));
    range.resumeAt = -1;
    if (rc < 0) return rc;
  } else {
    if (writeBlock_) {
      r = search(*writeBlock_);
      if (!range.IsOpen()) return r;
    }
    if (writeBlock_ && writeBlock_->Items() != 0 && writeBlock_->FilePos() != 0 &&
        range.tUpto > writeBlock_->FirstTime()) {
      // The search stepped over a write block that is also the last block on
      // disk: it goes on at the one before it.
      if (head_->blocksUsed < 2) return -1;
      rc = cursor_.GoTo(head_->blocksUsed - 2);
      if (rc < 0) return rc;
    } else {
      rc = cursor_.FindBlock(range.tUpto - 1);
      if (rc < 0) return rc;
      if (rc == 1 && cursor_.CurBlock() < 0) return -1;
    }
  }
  for (;;) {
    r = search(*cursor_.Block());
    if (!range.IsOpen()) return r;
    rc = cursor_.PrevBlock();
    if (rc < 0) return rc;
    if (rc != 0) return -1;
    if (range.nTries > 0 && --range.nTries == 0) {
      range.resumeAt = cursor_.CurBlock();
      return kSearchBudgetSpent;
    }
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
  if (head_->blocksUsed > static_cast<uint64_t>(INT64_MAX) / kDataBlockSize - 1)
    return KEL_CORRUPT("head_->blocksUsed > static_cast<uint64_t>(INT64_MAX) / kDataBlockSize - 1");
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

}  // namespace vslk64
