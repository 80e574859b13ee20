#include "filelib/orfx/index_writer.h"

#include "filelib/corruption.h"

#include <algorithm>
#include <utility>

#include "filelib/orfx/disk_block_head.h"
#include "filelib/status.h"

namespace vslk64 {

CIndexWriter::CIndexWriter(uint16_t chan, TChanHead* head, CBlockIo* io,
                           std::vector<TIndexNode>* path, CIndexCursor* cursor, bool* headChanged)
    : chan_(chan), head_(head), io_(io), path_(path), cursor_(cursor), headChanged_(headChanged) {}

// The header's block counts bound the tree's depth; no count can exceed the
// 64 KiB units of the file (unit 0 is the header space).
int CIndexWriter::TreeLevels(uint32_t* levels) {
  const uint64_t n = std::max(head_->blocksUsed, head_->blocksAlloc);
  const int64_t fileSize = io_->FileSize();
  if (fileSize < 0 || n >= static_cast<uint64_t>(fileSize) / kDataBlockSize)
    return KEL_CORRUPT("fileSize < 0 || n >= static_cast<uint64_t>(fileSize) / kDataBlockSize");
  *levels = CIndexCursor::LevelsFor(n);
  if (*levels > CIndexCursor::kMaxLevels) return KEL_CORRUPT("*levels > CIndexCursor::kMaxLevels");
  if (*levels > 0 && !IndexBlockPosOk(head_->rootIndex, fileSize))
    return KEL_CORRUPT("*levels > 0 && !IndexBlockPosOk(head_->rootIndex, fileSize)");
  return kOk;
}

int CIndexWriter::ReadNode(TIndexNode* node, uint64_t pos, uint32_t level, uint32_t entryNo,
                           uint32_t ordered, int64_t fileSize) {
  if (!IndexBlockPosOk(pos, fileSize)) return KEL_CORRUPT("!IndexBlockPosOk(pos, fileSize)");
  TIndexNode fresh;
  const int rc = io_->ReadRaw(fresh.block.Bytes(), kIndexBlockSize, static_cast<int64_t>(pos));
  if (rc < 0) return rc;
  const TIndexBlock& block = fresh.block;
  const uint32_t items = block.Items();
  if (block.Chan() != chan_ || items == 0 || items > kIndexEntries || ordered > items) {
    return KEL_CORRUPT(
        "block.Chan() != chan_ || items == 0 || items > kIndexEntries || ordered > items");
  }
  const uint32_t unit = level == 1 ? kDataBlockSize : kIndexBlockSize;
  for (uint32_t e = 0; e < items; ++e) {
    if (!UnitPosOk(block.EntryPos(e), unit, fileSize))
      return KEL_CORRUPT("!UnitPosOk(block.EntryPos(e), unit, fileSize)");
    if (e > 0 && e < ordered && block.EntryTime(e) <= block.EntryTime(e - 1))
      return KEL_CORRUPT("e > 0 && e < ordered && block.EntryTime(e) <= block.EntryTime(e - 1)");
  }
  fresh.block.SetEntryNo(entryNo);
  fresh.filePos = pos;
  *node = fresh;
  return kOk;
}

int CIndexWriter::WriteIndexLevel(uint32_t level) {
  if (level < 1 || level > path_->size()) return kErrBadArg;
  TIndexNode& node = (*path_)[level - 1];
  if (!node.dirty) return kOk;
  if (node.filePos == 0) return KEL_CORRUPT("node.filePos == 0");
  const int rc =
      io_->WriteRaw(node.block.Bytes(), kIndexBlockSize, static_cast<int64_t>(node.filePos));
  if (rc < 0) return rc;
  node.dirty = 0;
  if (cursor_ != nullptr) cursor_->RefreshNode(node);
  return kOk;
}

int CIndexWriter::WriteAllLevels() {
  int first = kOk;
  for (uint32_t level = 1; level <= path_->size(); ++level) {
    const int rc = WriteIndexLevel(level);
    if (rc < 0 && first == kOk) first = rc;
  }
  return first;
}

int CIndexWriter::AddToIndex(uint64_t pos, TSTime64 time, uint32_t level) {
  std::vector<TIndexNode>& path = *path_;
  // The tree only grows at the top, one level at a time.
  if (level < 1 || level > CIndexCursor::kMaxLevels || path.size() + 1 < level) return kErrBadArg;
  if (path.size() < level) {
    const int64_t q = io_->AllocIndexBlock();
    if (q <= 0) return kErrNoBlock;
    TIndexNode top;
    top.block.SetParentRef(MakeParentRef(0, level, 0));
    top.block.SetChan(chan_);
    top.filePos = static_cast<uint64_t>(q);
    top.dirty = 1;
    if (level >= 2) {
      // The old top becomes the first child of the new one.
      TIndexNode& old = path[level - 2];
      top.block.SetEntry(0, old.block.EntryTime(0), old.filePos);
      top.block.SetItems(1);
      old.block.SetParentRef(MakeParentRef(top.filePos, level - 1, 0));
      old.dirty = 1;
    }
    path.push_back(top);
    head_->rootIndex = top.filePos;
    MarkHeadChanged();
  }

  TIndexNode& node = path[level - 1];
  const uint32_t items = node.block.Items();
  if (items > kIndexEntries) return KEL_CORRUPT("items > kIndexEntries");
  // Checked before a full node is split, so that a refused entry changes
  // nothing in the tree.
  if (items > 0 && time <= node.block.EntryTime(items - 1))
    return KEL_CORRUPT("items > 0 && time <= node.block.EntryTime(items - 1)");
  if (items < kIndexEntries) {
    node.block.SetEntry(items, time, pos);
    node.block.SetItems(items + 1);
    node.curEntry = static_cast<uint16_t>(items);
    node.dirty = 1;
    return static_cast<int>(items);
  }

  // Full: the node is written out, and its image starts over as its own
  // right sibling, listed in the level above.
  const int64_t q = io_->AllocIndexBlock();
  if (q <= 0) return kErrNoBlock;
  const int r = AddToIndex(static_cast<uint64_t>(q), time, level + 1);
  if (r < 0) return r;
  const int rc = WriteIndexLevel(level);
  if (rc < 0) return rc;
  TIndexNode& sibling = path[level - 1];  // the path may have grown above
  sibling.block = TIndexBlock();
  sibling.block.SetChan(chan_);
  sibling.block.SetParentRef(MakeParentRef(path[level].filePos, level, static_cast<uint32_t>(r)));
  sibling.block.SetEntry(0, time, pos);
  sibling.block.SetItems(1);
  sibling.filePos = static_cast<uint64_t>(q);
  sibling.curEntry = 0;
  sibling.dirty = 1;
  return 0;
}

int CIndexWriter::LoadWritePath(bool includeCurrent) {
  if (!path_->empty()) {
    // Nothing held in memory may be lost by reloading.
    const int rc = WriteAllLevels();
    if (rc < 0) return rc;
  }
  uint32_t levels = 0;
  int rc = TreeLevels(&levels);
  if (rc < 0) return rc;
  const uint64_t used = head_->blocksUsed;
  if (levels == 0 || (!includeCurrent && used == 0)) {
    path_->clear();
    return kOk;
  }
  const bool reuse = head_->blocksAlloc > used;
  // The block the path leads to must be one the tree lists.
  uint64_t d = includeCurrent ? used : used - 1;
  if (d >= std::max(used, head_->blocksAlloc)) return kErrBadArg;

  uint16_t cur[CIndexCursor::kMaxLevels + 1] = {};
  for (uint32_t level = 1; level <= levels; ++level) {
    cur[level] = static_cast<uint16_t>(d % kIndexEntries);
    d /= kIndexEntries;
  }
  const int64_t fileSize = io_->FileSize();
  std::vector<TIndexNode> path(levels);
  uint64_t pos = head_->rootIndex;
  uint32_t entryNo = 0;
  for (uint32_t level = levels; level >= 1; --level) {
    // Entries before the current one list the current data and must be in
    // order; with includeCurrent the current entry still lists an old block.
    const uint32_t ordered = cur[level] + (includeCurrent ? 0u : 1u);
    TIndexNode& node = path[level - 1];
    rc = ReadNode(&node, pos, level, entryNo, ordered, fileSize);
    if (rc < 0) return rc;
    const uint32_t items = node.block.Items();
    // A channel that is not reusing blocks is appended to at its last
    // entry; entries after it would list blocks the header does not count.
    if (cur[level] >= items || (!reuse && !includeCurrent && items != cur[level] + 1u)) {
      return KEL_CORRUPT(
          "cur[level] >= items || (!reuse && !includeCurrent && items != cur[level] + 1u)");
    }
    node.curEntry = cur[level];
    pos = node.block.EntryPos(cur[level]);
    entryNo = cur[level];
  }
  path_->swap(path);
  return kOk;
}

int CIndexWriter::AdvanceWritePath(uint32_t level) {
  std::vector<TIndexNode>& path = *path_;
  if (level < 1 || level > path.size()) return kErrBadArg;
  TIndexNode& node = path[level - 1];
  if (node.curEntry + 1u < kIndexEntries) {
    // The old tree must still list a block there.
    if (node.curEntry + 1u >= node.block.Items())
      return KEL_CORRUPT("node.curEntry + 1u >= node.block.Items()");
    ++node.curEntry;
    return kOk;
  }
  if (level == path.size())
    return KEL_CORRUPT("level == path.size()");  // the top block has no sibling
  int rc = WriteIndexLevel(level);
  if (rc < 0) return rc;
  rc = AdvanceWritePath(level + 1);
  if (rc < 0) return rc;
  const TIndexNode& parent = path[level];
  TIndexNode next;
  rc = ReadNode(&next, parent.block.EntryPos(parent.curEntry), level, parent.curEntry, 0,
                io_->FileSize());
  if (rc < 0) return rc;
  next.curEntry = 0;
  path[level - 1] = next;
  return kOk;
}

int64_t CIndexWriter::SetEntryTime(TSTime64 time) {
  std::vector<TIndexNode>& path = *path_;
  if (path.empty()) return KEL_CORRUPT("path.empty()");
  // A block that starts a node also starts every node above it that it is
  // the first of; the first level where it is not entry 0 is the last to
  // change, and there its time must follow the entry before it.
  size_t stop = 0;
  while (stop + 1 < path.size() && path[stop].curEntry == 0) ++stop;
  const TIndexNode& last = path[stop];
  if (last.curEntry > 0 && time <= last.block.EntryTime(last.curEntry - 1u))
    return KEL_CORRUPT("last.curEntry > 0 && time <= last.block.EntryTime(last.curEntry - 1u)");
  const uint64_t pos = path[0].block.EntryPos(path[0].curEntry);
  if (!DataBlockPosOk(pos, io_->FileSize()))
    return KEL_CORRUPT("!DataBlockPosOk(pos, io_->FileSize())");
  for (size_t k = 0; k <= stop; ++k) {
    TIndexNode& node = path[k];
    if (node.block.EntryTime(node.curEntry) != time) {
      node.block.SetEntryTime(node.curEntry, time);
      node.dirty = 1;
      if (cursor_ != nullptr) cursor_->RefreshNode(node);
    }
  }
  return static_cast<int64_t>(pos);
}

int CIndexWriter::WriteBlock(CDataBlock& block) {
  if (block.Items() == 0) return kOk;
  const TSTime64 first = block.FirstTime();
  uint64_t pos = block.FilePos();
  int rc = kOk;
  if (pos != 0) {
    // Rewritten in place: it keeps the parent and entry it was listed with.
  } else if (head_->blocksAlloc > head_->blocksUsed) {
    // The next old block of an emptied channel. The path must stand on the
    // last block written; after a failed step it is rebuilt from the file.
    const uint64_t used = head_->blocksUsed;
    bool onLast = used != 0 && path_->size() == CIndexCursor::LevelsFor(head_->blocksAlloc);
    uint64_t d = used - 1;
    for (size_t k = 0; onLast && k < path_->size(); ++k) {
      onLast = (*path_)[k].curEntry == d % kIndexEntries;
      d /= kIndexEntries;
    }
    rc = onLast ? AdvanceWritePath(1) : LoadWritePath(true);
    if (rc < 0) return rc;
    const int64_t at = SetEntryTime(first);
    if (at < 0) return static_cast<int>(at);
    pos = static_cast<uint64_t>(at);
    const TIndexNode& node = (*path_)[0];
    block.SetParentRef(MakeParentRef(node.filePos, 0, node.curEntry));
    if (++head_->blocksUsed >= head_->blocksAlloc) head_->blocksAlloc = 0;
    MarkHeadChanged();
  } else {
    // A channel with blocks on disk is appended to below its last block:
    // without the path loaded, listing the block would start a new tree and
    // lose the old one.
    if (path_->empty() && head_->blocksUsed != 0) {
      rc = LoadWritePath(false);
      if (rc < 0) return rc;
    }
    // A block that cannot be listed takes no space in the file.
    if (!path_->empty()) {
      const TIndexBlock& last = (*path_)[0].block;
      const uint32_t items = last.Items();
      if (items > 0 && items <= kIndexEntries && first <= last.EntryTime(items - 1)) {
        return KEL_CORRUPT(
            "items > 0 && items <= kIndexEntries && first <= last.EntryTime(items - 1)");
      }
    }
    const int64_t at = io_->AllocBlock();
    if (at <= 0) return kErrNoBlock;
    const int entry = AddToIndex(static_cast<uint64_t>(at), first, 1);
    if (entry < 0) return entry;
    pos = static_cast<uint64_t>(at);
    block.SetParentRef(MakeParentRef((*path_)[0].filePos, 0, static_cast<uint32_t>(entry)));
    ++head_->blocksUsed;
    MarkHeadChanged();
  }

  // Placed before the transfer: a block whose write fails stays dirty in its
  // place and is rewritten there, never listed twice.
  block.SetChan(chan_);
  block.SetChanReuse(head_->reuseCount);
  block.SetFilePos(pos);
  rc = io_->WriteRaw(block.Bytes(), kDataBlockSize, static_cast<int64_t>(pos));
  if (rc < 0) return rc;
  block.SetDirty(false);
  head_->lastTime = std::max(head_->lastTime, block.EndTime());
  MarkHeadChanged();
  if (cursor_ != nullptr) cursor_->RefreshBlock(block);
  return kOk;
}

int CIndexWriter::Renumber(std::vector<TIndexNode>& nodes, uint32_t level, uint32_t entry,
                           int64_t fileSize) {
  int first = kOk;
  {
    TIndexNode& node = nodes[level - 1];
    if (node.block.EntryNo() != entry) {
      node.block.SetEntryNo(entry);
      first = io_->WriteRaw(node.block.Bytes(), kIndexBlockSize,
                            static_cast<int64_t>(node.filePos));
    }
  }
  if (level == 1) return first;

  const TIndexNode& node = nodes[level - 1];
  // A reused channel's nodes may list old blocks past their counted entries.
  const uint32_t count =
      head_->blocksAlloc > head_->blocksUsed ? kIndexEntries : node.block.Items();
  for (uint32_t c = 0; c < count && c < kIndexEntries; ++c) {
    const uint64_t pos = node.block.EntryPos(c);
    if (pos == 0) break;
    // Only index blocks of this channel's tree are ever written here.
    if (!IndexBlockPosOk(pos, fileSize)) continue;
    TIndexNode& child = nodes[level - 2];
    if (io_->ReadRaw(child.block.Bytes(), kIndexBlockSize, static_cast<int64_t>(pos)) < 0) {
      continue;
    }
    const uint64_t parent = ParentPos(child.block.ParentRef());
    if (child.block.Chan() != chan_ || child.block.Items() > kIndexEntries ||
        (parent != 0 && parent != node.filePos)) {
      continue;
    }
    child.filePos = pos;
    const int rc = Renumber(nodes, level - 1, c, fileSize);
    if (rc < 0 && first == kOk) first = rc;
  }
  return first;
}

int CIndexWriter::CheckEntryNumbers() {
  if (cursor_ != nullptr) cursor_->Invalidate();
  uint32_t levels = 0;
  int rc = TreeLevels(&levels);
  if (rc < 0) return rc;
  if (levels < 2) return kEntryNumbersNoTree;

  // The second level-1 block of the tree says whether its entry numbers
  // were stored: entry 1 of its parent.
  const int64_t fileSize = io_->FileSize();
  std::vector<TIndexNode> nodes(levels);
  uint64_t pos = head_->rootIndex;
  for (uint32_t level = levels; level >= 1; --level) {
    TIndexNode& node = nodes[level - 1];
    if (!IndexBlockPosOk(pos, fileSize)) return KEL_CORRUPT("!IndexBlockPosOk(pos, fileSize)");
    rc = io_->ReadRaw(node.block.Bytes(), kIndexBlockSize, static_cast<int64_t>(pos));
    if (rc < 0) return rc;
    const uint32_t items = node.block.Items();
    if (node.block.Chan() != chan_ || items == 0 || items > kIndexEntries)
      return KEL_CORRUPT("node.block.Chan() != chan_ || items == 0 || items > kIndexEntries");
    node.filePos = pos;
    if (level == 1) break;
    const uint32_t e = level == 2 ? 1 : 0;
    if (e >= items) return KEL_CORRUPT("e >= items");
    pos = node.block.EntryPos(e);
  }
  if (nodes[0].block.EntryNo() == 1) return kEntryNumbersPresent;

  // The walk above left the top node in place; renumber from it down.
  return Renumber(nodes, levels, 0, fileSize);
}

}  // namespace vslk64
