#include "filelib/orfx/channel.h"

#include <cstdint>

#include "filelib/orfx/block_io.h"
#include "filelib/orfx/disk_block_head.h"
#include "filelib/orfx/kel64_file.h"
#include "filelib/status.h"

namespace vslk64 {
namespace {

using Guard = platform::LockGuard;

// Usable bytes of a data block after its head.
constexpr uint64_t kBlockItemBytes = kDataBlockSize - kDiskBlockHeadSize;

bool HasScale(uint8_t kind) { return kind == Adc || kind == WaveMark || kind == RealWave; }

}  // namespace

CKel64Chan::CKel64Chan(TKel64File* file, uint16_t chan, TDataKind kind)
    : file_(file), head_(file->ChanHeadRecord(chan)), chan_(chan) {
  headChanged_ = head_->kind != kind;
  // A slot opened from disk holds a live channel here, so ClearDeleted finds
  // a kind and leaves the record (and the string table) alone.
  if (head_->delKind != 0) ClearDeleted();
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

int CKel64Chan::ReadEvents(TSTime64*, TReadRange&, const CMarkFilter*) { return kErrWrongKind; }
int CKel64Chan::ReadMarkers(TMarker*, TReadRange&, const CMarkFilter*) { return kErrWrongKind; }
int CKel64Chan::ReadExtMarks(uint8_t*, TReadRange&, const CMarkFilter*) { return kErrWrongKind; }
int CKel64Chan::ReadLevels(TSTime64*, TReadRange&, bool*) { return kErrWrongKind; }
int CKel64Chan::ReadWaveS(int16_t*, TReadRange&, TSTime64*, const CMarkFilter*) {
  return kErrWrongKind;
}
int CKel64Chan::ReadWaveF(float*, TReadRange&, TSTime64*, const CMarkFilter*) {
  return kErrWrongKind;
}
TSTime64 CKel64Chan::PrevNTime(TReadRange&, const CMarkFilter*, bool) { return kErrWrongKind; }

TSTime64 CKel64Chan::ChanMaxTime() {
  Guard g(lock_);
  return head_->lastTime;
}

int64_t CKel64Chan::ChanBytes() {
  Guard g(lock_);
  // A count no file could hold is a damaged record, not a size.
  if (head_->blocksUsed > static_cast<uint64_t>(INT64_MAX) / kDataBlockSize) return kErrCorrupt;
  return static_cast<int64_t>(head_->blocksUsed * kDataBlockSize);
}

bool CKel64Chan::IsModified() {
  Guard g(lock_);
  return headChanged_;
}

int CKel64Chan::Commit() {
  Guard g(lock_);
  if (!headChanged_) return kOk;
  const int r = file_->WriteChanHead(chan_);
  if (r == kOk) headChanged_ = false;
  return r;
}

void CKel64Chan::Save(TSTime64, bool) {}
void CKel64Chan::SaveRange(TSTime64, TSTime64) {}
bool CKel64Chan::IsSaving() { return true; }
int CKel64Chan::NoSaveList(TSTime64*, uint32_t, TSTime64, TSTime64) { return 0; }
void CKel64Chan::LatestTime(TSTime64) {}

CAdcChan::CAdcChan(TKel64File* file, uint16_t chan, TSTime64 divide) : CKel64Chan(file, chan, Adc) {
  head_->itemSize = 2;
  head_->divide = divide;
}

CRealWChan::CRealWChan(TKel64File* file, uint16_t chan, TSTime64 divide)
    : CKel64Chan(file, chan, RealWave) {
  head_->itemSize = 4;
  head_->divide = divide;
}

CEventChan::CEventChan(TKel64File* file, uint16_t chan, TDataKind kind)
    : CKel64Chan(file, chan, kind) {
  head_->itemSize = 8;
}

CMarkerChan::CMarkerChan(TKel64File* file, uint16_t chan, TDataKind kind)
    : CKel64Chan(file, chan, kind) {
  head_->itemSize = 16;
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

void ResetForReuse(TChanHead* head) {
  if (head->blocksAlloc == 0) head->blocksAlloc = head->blocksUsed;
  head->blocksUsed = 0;
  head->lastTime = -1;
  if (head->blocksAlloc != 0) ++head->reuseCount;
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
