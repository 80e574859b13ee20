// The on-disk layout of a 32-bit format (ORF) file: the 512-byte file header,
// the 140-byte channel headers, the 20-byte data block header, block
// addresses and item sizes. Every part of the ORF filing library reads and
// writes file bytes through these offsets and le.h.
//
// File layout:
//   0                         file header, 512 bytes
//   512                       channel headers, chanAreaBytes
//                             (chanCount x 140 rounded up to 512)
//   512 + chanAreaBytes       user extra data, extraBytes (a multiple of 512)
//   firstDataAddr             data blocks, each channel's in its own chain
//   lookupAddr (version 9)    saved lookup tables, to the next 512 boundary
//
// File header:
//   off width field            off width field
//   0   i16   version          38  i16   foreignFormat
//   2   10    stamp            40  i32   maxTime
//   12  8     appId            44  f64   timeBase
//   20  u16   tickMultiplier   52  8     timeDate
//   22  u16   adcTicks         60  u8    alignFlags (bit 0: extended-marker
//   24  u16   linksComplete              items padded to 4 bytes)
//   26  i32   firstDataAddr    61  3     reserved
//   30  i16   chanCount        64  i32   lookupAddr (version 9)
//   32  u16   chanAreaBytes    68  44    reserved
//   34  u16   extraBytes       112 5x80  fileComment[0..4], counted strings
//   36  u16   bufferBytes
//
// Channel header (channel n at 512 + 140 n):
//   off width field            off width field
//   0   u16   deletedCount     26  72    comment, counted string
//   2   i32   nextDeleted      98  i32   maxTime
//   6   i32   firstBlock       102 i32   divide
//   10  i32   lastBlock        106 i16   phyChan
//   14  u16   blockCount       108 10    title, counted string
//   16  u16   extraBytes       118 f32   idealRate
//   18  i16   preTrigger       122 u8    kind
//   20  u16   blockCountHigh   123 u8    deletedCountHigh
//   22  u16   blockBytes       124 16    kind-specific part, below
//   24  u16   itemsPerBlock
// Kind-specific part: kinds 1, 6, 9: f32 scale at 124, f32 offset at 128,
// units (counted, 6 bytes) at 132, u16 at 138 (kind 6: traces); kind 7:
// f32 minValue, f32 maxValue, units; kind 8: units at 132; kind 4: u8
// initLevel at 124, u8 finalLevel at 125.
//
// Data block header (the items follow at 20):
//   0 i32 prevBlock   4 i32 nextBlock   8 i32 startTime   12 i32 endTime
//   16 u16 chanField  18 u16 itemCount
#pragma once

#include <cstdint>

#include "filelib/le.h"

namespace vslk64 {
namespace orf {

// The last tick a 32-bit time can hold: the end of every ORF channel.
constexpr int32_t kMaxTime32 = 0x7FFFFFFF;

// --- File header ---------------------------------------------------------
constexpr uint32_t kFileHeadSize = 512;
constexpr int kHVersion = 0;
constexpr int kHStamp = 2;
constexpr int kHAppId = 12;
constexpr int kHTickMultiplier = 20;
constexpr int kHAdcTicks = 22;
constexpr int kHLinksComplete = 24;
constexpr int kHFirstDataAddr = 26;
constexpr int kHChanCount = 30;
constexpr int kHChanAreaBytes = 32;
constexpr int kHExtraBytes = 34;
constexpr int kHBufferBytes = 36;
constexpr int kHForeignFormat = 38;
constexpr int kHMaxTime = 40;
constexpr int kHTimeBase = 44;
constexpr int kHTimeDate = 52;
constexpr int kHAlignFlags = 60;
constexpr int kHLookupAddr = 64;
constexpr int kHFileComment = 112;

constexpr int kStampBytes = 10;
constexpr char kStamp[] = "(C) VSL 87";  // stored without the terminator
constexpr int kAppIdBytes = 8;
constexpr int kTimeDateBytes = 8;
constexpr int kFileComments = 5;
constexpr int kFileCommentBytes = 80;
constexpr uint8_t kAlignExtMarks = 0x01;

// Versions 1 to 8 address blocks by byte position; version 9 ("large")
// counts 512-byte units.
constexpr int kLargeVersion = 9;
constexpr int kCurrentVersion = 8;

constexpr int kMinChans = 32;
constexpr int kMaxChans = 451;

// The channel-header region for a channel count: 140 bytes each, rounded up
// to a whole 512-byte unit.
constexpr uint32_t ChanAreaBytes(int chanCount) {
  return (static_cast<uint32_t>(chanCount) * 140u + 511u) & ~511u;
}

// --- Channel header ------------------------------------------------------
constexpr uint32_t kChanHeadSize = 140;
constexpr int kCDeletedCount = 0;
constexpr int kCNextDeleted = 2;
constexpr int kCFirstBlock = 6;
constexpr int kCLastBlock = 10;
constexpr int kCBlockCount = 14;
constexpr int kCExtraBytes = 16;
constexpr int kCPreTrigger = 18;
constexpr int kCBlockCountHigh = 20;
constexpr int kCBlockBytes = 22;
constexpr int kCItemsPerBlock = 24;
constexpr int kCComment = 26;
constexpr int kCMaxTime = 98;
constexpr int kCDivide = 102;
constexpr int kCPhyChan = 106;
constexpr int kCTitle = 108;
constexpr int kCIdealRate = 118;
constexpr int kCKind = 122;
constexpr int kCDeletedCountHigh = 123;
constexpr int kCScale = 124;      // kinds 1, 6, 9
constexpr int kCOffset = 128;     // kinds 1, 6, 9
constexpr int kCMinValue = 124;   // kind 7
constexpr int kCMaxValue = 128;   // kind 7
constexpr int kCUnits = 132;      // kinds 1, 6, 7, 8, 9
constexpr int kCWord138 = 138;    // kind 6: traces; versions <= 5: the old divider
constexpr int kCInitLevel = 124;  // kind 4
constexpr int kCFinalLevel = 125; // kind 4

constexpr int kChanCommentBytes = 72;
constexpr int kTitleBytes = 10;
constexpr int kUnitsBytes = 6;

constexpr int kMaxTraces = 4;

// --- Data blocks ---------------------------------------------------------
constexpr uint32_t kBlockHeadSize = 20;
constexpr int kBPrev = 0;
constexpr int kBNext = 4;
constexpr int kBStart = 8;
constexpr int kBEnd = 12;
constexpr int kBChanField = 16;
constexpr int kBItemCount = 18;

// Header-only reads of a block fetch this much.
constexpr uint32_t kHeadReadBytes = 512;
constexpr int64_t kAddrUnit = 512;

constexpr int32_t kNoBlock = -1;
// Bit 8 of chanField: the level in force before a level channel's first item.
constexpr uint16_t kLevelBit = 0x100;

// A writer refers to a block it still holds in memory as 0x80000000 + slot;
// every address below -0x7FFFFF80 is such a reference.
constexpr int32_t kMemRefLimit = -0x7FFFFF80;
inline bool IsMemRef(int32_t addr) { return addr < kMemRefLimit; }
// A usable address: a disk address above 0 or a memory reference.
inline bool IsUsable(int32_t addr) { return addr > 0 || IsMemRef(addr); }

// The channel number held in a block's chanField.
inline int ChanOfField(uint16_t field) {
  return ((field >> 1) & 0x100) + (field & 0xFF) - 1;
}

// Positions handed to the operating system must lie below 1 TiB less 512.
constexpr int64_t kPosLimit = 0xFFFFFFFE00LL;

// --- Kinds and items -----------------------------------------------------
constexpr int kMaxKind = 9;

inline bool IsWaveKind(int kind) { return kind == 1 || kind == 9; }
inline bool IsMarkerKind(int kind) { return kind >= 5 && kind <= 8; }
inline bool IsExtMarkKind(int kind) { return kind >= 6 && kind <= 8; }
inline bool HasScale(int kind) { return kind == 1 || kind == 6 || kind == 9; }

// Bytes per item on disk: a 16-bit sample (kind 1), an i32 time or f32
// sample (2, 3, 4, 9), a time and four codes (5), a marker and its attached
// data (6, 7, 8, padded to 4 bytes when the file says so), 1 for kind 0.
inline uint32_t ItemBytes(int kind, uint32_t extraBytes, bool alignExt) {
  switch (kind) {
    case 1: return 2;
    case 2: case 3: case 4: case 9: return 4;
    case 5: return 8;
    case 6: case 7: case 8: {
      const uint32_t n = 8 + extraBytes;
      return alignExt ? (n + 3) & ~3u : n;
    }
    default: return 1;
  }
}

// --- Decoding of one channel header --------------------------------------
inline int ChanKind(const uint8_t* ch) { return le::GetU8(ch + kCKind); }
inline int32_t ChanFirstBlock(const uint8_t* ch) { return le::GetI32(ch + kCFirstBlock); }
inline int32_t ChanLastBlock(const uint8_t* ch) { return le::GetI32(ch + kCLastBlock); }
inline uint32_t ChanBlockCount(const uint8_t* ch) {
  return le::GetU16(ch + kCBlockCount) |
         (static_cast<uint32_t>(le::GetU16(ch + kCBlockCountHigh)) << 16);
}
inline uint32_t ChanDeletedCount(const uint8_t* ch) {
  return le::GetU16(ch + kCDeletedCount) |
         (static_cast<uint32_t>(le::GetU8(ch + kCDeletedCountHigh)) << 16);
}
inline uint32_t ChanBlockBytes(const uint8_t* ch) { return le::GetU16(ch + kCBlockBytes); }
inline uint32_t ChanExtraBytes(const uint8_t* ch) { return le::GetU16(ch + kCExtraBytes); }
inline int32_t ChanDivide(const uint8_t* ch) { return le::GetI32(ch + kCDivide); }
inline int32_t ChanMaxTime(const uint8_t* ch) { return le::GetI32(ch + kCMaxTime); }
inline int ChanTraces(const uint8_t* ch) { return le::GetU16(ch + kCWord138); }

}  // namespace orf
}  // namespace vslk64
