// TFileHead: the 2048-byte record at the start of a 64-bit format file, its
// on-disk encoding, the checks a header must pass before the file is used,
// and the shape of the header space it describes.
//
// TKel64File keeps one decoded copy per open file and writes it back whole;
// tests use the decoder to look at headers they built byte by byte.
//
//   offset width   field          offset width    field
//   0      8 bytes ident          56     u32      maxChans
//   8      u16     chan (0xFFFF)  60     u32      chanHeadSize (272)
//   10     6 bytes block-head     64     u32[8]   commentIds
//                  rest, zero     96     900 bytes reserved, zero
//   16     8 bytes appID          996    u32      headBlocks
//   24     8 bytes timeDate       1000   i64      nextBlock
//   32     f64     timeBase       1008   i64      nextIndexBlock
//   40     u32     extraBytes     1016   i64      maxTime
//   44     u32     extraOffset    1024   i64[128] headBlockPos
//   48     u32     chanOffset
//   52     u32     stringsOffset
//
// ident: "K64", 0x60 + log2(data block size) ('p'), 0x60 + log2(index block
// size) ('l'), 0, minor version, major version.
//
// The header space is one logical byte range holding, in order, this record,
// the user extra-data area, the channel header table and the string table.
// Its first 65536 bytes are file positions 0 to 65535; the rest lives in
// continuation blocks (64 KiB blocks at headBlockPos[k], each a 16-byte block
// head followed by 65520 usable bytes).
#pragma once

#include <cstdint>
#include <cstring>

#include "filelib/kel64_types.h"
#include "filelib/le.h"
#include "filelib/orfx/chan_head.h"

namespace vslk64 {

constexpr uint32_t kFileHeadSize = 2048;

// Field offsets of the file header.
namespace head_off {
constexpr uint32_t kIdentAt = 0;
constexpr uint32_t kChanAt = 8;
constexpr uint32_t kBlockHeadRestAt = 10;
constexpr uint32_t kAppIdAt = 16;
constexpr uint32_t kTimeDateAt = 24;
constexpr uint32_t kTimeBaseAt = 32;
constexpr uint32_t kExtraBytesAt = 40;
constexpr uint32_t kExtraOffsetAt = 44;
constexpr uint32_t kChanOffsetAt = 48;
constexpr uint32_t kStringsOffsetAt = 52;
constexpr uint32_t kMaxChansAt = 56;
constexpr uint32_t kChanHeadSizeAt = 60;
constexpr uint32_t kCommentIdsAt = 64;
constexpr uint32_t kReservedAt = 96;
constexpr uint32_t kHeadBlocksAt = 996;
constexpr uint32_t kNextBlockAt = 1000;
constexpr uint32_t kNextIndexBlockAt = 1008;
constexpr uint32_t kMaxTimeAt = 1016;
constexpr uint32_t kHeadBlockPosAt = 1024;
}  // namespace head_off

constexpr uint32_t kFileComments = 8;
constexpr uint32_t kHeadReservedBytes = 900;
constexpr uint32_t kMaxHeadBlocks = 128;
constexpr uint32_t kMinChans = 32;
constexpr uint32_t kMaxChans = 2000;
constexpr uint16_t kHeadSpaceChan = 0xFFFF;   // `chan` of the header and its continuations
constexpr uint32_t kHeadBlock0Bytes = 65536;  // header space held by block 0
constexpr uint32_t kHeadBlockBytes = 65520;   // header space per continuation block
constexpr uint64_t kMaxHeadSpace =
    kHeadBlock0Bytes + static_cast<uint64_t>(kMaxHeadBlocks) * kHeadBlockBytes;
constexpr uint8_t kMajorVersion = 1;
constexpr uint8_t kMinorVersion = 0;

// Bytes of header space a file with `headBlocks` continuation blocks holds.
inline uint64_t HeadSpaceCapacity(uint64_t headBlocks) {
  return kHeadBlock0Bytes + headBlocks * kHeadBlockBytes;
}

struct TFileHead {
  uint8_t ident[8] = {'K', '6', '4', 'p', 'l', 0, kMinorVersion, kMajorVersion};
  uint16_t chan = kHeadSpaceChan;
  uint8_t blockHeadRest[6] = {};
  TAppID appID = {};
  TTimeDate timeDate = {};
  double timeBase = 1e-6;
  uint32_t extraBytes = 0;
  uint32_t extraOffset = kFileHeadSize;
  uint32_t chanOffset = kFileHeadSize;
  uint32_t stringsOffset = kFileHeadSize + kMinChans * kChanHeadSize;
  uint32_t maxChans = kMinChans;
  uint32_t chanHeadSize = kChanHeadSize;
  uint32_t commentIds[kFileComments] = {};
  uint8_t reserved[kHeadReservedBytes] = {};
  uint32_t headBlocks = 0;
  int64_t nextBlock = 65536;
  int64_t nextIndexBlock = 0;
  int64_t maxTime = -1;
  int64_t headBlockPos[kMaxHeadBlocks] = {};

  // A default-constructed header is that of a new file with 32 channel slots
  // and no extra data; this one lays out `nChans` slots after `extraBytes`.
  static TFileHead NewFile(uint32_t nChans, uint32_t extraBytes) {
    TFileHead h;
    h.maxChans = nChans;
    h.extraBytes = extraBytes;
    h.chanOffset = h.extraOffset + extraBytes;
    h.stringsOffset = h.chanOffset + nChans * h.chanHeadSize;
    return h;
  }

  int Version() const { return ident[7] * 256 + ident[6]; }

  void Decode(const uint8_t* p) {
    using namespace head_off;
    std::memcpy(ident, p + kIdentAt, sizeof ident);
    chan = le::GetU16(p + kChanAt);
    std::memcpy(blockHeadRest, p + kBlockHeadRestAt, sizeof blockHeadRest);
    std::memcpy(appID.chID, p + kAppIdAt, sizeof appID.chID);
    timeDate.hun = p[kTimeDateAt + 0];
    timeDate.sec = p[kTimeDateAt + 1];
    timeDate.min = p[kTimeDateAt + 2];
    timeDate.hour = p[kTimeDateAt + 3];
    timeDate.day = p[kTimeDateAt + 4];
    timeDate.mon = p[kTimeDateAt + 5];
    timeDate.year = le::GetU16(p + kTimeDateAt + 6);
    timeBase = le::GetF64(p + kTimeBaseAt);
    extraBytes = le::GetU32(p + kExtraBytesAt);
    extraOffset = le::GetU32(p + kExtraOffsetAt);
    chanOffset = le::GetU32(p + kChanOffsetAt);
    stringsOffset = le::GetU32(p + kStringsOffsetAt);
    maxChans = le::GetU32(p + kMaxChansAt);
    chanHeadSize = le::GetU32(p + kChanHeadSizeAt);
    for (uint32_t i = 0; i < kFileComments; ++i)
      commentIds[i] = le::GetU32(p + kCommentIdsAt + 4 * i);
    std::memcpy(reserved, p + kReservedAt, sizeof reserved);
    headBlocks = le::GetU32(p + kHeadBlocksAt);
    nextBlock = le::GetI64(p + kNextBlockAt);
    nextIndexBlock = le::GetI64(p + kNextIndexBlockAt);
    maxTime = le::GetI64(p + kMaxTimeAt);
    for (uint32_t i = 0; i < kMaxHeadBlocks; ++i)
      headBlockPos[i] = le::GetI64(p + kHeadBlockPosAt + 8 * i);
  }

  void Encode(uint8_t* p) const {
    using namespace head_off;
    std::memcpy(p + kIdentAt, ident, sizeof ident);
    le::PutU16(p + kChanAt, chan);
    std::memcpy(p + kBlockHeadRestAt, blockHeadRest, sizeof blockHeadRest);
    std::memcpy(p + kAppIdAt, appID.chID, sizeof appID.chID);
    p[kTimeDateAt + 0] = timeDate.hun;
    p[kTimeDateAt + 1] = timeDate.sec;
    p[kTimeDateAt + 2] = timeDate.min;
    p[kTimeDateAt + 3] = timeDate.hour;
    p[kTimeDateAt + 4] = timeDate.day;
    p[kTimeDateAt + 5] = timeDate.mon;
    le::PutU16(p + kTimeDateAt + 6, timeDate.year);
    le::PutF64(p + kTimeBaseAt, timeBase);
    le::PutU32(p + kExtraBytesAt, extraBytes);
    le::PutU32(p + kExtraOffsetAt, extraOffset);
    le::PutU32(p + kChanOffsetAt, chanOffset);
    le::PutU32(p + kStringsOffsetAt, stringsOffset);
    le::PutU32(p + kMaxChansAt, maxChans);
    le::PutU32(p + kChanHeadSizeAt, chanHeadSize);
    for (uint32_t i = 0; i < kFileComments; ++i)
      le::PutU32(p + kCommentIdsAt + 4 * i, commentIds[i]);
    std::memcpy(p + kReservedAt, reserved, sizeof reserved);
    le::PutU32(p + kHeadBlocksAt, headBlocks);
    le::PutI64(p + kNextBlockAt, nextBlock);
    le::PutI64(p + kNextIndexBlockAt, nextIndexBlock);
    le::PutI64(p + kMaxTimeAt, maxTime);
    for (uint32_t i = 0; i < kMaxHeadBlocks; ++i)
      le::PutI64(p + kHeadBlockPosAt + 8 * i, headBlockPos[i]);
  }
};

// The identifier names this format with 65536-byte data blocks and
// 4096-byte index blocks, the only sizes this reader handles.
inline bool IdentAccepted(const uint8_t ident[8]) {
  return ident[0] == 'K' && ident[1] == '6' && ident[2] == '4' && ident[5] == 0 &&
         ident[3] == 'p' && ident[4] == 'l';
}

// The checks a header must pass before anything else in the file is trusted,
// in the order they are made. Returns 0 when all pass, otherwise the number
// (1 to 10) of the first that fails. Offsets are compared as 64-bit values so
// that no sum can wrap round and let a header through whose areas do not fit.
inline int FirstFailedHeadCheck(const TFileHead& h) {
  const uint64_t chanTableEnd = static_cast<uint64_t>(h.chanHeadSize) * h.maxChans + h.chanOffset;
  if (h.chan != kHeadSpaceChan) return 1;
  if (h.ident[7] > kMajorVersion) return 2;
  if (!IdentAccepted(h.ident)) return 3;
  if (h.extraOffset < kFileHeadSize) return 4;
  if (h.chanOffset < static_cast<uint64_t>(h.extraOffset) + h.extraBytes) return 5;
  if (h.maxChans < kMinChans || h.maxChans > kMaxChans) return 6;
  if (h.stringsOffset < chanTableEnd || h.chanHeadSize != kChanHeadSize) return 7;
  if (h.nextIndexBlock > h.nextBlock) return 8;
  if (h.headBlocks > kMaxHeadBlocks) return 9;
  if (h.stringsOffset >= HeadSpaceCapacity(h.headBlocks)) return 10;
  return 0;
}

// 1 for a valid date and time, 0 for the all-zero "not set" record, -1 for
// anything else. Years 1980 to 2200: this format's range; ORF stops at 2100
// (KelDateValidity in kel_header.cc), and the two stay apart on purpose.
inline int TimeDateValidity(const TTimeDate& td) {
  if (td.hun == 0 && td.sec == 0 && td.min == 0 && td.hour == 0 && td.day == 0 && td.mon == 0 &&
      td.year == 0) {
    return 0;
  }
  const bool valid = td.hun <= 99 && td.sec < 60 && td.min < 60 && td.hour < 24 && td.day >= 1 &&
                     td.day <= 31 && td.mon >= 1 && td.mon <= 12 && td.year >= 1980 &&
                     td.year <= 2200;
  return valid ? 1 : -1;
}

}  // namespace vslk64
