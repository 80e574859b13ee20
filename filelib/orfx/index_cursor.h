// CIndexCursor: a channel's read position in its tree of index blocks, and
// the data block it is on.
//
// Each channel object of a 64-bit format file owns one cursor and uses it,
// under the channel's mutex, for every disk read: FindBlock for the block
// holding a time, NextBlock and PrevBlock to step through the blocks in time
// order. The cursor holds one index node per level along the path to its
// current block and one data block object of the channel's block class
// (data_block.h); it re-reads neither while it stays on them.
//
// The channel header (TChanHead, not owned) anchors the tree: rootIndex,
// blocksUsed and blocksAlloc. While an emptied channel reuses its old blocks
// (blocksAlloc > blocksUsed) the tree still lists the old blocks after the
// current ones; the cursor then limits every level of the rightmost valid
// path to the entries of the current data, so that stale blocks are never
// reached. The channel's write path (the nodes along the rightmost path,
// lowest level first) may hold entries not yet on disk; the cursor takes a
// node from it whenever the write path holds the block it needs.
//
// Everything read from the file is checked before it is used: the header
// values that shape the walk, each index block (owner, entry count, entry
// order, child positions on their grid inside the allocated file) and each
// data block (data_block.h), which must also lie between its index entry's
// time and the next entry's. A failed check gives kErrCorrupt (-19) and
// leaves the cursor invalid (CurBlock() -1); the walk always descends
// exactly the tree's level count, so no input can make it loop.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "filelib/kel64_types.h"
#include "filelib/orfx/block_io.h"
#include "filelib/orfx/chan_head.h"
#include "filelib/orfx/data_block.h"
#include "filelib/orfx/index_block.h"

namespace vslk64 {

class CIndexCursor {
 public:
  // The deepest tree a walk accepts: 255^8 blocks of 64 KiB are far more
  // than a file position can address.
  static constexpr uint32_t kMaxLevels = 8;

  // chan: the channel number; head: its header record; io: the file's block
  // transfers; writePath: the channel's write path, or null.
  CIndexCursor(uint16_t chan, const TChanHead* head, CBlockIo* io,
               const std::vector<TIndexNode>* writePath = nullptr);
  CIndexCursor(const CIndexCursor&) = delete;
  CIndexCursor& operator=(const CIndexCursor&) = delete;

  void SetWritePath(const std::vector<TIndexNode>* writePath) { writePath_ = writePath; }

  // Makes the current block the one holding time t, or the first block after
  // t. 0: found; 1: no block (blocksUsed 0, the cursor untouched), or t lies
  // after the last item (the cursor stays on the last block); negative: an
  // error, the cursor is invalid.
  int FindBlock(TSTime64 t);
  // As FindBlock, but the block holding the first item at or after t: items
  // sharing one time may run over a block boundary, and FindBlock would find
  // the later block of the two.
  int FindBlockFrom(TSTime64 t);
  // Step to the following or previous data block: 0, 1 when there is none
  // (or the cursor is invalid), negative on error (the cursor is invalid),
  // kErrCorrupt also when the two blocks' times overlap (a later block may
  // begin at the time its predecessor ends: items may share a time).
  // The step descends by the digits of the block number through the nodes
  // already held, so only the nodes that change are read.
  int NextBlock();
  int PrevBlock();
  // Makes data block `number` (counted from the channel's first) current:
  // 0, or negative on error (the cursor is invalid).
  int GoTo(uint64_t number);

  // Loads the data block at pos into the cursor's block object; the cursor
  // stays valid only when pos is the block it is on.
  int ReadBlock(uint64_t pos);

  // From now on waveform blocks are loaded with LoadRunHeads (length: the
  // file's system length), for a cursor of a walk that wants runs, not
  // samples: its block must then never be read for samples.
  void LoadRunHeadsOnly(int64_t length) {
    runHeadsOnly_ = true;
    length_ = length;
  }

  // The block object, of the class for the channel's kind; null when the
  // header names no usable kind (every walk then gives kErrCorrupt).
  CDataBlock* Block() { return block_.get(); }
  const CDataBlock* Block() const { return block_.get(); }
  // Number of the current data block in time order; -1 when invalid.
  int64_t CurBlock() const { return curBlock_; }

  // The next walk starts again from the top (held blocks are checked for
  // their position before they are read again).
  void Invalidate() { curBlock_ = -1; }
  // Also drops the held index nodes and data block, after the channel's
  // data were emptied; a dirty block is discarded.
  void Forget();

  // After the write path has written an index block or data block: a copy
  // the cursor holds at the same position takes the written image.
  void RefreshNode(const TIndexNode& written);
  void RefreshBlock(const CDataBlock& written);

  // Levels of the path held (the tree's level count at the last walk), and
  // the node held at a level, 1 to Levels(); null outside.
  uint32_t Levels() const { return static_cast<uint32_t>(path_.size()); }
  const TIndexNode* Node(uint32_t level) const;

  // Index levels for a tree of n data blocks: 0 for none, 1 up to 255,
  // otherwise the smallest L with 255^L >= n.
  static uint32_t LevelsFor(uint64_t n);

 private:
  // The tree as the header describes it, worked out at the start of a walk.
  struct TShape {
    uint32_t levels = 0;
    bool limited = false;  // old blocks follow the current ones
    int64_t fileSize = 0;
    uint64_t pow[kMaxLevels + 1] = {};        // 255^k
    uint64_t lastNode[kMaxLevels + 1] = {};   // index of the rightmost valid node per level
    uint32_t limit[kMaxLevels + 1] = {};      // its valid entries, when limited
  };

  int Prepare(TShape* shape);
  // Brings the index block at pos into the path at `level` as the node with
  // index nodeIndex among its level, entry entryNo of its parent; *n is the
  // number of its entries the walk may use.
  int LoadNode(const TShape& shape, uint32_t level, uint64_t pos, uint32_t entryNo,
               uint64_t nodeIndex, uint32_t* n);
  int LoadBlock(uint64_t pos);
  // Loads the data block of entry e (of n usable) of the level-1 node held
  // and checks that it lies in the slot the entries give it.
  int LoadListedBlock(uint32_t e, uint32_t n);
  bool EnsureBlock();
  int Fail(int rc) {
    curBlock_ = -1;
    return rc;
  }

  uint16_t chan_;
  const TChanHead* head_;
  CBlockIo* io_;
  const std::vector<TIndexNode>* writePath_;

  std::vector<TIndexNode> path_;   // element 0 = level 1
  std::vector<uint32_t> checked_;  // entries of each node already checked
  std::unique_ptr<CDataBlock> block_;
  // The header values block_ was made for.
  uint8_t blockKind_ = 0;
  uint32_t blockItemSize_ = 0;
  int64_t blockDivide_ = 0;
  int64_t curBlock_ = -1;
  bool runHeadsOnly_ = false;
  int64_t length_ = -1;
  uint64_t prefetchedNode_ = 0;  // the level-1 node whose blocks were announced
};

}  // namespace vslk64
