// CIndexWriter: the writing side of a channel's block index in a 64-bit
// format file: placing full data blocks in the file, listing them in the
// index tree, growing the tree a level at a time, and handing the blocks of
// an emptied channel out again in their index order.
//
// A channel object builds one whenever it writes (it holds only pointers),
// under its own mutex, over its header record, its write path and its read
// cursor. The write path is the channel's rightmost path through the tree,
// one node per level, lowest level first; its nodes may list blocks that are
// not yet on disk, which the cursor (index_cursor.h) takes from it. Every
// index block or data block written here is copied into the cursor when it
// holds the same one, so readers stay exact while a channel grows.
//
// Tree growth: a full level-k node (255 entries) is written out and becomes
// its own right sibling, listed in the level above; when there is no level
// above, a new top block is made whose entry 0 is the old top, and the
// header's rootIndex moves to it.
//
// Reuse: an emptied channel keeps its blocks and index (blocksAlloc counts
// the old blocks, blocksUsed restarts at 0, reuseCount moves on). New blocks
// then take the old positions in index order; the write path walks the old
// tree entry by entry and overwrites the entry times, and each block written
// is stamped with the new reuseCount so that old contents cannot pass for
// current data. When the last old block is taken blocksAlloc returns to 0.
//
// Everything read from the file while loading the write path is checked
// before it is used (owner, entry count, entry order of the current data,
// every child position on its grid inside the allocated file); a failed
// check gives kErrCorrupt (-19).
#pragma once

#include <cstdint>
#include <vector>

#include "filelib/kel64_types.h"
#include "filelib/orfx/block_io.h"
#include "filelib/orfx/chan_head.h"
#include "filelib/orfx/data_block.h"
#include "filelib/orfx/index_block.h"
#include "filelib/orfx/index_cursor.h"

namespace vslk64 {

// What CIndexWriter::CheckEntryNumbers found.
enum : int {
  kEntryNumbersSet = 0,      // they were missing and are now written
  kEntryNumbersNoTree = 1,   // fewer than two index levels: nothing to number
  kEntryNumbersPresent = 2,  // already stored: the file was written with them
};

class CIndexWriter {
 public:
  // chan: the channel number; head: its header record; io: the file's block
  // transfers and allocator; path: the channel's write path; cursor: its
  // read cursor, or null; headChanged: the channel's flag that its header
  // record differs from the file, set whenever the header is changed here.
  CIndexWriter(uint16_t chan, TChanHead* head, CBlockIo* io, std::vector<TIndexNode>* path,
               CIndexCursor* cursor, bool* headChanged);

  // Gives a block of the channel its place in the file and writes it. A
  // block that already has a position is rewritten there; a new one takes
  // the next old block while the channel reuses its blocks, otherwise a
  // newly allocated one, and is listed in the index. The block is stamped
  // (parentRef, chanReuse), written, and the header's lastTime becomes its
  // EndTime; the caller extends the file's maximum time to lastTime. 0 (also
  // for an empty block, which is not written) or a negative status: -2 no
  // block could be allocated, -19 the block's first time is not after the
  // last one listed, or the write path's tree is damaged, or a transfer's
  // error. On failure the block stays dirty; once it has been given a place
  // (only the transfer failed) it keeps it, so writing it again rewrites it
  // there rather than listing it twice.
  int WriteBlock(CDataBlock& block);

  // Lists a child (a data block at level 1, an index block above) with the
  // time of its first item at `level` of the write path, growing the tree
  // when the path has no node there yet. Returns the entry number taken, or
  // a negative status.
  int AddToIndex(uint64_t pos, TSTime64 time, uint32_t level);

  // Writes the write path's node at `level` (1 = lowest) when it is dirty.
  int WriteIndexLevel(uint32_t level);
  // Writes every dirty level of the write path; the first error is
  // returned, but every level is tried.
  int WriteAllLevels();

  // Builds the write path from the file down to data block blocksUsed - 1,
  // or to block blocksUsed (the next old block to reuse) with
  // includeCurrent. An empty tree leaves the path empty.
  int LoadWritePath(bool includeCurrent);
  // Moves the current entry at `level` on by one; past entry 254 the node is
  // written, the level above moves on and the node is reloaded from it.
  int AdvanceWritePath(uint32_t level);
  // Stores the first time of a reused block in the current entries of the
  // path, from level 1 up to the first level not at its entry 0. Returns the
  // position of the old block listed by level 1's current entry, or
  // kErrCorrupt when the time does not follow the entry before it or the
  // position is not a data block of the file.
  int64_t SetEntryTime(TSTime64 time);

  // Older files may lack each index block's entry number in the low byte of
  // its parentRef; for a file opened for writing this sets them. Returns
  // kEntryNumbersNoTree for a tree of fewer than two levels,
  // kEntryNumbersPresent when the numbers are already there (the file's
  // other channels need no check then), kEntryNumbersSet after renumbering,
  // or a negative status. Index blocks that do not belong to
  // the tree (wrong owner or parent) are left alone. The cursor is
  // invalidated.
  int CheckEntryNumbers();

 private:
  // The number of index levels of the tree the header describes, checked
  // against the file; kErrCorrupt when the header cannot be right.
  int TreeLevels(uint32_t* levels);
  // Reads the index block at pos into node as the node at `level`, entry
  // entryNo of its parent, and checks it: the owner, entry count, entries
  // [0, ordered) in time order and every listed child on its grid.
  int ReadNode(TIndexNode* node, uint64_t pos, uint32_t level, uint32_t entryNo,
               uint32_t ordered, int64_t fileSize);
  int Renumber(std::vector<TIndexNode>& nodes, uint32_t level, uint32_t entry, int64_t fileSize);
  void MarkHeadChanged() {
    if (headChanged_ != nullptr) *headChanged_ = true;
  }

  uint16_t chan_;
  TChanHead* head_;
  CBlockIo* io_;
  std::vector<TIndexNode>* path_;
  CIndexCursor* cursor_;
  bool* headChanged_;
};

}  // namespace vslk64
