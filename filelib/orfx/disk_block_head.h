// TDiskBlockHead: the 16-byte head that starts every 64 KiB unit and every
// 4 KiB index block of a 64-bit format file, and its on-disk encoding.
//
// Used by the data block classes (data_block.h), the index blocks
// (index_block.h) and the header space.
//
//   offset width field
//   0      u64   parentRef  position of the index block that lists this one
//                           (a multiple of 4096), OR'ed with this block's
//                           level in bits 8 to 10 (0 for a data block) and
//                           its entry number in that index block in bits 0
//                           to 7
//   8      u16   chan       owning channel; 0xFFFF in the header space
//   10     u16   chanReuse  data blocks: the channel's reuseCount when the
//                           block was written; index blocks: 0
//   12     u32   items      items in a data block (runs in a waveform block),
//                           entries in use in an index block
#pragma once

#include <cstdint>

#include "filelib/le.h"
#include "filelib/orfx/block_io.h"

namespace vslk64 {

constexpr uint32_t kDiskBlockHeadSize = 16;
constexpr uint32_t kHeadParentRefAt = 0;
constexpr uint32_t kHeadChanAt = 8;
constexpr uint32_t kHeadChanReuseAt = 10;
constexpr uint32_t kHeadItemsAt = 12;

// The parts of parentRef.
constexpr uint64_t kParentEntryMask = 0xFF;
constexpr uint64_t kParentLevelMask = 0x700;
constexpr uint32_t kParentLevelShift = 8;
constexpr uint64_t kParentPosMask = ~static_cast<uint64_t>(0xFFF);

inline uint32_t ParentEntry(uint64_t ref) { return static_cast<uint32_t>(ref & kParentEntryMask); }
inline uint32_t ParentLevel(uint64_t ref) {
  return static_cast<uint32_t>((ref & kParentLevelMask) >> kParentLevelShift);
}
inline uint64_t ParentPos(uint64_t ref) { return ref & kParentPosMask; }
inline uint64_t MakeParentRef(uint64_t parentPos, uint32_t level, uint32_t entry) {
  return (parentPos & kParentPosMask) |
         ((static_cast<uint64_t>(level) << kParentLevelShift) & kParentLevelMask) |
         (entry & kParentEntryMask);
}

// Where a child listed in an index block may lie: inside the allocated part
// of the file (fileSize, CBlockIo::FileSize), past block 0 (the header), and
// on the grid of its unit: 64 KiB for data blocks, 4 KiB for index blocks.
inline bool UnitPosOk(uint64_t pos, uint32_t unit, int64_t fileSize) {
  return pos >= kDataBlockSize && pos % unit == 0 && fileSize >= static_cast<int64_t>(unit) &&
         pos <= static_cast<uint64_t>(fileSize) - unit;
}
inline bool DataBlockPosOk(uint64_t pos, int64_t fileSize) {
  return UnitPosOk(pos, kDataBlockSize, fileSize);
}
inline bool IndexBlockPosOk(uint64_t pos, int64_t fileSize) {
  return UnitPosOk(pos, kIndexBlockSize, fileSize);
}

struct TDiskBlockHead {
  uint64_t parentRef = 0;
  uint16_t chan = 0;
  uint16_t chanReuse = 0;
  uint32_t items = 0;

  void Decode(const uint8_t* p) {
    parentRef = le::GetU64(p + kHeadParentRefAt);
    chan = le::GetU16(p + kHeadChanAt);
    chanReuse = le::GetU16(p + kHeadChanReuseAt);
    items = le::GetU32(p + kHeadItemsAt);
  }

  void Encode(uint8_t* p) const {
    le::PutU64(p + kHeadParentRefAt, parentRef);
    le::PutU16(p + kHeadChanAt, chan);
    le::PutU16(p + kHeadChanReuseAt, chanReuse);
    le::PutU32(p + kHeadItemsAt, items);
  }
};

// The in-memory image of a whole on-disk unit (a 64 KiB data block or a
// 4 KiB index block), read and written whole, with the accessors of the
// 16-byte head that every such unit starts with. Cache-line aligned: the
// image is the target of one positioned read, which the kernel copies
// fastest into an aligned buffer.
template <uint32_t kSize>
class TBlockImage {
 public:
  TBlockImage() : bytes_() {}

  uint8_t* Bytes() { return bytes_; }
  const uint8_t* Bytes() const { return bytes_; }

  TDiskBlockHead Head() const {
    TDiskBlockHead h;
    h.Decode(bytes_);
    return h;
  }
  void SetHead(const TDiskBlockHead& h) { h.Encode(bytes_); }

  uint64_t ParentRef() const { return le::GetU64(bytes_ + kHeadParentRefAt); }
  void SetParentRef(uint64_t v) { le::PutU64(bytes_ + kHeadParentRefAt, v); }
  uint16_t Chan() const { return le::GetU16(bytes_ + kHeadChanAt); }
  void SetChan(uint16_t v) { le::PutU16(bytes_ + kHeadChanAt, v); }
  uint16_t ChanReuse() const { return le::GetU16(bytes_ + kHeadChanReuseAt); }
  void SetChanReuse(uint16_t v) { le::PutU16(bytes_ + kHeadChanReuseAt, v); }
  uint32_t Items() const { return le::GetU32(bytes_ + kHeadItemsAt); }
  void SetItems(uint32_t v) { le::PutU32(bytes_ + kHeadItemsAt, v); }

 protected:
  alignas(64) uint8_t bytes_[kSize];
};

}  // namespace vslk64
