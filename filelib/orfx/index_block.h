// TIndexBlock: the 4096-byte index block of a 64-bit format file, and
// TIndexNode, an index block held in memory by a channel's read cursor or
// write path.
//
// Each channel lists its data blocks in time order in a tree of index
// blocks anchored at its header's rootIndex (index_cursor.h walks it).
//
//   offset        width field
//   0             u64   parentRef  position of the parent index block (0 for
//                                  the top one) + level * 256 + this block's
//                                  entry number in the parent (0 at the top)
//   8             u16   chan       owning channel
//   10            u16   chanReuse  0
//   12            u32   items      entries in use, 1 to 255 once written
//   16 + 16 * e   i64   time       entry e: time of the child's first item
//   24 + 16 * e   u64   position   entry e: the child (a data block at level
//                                  1, an index block of the level below above)
//
// Data blocks are level 0; an index block listing data blocks is level 1,
// one listing level-1 blocks level 2, and so on. Entry times strictly
// increase within a block. Every index block is full except those on the
// rightmost path, so data block number k is reached through the base-255
// digits of k, the highest digit choosing the entry in the top block.
#pragma once

#include "filelib/corruption.h"

#include <cstdint>

#include "filelib/kel64_types.h"
#include "filelib/le.h"
#include "filelib/orfx/block_io.h"
#include "filelib/orfx/disk_block_head.h"
#include "filelib/partition.h"
#include "filelib/status.h"

namespace vslk64 {

constexpr uint32_t kIndexEntries = 255;
constexpr uint32_t kIndexEntriesAt = kDiskBlockHeadSize;
constexpr uint32_t kIndexEntryBytes = 16;
constexpr uint32_t kIndexEntryTimeAt = 0;
constexpr uint32_t kIndexEntryPosAt = 8;

class TIndexBlock : public TBlockImage<kIndexBlockSize> {
 public:
  // This block's entry number in its parent: the low byte of parentRef.
  uint32_t EntryNo() const { return ParentEntry(ParentRef()); }
  void SetEntryNo(uint32_t e) {
    SetParentRef((ParentRef() & ~kParentEntryMask) | (e & kParentEntryMask));
  }

  // Entry e, 0 to 254.
  TSTime64 EntryTime(uint32_t e) const { return le::GetI64(EntryAt(e) + kIndexEntryTimeAt); }
  uint64_t EntryPos(uint32_t e) const { return le::GetU64(EntryAt(e) + kIndexEntryPosAt); }
  void SetEntry(uint32_t e, TSTime64 t, uint64_t pos) {
    le::PutI64(EntryAt(e) + kIndexEntryTimeAt, t);
    le::PutU64(EntryAt(e) + kIndexEntryPosAt, pos);
  }
  void SetEntryTime(uint32_t e, TSTime64 t) { le::PutI64(EntryAt(e) + kIndexEntryTimeAt, t); }

  // The entry to follow for time t among the first n entries (n at most
  // 255): the last entry whose time is at or before t, or entry 0 when t is
  // before them all. Bisection.
  uint32_t FindEntry(TSTime64 t, uint32_t n) const {
    const uint32_t atOrBefore = PartitionPoint(uint32_t{0}, n < kIndexEntries ? n : kIndexEntries,
                                               [&](uint32_t e) { return EntryTime(e) <= t; });
    return atOrBefore == 0 ? 0 : atOrBefore - 1;
  }

  // Checks an index block at `level` (1 = it lists data blocks) of channel
  // `chan` before it is used, where the walk will look at its first n
  // entries: at least n entries in use and at most 255, those n in
  // non-decreasing time order (two blocks may begin at one time when their
  // items share it), and each child on the grid of its unit and inside the
  // allocated file. kOk or kErrCorrupt.
  int Check(uint16_t chan, uint32_t level, uint32_t n, int64_t fileSize) const {
    const uint32_t items = Items();
    if (Chan() != chan || items == 0 || items > kIndexEntries || n == 0 || n > items) {
      return KEL_CORRUPT(
          "Chan() != chan || items == 0 || items > kIndexEntries || n == 0 || n > items");
    }
    const uint32_t unit = level == 1 ? kDataBlockSize : kIndexBlockSize;
    for (uint32_t e = 0; e < n; ++e) {
      if (e > 0 && EntryTime(e) < EntryTime(e - 1))
        return KEL_CORRUPT("e > 0 && EntryTime(e) < EntryTime(e - 1)");
      if (!UnitPosOk(EntryPos(e), unit, fileSize))
        return KEL_CORRUPT("!UnitPosOk(EntryPos(e), unit, fileSize)");
    }
    return kOk;
  }

 private:
  uint8_t* EntryAt(uint32_t e) {
    return bytes_ + kIndexEntriesAt + static_cast<size_t>(e % kIndexEntries) * kIndexEntryBytes;
  }
  const uint8_t* EntryAt(uint32_t e) const {
    return bytes_ + kIndexEntriesAt + static_cast<size_t>(e % kIndexEntries) * kIndexEntryBytes;
  }
};

// An index block in memory: its image, where it lives in the file (0 while
// it has no place), whether the image differs from the disk copy, and the
// entry the write path is filling. Its own entry number in its parent is
// kept in the image (TIndexBlock::EntryNo).
struct TIndexNode {
  TIndexBlock block;
  uint64_t filePos = 0;
  uint8_t dirty = 0;
  uint16_t curEntry = 0;
};

}  // namespace vslk64
