// TChanHead: the 272-byte record that describes one channel slot of a 64-bit
// format file, and its on-disk encoding.
//
// The file object keeps the records of all slots in one table, read whole at
// open and written record by record; each channel object points at its own
// record. The record anchors the channel's block index (rootIndex, blocksUsed,
// blocksAlloc) and names its texts by string-table identifier.
//
//   offset width field        offset width field
//   0      u64   rootIndex    48     i32   phyChan
//   8      i64   lastTime     52     u32   titleId
//   16     u64   blocksUsed   56     u32   unitsId
//   24     u64   blocksAlloc  60     u32   commentId
//   32     u32   itemSize     64     i64   divide
//   36     u16   rows         72     f64   idealRate
//   38     u16   cols         80     f64   scale
//   40     u16   preTrig      88     f64   offset
//   42     u16   pointBytes   96     f64   yLow
//   44     u16   reuseCount   104    f64   yHigh
//   46     u8    kind         112    u64   flags (bit 0: initial level)
//   47     u8    delKind      120    152 bytes reserved, zero
#pragma once

#include <cstdint>
#include <cstring>

#include "filelib/le.h"

namespace vslk64 {

constexpr uint32_t kChanHeadSize = 272;

// TChanHead::flags bit 0: a level channel's level before its first change.
constexpr uint64_t kChanFlagInitLevel = 1;

struct TChanHead {
  uint64_t rootIndex = 0;
  int64_t lastTime = -1;
  uint64_t blocksUsed = 0;
  uint64_t blocksAlloc = 0;
  uint32_t itemSize = 0;
  uint16_t rows = 0;
  uint16_t cols = 0;
  uint16_t preTrig = 0;
  uint16_t pointBytes = 0;
  uint16_t reuseCount = 0;
  uint8_t kind = 0;
  uint8_t delKind = 0;
  int32_t phyChan = -1;
  uint32_t titleId = 0;
  uint32_t unitsId = 0;
  uint32_t commentId = 0;
  int64_t divide = 0;
  double idealRate = 0.0;
  double scale = 1.0;
  double offset = 0.0;
  double yLow = -1.0;
  double yHigh = 1.0;
  uint64_t flags = 0;
  uint8_t reserved[152] = {};

  // A default-constructed record is the fresh record of an unused slot.

  void Decode(const uint8_t* p) {
    rootIndex = le::GetU64(p + 0);
    lastTime = le::GetI64(p + 8);
    blocksUsed = le::GetU64(p + 16);
    blocksAlloc = le::GetU64(p + 24);
    itemSize = le::GetU32(p + 32);
    rows = le::GetU16(p + 36);
    cols = le::GetU16(p + 38);
    preTrig = le::GetU16(p + 40);
    pointBytes = le::GetU16(p + 42);
    reuseCount = le::GetU16(p + 44);
    kind = le::GetU8(p + 46);
    delKind = le::GetU8(p + 47);
    phyChan = le::GetI32(p + 48);
    titleId = le::GetU32(p + 52);
    unitsId = le::GetU32(p + 56);
    commentId = le::GetU32(p + 60);
    divide = le::GetI64(p + 64);
    idealRate = le::GetF64(p + 72);
    scale = le::GetF64(p + 80);
    offset = le::GetF64(p + 88);
    yLow = le::GetF64(p + 96);
    yHigh = le::GetF64(p + 104);
    flags = le::GetU64(p + 112);
    std::memcpy(reserved, p + 120, sizeof reserved);
  }

  void Encode(uint8_t* p) const {
    le::PutU64(p + 0, rootIndex);
    le::PutI64(p + 8, lastTime);
    le::PutU64(p + 16, blocksUsed);
    le::PutU64(p + 24, blocksAlloc);
    le::PutU32(p + 32, itemSize);
    le::PutU16(p + 36, rows);
    le::PutU16(p + 38, cols);
    le::PutU16(p + 40, preTrig);
    le::PutU16(p + 42, pointBytes);
    le::PutU16(p + 44, reuseCount);
    le::PutU8(p + 46, kind);
    le::PutU8(p + 47, delKind);
    le::PutI32(p + 48, phyChan);
    le::PutU32(p + 52, titleId);
    le::PutU32(p + 56, unitsId);
    le::PutU32(p + 60, commentId);
    le::PutI64(p + 64, divide);
    le::PutF64(p + 72, idealRate);
    le::PutF64(p + 80, scale);
    le::PutF64(p + 88, offset);
    le::PutF64(p + 96, yLow);
    le::PutF64(p + 104, yHigh);
    le::PutU64(p + 112, flags);
    std::memcpy(p + 120, reserved, sizeof reserved);
  }
};

}  // namespace vslk64
