#include "filelib/orfx/index_cursor.h"

#include "filelib/corruption.h"

#include <algorithm>
#include <cstring>

#include "filelib/status.h"

namespace vslk64 {

CIndexCursor::CIndexCursor(uint16_t chan, const TChanHead* head, CBlockIo* io,
                           const std::vector<TIndexNode>* writePath)
    : chan_(chan), head_(head), io_(io), writePath_(writePath) {
  EnsureBlock();
}

uint32_t CIndexCursor::LevelsFor(uint64_t n) {
  uint32_t levels = 0;
  for (uint64_t reach = 1; reach < n; ++levels) {
    if (reach > UINT64_MAX / kIndexEntries) return levels + 1;
    reach *= kIndexEntries;
  }
  return n == 0 ? 0 : std::max<uint32_t>(levels, 1);
}

const TIndexNode* CIndexCursor::Node(uint32_t level) const {
  if (level < 1 || level > path_.size()) return nullptr;
  return &path_[level - 1];
}

// The block object follows the header: a channel whose kind or shape changed
// (a deleted slot reused, a channel restored) gets a block of its new class.
bool CIndexCursor::EnsureBlock() {
  if (block_ && blockKind_ == head_->kind && blockItemSize_ == head_->itemSize &&
      blockDivide_ == head_->divide) {
    return true;
  }
  block_ = NewDataBlock(chan_, *head_);
  blockKind_ = head_->kind;
  blockItemSize_ = head_->itemSize;
  blockDivide_ = head_->divide;
  curBlock_ = -1;
  return block_ != nullptr;
}

void CIndexCursor::Forget() {
  curBlock_ = -1;
  for (TIndexNode& node : path_) node.filePos = 0;
  std::fill(checked_.begin(), checked_.end(), 0);
  if (block_) block_->Reset();
}

void CIndexCursor::RefreshNode(const TIndexNode& written) {
  for (size_t k = 0; k < path_.size(); ++k) {
    if (written.filePos != 0 && path_[k].filePos == written.filePos) {
      path_[k].block = written.block;
      path_[k].dirty = 0;
      checked_[k] = 0;
    }
  }
}

void CIndexCursor::RefreshBlock(const CDataBlock& written) {
  if (block_ && written.FilePos() != 0 && block_->FilePos() == written.FilePos()) {
    std::memcpy(block_->Bytes(), written.Bytes(), kDataBlockSize);
    block_->ForgetLastRun();
    block_->SetDirty(false);
  }
}

// Checks the header values that drive the walk and works out the tree's
// shape: every data block of the channel is a 64 KiB unit of the file other
// than block 0, which bounds the block count, and so the level count.
int CIndexCursor::Prepare(TShape* shape) {
  if (!EnsureBlock()) return KEL_CORRUPT("!EnsureBlock()");
  const uint64_t used = head_->blocksUsed;
  const uint64_t alloc = head_->blocksAlloc;
  const uint64_t n = std::max(used, alloc);
  shape->fileSize = io_->FileSize();
  if (shape->fileSize < 0 || n >= static_cast<uint64_t>(shape->fileSize) / kDataBlockSize) {
    return KEL_CORRUPT(
        "shape->fileSize < 0 || n >= static_cast<uint64_t>(shape->fileSize) / kDataBlockSize");
  }
  shape->levels = LevelsFor(n);
  if (shape->levels == 0 || shape->levels > kMaxLevels)
    return KEL_CORRUPT("shape->levels == 0 || shape->levels > kMaxLevels");
  if (!IndexBlockPosOk(head_->rootIndex, shape->fileSize))
    return KEL_CORRUPT("!IndexBlockPosOk(head_->rootIndex, shape->fileSize)");

  if (path_.size() != shape->levels) {
    // The tree grows at the top, so the lower levels held keep their meaning.
    path_.resize(shape->levels);
    checked_.resize(shape->levels, 0);
  }

  shape->limited = alloc > used;
  const uint64_t last = used - 1;  // used >= 1: callers return before a walk otherwise
  shape->pow[0] = 1;
  for (uint32_t k = 1; k <= shape->levels; ++k) {
    shape->pow[k] = shape->pow[k - 1] * kIndexEntries;
    shape->lastNode[k] = last / shape->pow[k];
    shape->limit[k] = static_cast<uint32_t>((last / shape->pow[k - 1]) % kIndexEntries) + 1;
  }
  return kOk;
}

int CIndexCursor::LoadNode(const TShape& shape, uint32_t level, uint64_t pos, uint32_t entryNo,
                           uint64_t nodeIndex, uint32_t* n) {
  TIndexNode& node = path_[level - 1];
  const TIndexNode* writer = nullptr;
  if (writePath_ != nullptr && writePath_->size() >= level &&
      (*writePath_)[level - 1].filePos == pos && pos != 0) {
    writer = &(*writePath_)[level - 1];
  }
  if (writer != nullptr) {
    // The write path's copy may list blocks not yet on disk.
    node.block = writer->block;
    node.filePos = pos;
    node.dirty = 0;
    checked_[level - 1] = 0;
  } else if (curBlock_ < 0 || node.filePos != pos) {
    node.filePos = 0;
    checked_[level - 1] = 0;
    if (!IndexBlockPosOk(pos, shape.fileSize))
      return KEL_CORRUPT("!IndexBlockPosOk(pos, shape.fileSize)");
    const int rc = io_->ReadRaw(node.block.Bytes(), kIndexBlockSize, static_cast<int64_t>(pos));
    if (rc < 0) return rc;
    node.filePos = pos;
    node.dirty = 0;
  }
  node.block.SetEntryNo(entryNo);

  // On the rightmost valid path of a channel reusing its blocks only the
  // entries of the current data count; the rest list stale blocks.
  uint32_t usable = node.block.Items();
  if (shape.limited && nodeIndex == shape.lastNode[level]) usable = shape.limit[level];
  if (usable == 0 || usable > checked_[level - 1]) {
    const int rc = node.block.Check(chan_, level, usable, shape.fileSize);
    if (rc < 0) {
      node.filePos = 0;
      return rc;
    }
    checked_[level - 1] = usable;
  }
  *n = usable;
  // A walk over run heads reads a few KiB of every block the node lists:
  // asking for all of them at once lets the system fetch them together
  // rather than one seek at a time.
  if (runHeadsOnly_ && level == 1 && prefetchedNode_ != pos) {
    prefetchedNode_ = pos;
    for (uint32_t e = 0; e < usable; ++e) io_->Prefetch(node.block.EntryPos(e), kRunHeadsReadBytes);
  }
  return kOk;
}

int CIndexCursor::LoadBlock(uint64_t pos) {
  if (!block_) return KEL_CORRUPT("!block_");
  // The block class follows the kind (EnsureBlock): kinds 1 and 9 are
  // waveform blocks.
  if (runHeadsOnly_ && (blockKind_ == Adc || blockKind_ == RealWave)) {
    return LoadRunHeads(*io_, static_cast<CWaveBlock&>(*block_), pos, head_->reuseCount, length_);
  }
  return LoadDataBlock(*io_, *block_, pos, head_->reuseCount);
}

// The data block listed by entry e of the level-1 node (of n usable
// entries) must lie in its slot: its first item at or after the entry's time
// (a block's entry is written with that time) and its last item before the
// next entry's (or at it, when items sharing a time run into the next
// block). A block outside its slot, or one holding nothing, would make
// searches by time miss or repeat items.
int CIndexCursor::LoadListedBlock(uint32_t e, uint32_t n) {
  const TIndexBlock& node = path_[0].block;
  const int rc = LoadBlock(node.EntryPos(e));
  if (rc < 0) return rc;
  if (block_->Items() == 0 || block_->FirstTime() < node.EntryTime(e) ||
      (e + 1 < n && block_->EndTime() > node.EntryTime(e + 1))) {
    return KEL_CORRUPT("block_->Items() == 0 || block_->FirstTime() < node.EntryTime(e) || ...");
  }
  return kOk;
}

int CIndexCursor::ReadBlock(uint64_t pos) {
  if (!block_ || block_->FilePos() != pos) curBlock_ = -1;
  const int rc = LoadBlock(pos);
  return rc < 0 ? Fail(rc) : rc;
}

int CIndexCursor::FindBlock(TSTime64 t) {
  if (head_->blocksUsed == 0) return 1;
  TShape shape;
  int rc = Prepare(&shape);
  if (rc < 0) return Fail(rc);

  uint64_t pos = head_->rootIndex;
  uint64_t number = 0;
  uint32_t entry = 0;  // the entry chosen one level up; 0 at the top
  uint32_t n = 0;      // entries of the node just loaded the walk may use
  for (uint32_t level = shape.levels; level >= 1; --level) {
    rc = LoadNode(shape, level, pos, entry, number, &n);
    if (rc < 0) return Fail(rc);
    const TIndexBlock& block = path_[level - 1].block;
    entry = block.FindEntry(t, n);
    pos = block.EntryPos(entry);
    number = number * kIndexEntries + entry;
  }
  rc = LoadListedBlock(entry, n);
  if (rc < 0) return Fail(rc);
  curBlock_ = static_cast<int64_t>(number);
  if (block_->EndTime() >= t) return 0;
  return NextBlock();
}

int CIndexCursor::FindBlockFrom(TSTime64 t) {
  if (t == INT64_MIN) return FindBlock(t);
  const int rc = FindBlock(t - 1);
  if (rc != 0 || block_->EndTime() >= t) return rc;
  return NextBlock();
}

// Walks from the top to data block `number` along the base-255 digits of the
// number, reusing the nodes already held on the way.
int CIndexCursor::GoTo(uint64_t number) {
  TShape shape;
  int rc = Prepare(&shape);
  if (rc < 0) return Fail(rc);
  if (number / shape.pow[shape.levels] != 0)
    return Fail(KEL_CORRUPT("block number beyond the index levels"));

  uint64_t pos = head_->rootIndex;
  uint32_t n = 0;
  for (uint32_t level = shape.levels; level >= 1; --level) {
    const uint64_t nodeIndex = number / shape.pow[level];
    const uint32_t entryNo =
        level == shape.levels ? 0 : static_cast<uint32_t>(nodeIndex % kIndexEntries);
    const uint32_t digit = static_cast<uint32_t>((number / shape.pow[level - 1]) % kIndexEntries);
    rc = LoadNode(shape, level, pos, entryNo, nodeIndex, &n);
    if (rc < 0) return Fail(rc);
    // The header counts a block that the index does not list.
    if (digit >= n) return Fail(KEL_CORRUPT("index entry beyond the block's items"));
    pos = path_[level - 1].block.EntryPos(digit);
  }
  rc = LoadListedBlock(static_cast<uint32_t>(number % kIndexEntries), n);
  if (rc < 0) return Fail(rc);
  curBlock_ = static_cast<int64_t>(number);
  return kOk;
}

// A channel's times never decrease from each block to the next (items that
// share a time may end one block and begin the next); neighbours that overlap
// would make a walk deliver out of order or see items twice.
int CIndexCursor::NextBlock() {
  if (curBlock_ < 0 || static_cast<uint64_t>(curBlock_) + 1 >= head_->blocksUsed) return 1;
  const TSTime64 end = block_->EndTime();
  const int rc = GoTo(static_cast<uint64_t>(curBlock_) + 1);
  if (rc < 0) return rc;
  return block_->FirstTime() >= end
             ? kOk
             : Fail(KEL_CORRUPT("next block starts before the previous ends"));
}

int CIndexCursor::PrevBlock() {
  if (curBlock_ <= 0) return 1;
  const TSTime64 first = block_->FirstTime();
  const int rc = GoTo(static_cast<uint64_t>(curBlock_) - 1);
  if (rc < 0) return rc;
  return block_->EndTime() <= first
             ? kOk
             : Fail(KEL_CORRUPT("previous block ends after the next starts"));
}

}  // namespace vslk64
