// The base channel's writing: the write block, appends of items and
// samples, edits of stored items and samples, and the default answers of
// the kinds that do not write. The class is in channel.h.
#include "filelib/orfx/channel.h"

#include "filelib/corruption.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "filelib/orfx/block_io.h"
#include "filelib/orfx/chan_appends.h"
#include "filelib/orfx/channel_templates.h"
#include "filelib/orfx/disk_block_head.h"
#include "filelib/orfx/index_writer.h"
#include "filelib/orfx/kel64_file.h"
#include "filelib/status.h"

namespace vslk64 {
namespace {

using Guard = platform::LockGuard;



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
      return KEL_CORRUPT("last == nullptr || cursor_.CurBlock() < 0 || ...");
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
  const bool inWriteBlock =
      writeBlock_ && writeBlock_->Items() != 0 && t >= writeBlock_->FirstTime();
  if (inWriteBlock && t > writeBlock_->FirstTime()) return writeBlock_->EditMarker(t, item, bytes);
  // The first item at t, also when items sharing t begin in an earlier block
  // (or on disk before the write block).
  const int rc = cursor_.FindBlockFrom(t);
  if (rc < 0) return rc;
  if (inWriteBlock && (rc == 1 || IsWriteBlockImageLocked(*cursor_.Block()))) {
    return writeBlock_->EditMarker(t, item, bytes);
  }
  if (rc == 1) return 0;
  return cursor_.Block()->EditMarker(t, item, bytes);
}


bool CKel64Chan::LastLevel() { return false; }

void CKel64Chan::Save(TSTime64, bool) {}
void CKel64Chan::SaveRange(TSTime64, TSTime64) {}
bool CKel64Chan::IsSaving() { return true; }
int CKel64Chan::NoSaveList(TSTime64*, uint32_t, TSTime64, TSTime64) { return 0; }
void CKel64Chan::LatestTime(TSTime64) {}

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

}  // namespace vslk64
