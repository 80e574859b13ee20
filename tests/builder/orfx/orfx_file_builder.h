// A test-only builder of 64-bit format files, laid out byte by byte from the
// format's tables and independent of the library's own encoders (it uses
// filelib/le.h and nothing else of the library), so that reader tests check
// the library against the format rather than against itself.
//
// A builder starts as a valid, empty file: header, extra-data area, fresh
// channel header records and an empty string table. Tests then change any
// header field or record, add texts, allocate blocks (data or index, from one
// allocator as the file does) and take the bytes. The header space is laid
// out last: continuation blocks it needs are allocated then, after the blocks
// the test made, as a file that grew its header space late would have them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orfx_test {

// File header offsets.
namespace fh {
constexpr uint32_t kIdent = 0, kChan = 8, kAppId = 16, kTimeDate = 24, kTimeBase = 32,
                   kExtraBytes = 40, kExtraOffset = 44, kChanOffset = 48, kStringsOffset = 52,
                   kMaxChans = 56, kChanHeadSize = 60, kCommentIds = 64, kHeadBlocks = 996,
                   kNextBlock = 1000, kNextIndexBlock = 1008, kMaxTime = 1016, kHeadBlockPos = 1024;
}  // namespace fh

constexpr int64_t kBlockBytes = 65536;
constexpr int64_t kIndexBlockBytes = 4096;
constexpr uint32_t kRecordBytes = 272;
constexpr uint64_t kBlock0Space = 65536;
constexpr uint64_t kContinuationSpace = 65520;

// One channel header record; the defaults are the fresh record of an unused
// slot.
struct ChanFields {
  uint64_t rootIndex = 0;
  int64_t lastTime = -1;
  uint64_t blocksUsed = 0, blocksAlloc = 0;
  uint32_t itemSize = 0;
  uint16_t rows = 0, cols = 0, preTrig = 0, pointBytes = 0, reuseCount = 0;
  uint8_t kind = 0, delKind = 0;
  int32_t phyChan = -1;
  uint32_t titleId = 0, unitsId = 0, commentId = 0;
  int64_t divide = 0;
  double idealRate = 0.0, scale = 1.0, offset = 0.0, yLow = -1.0, yHigh = 1.0;
  uint64_t flags = 0;
};

class OrfxFileBuilder {
 public:
  explicit OrfxFileBuilder(uint32_t maxChans = 32, uint32_t extraBytes = 0);

  // Header fields by file offset (0 to 2047).
  void SetHeadU8(uint32_t at, uint8_t v);
  void SetHeadU32(uint32_t at, uint32_t v);
  void SetHeadI64(uint32_t at, int64_t v);
  void SetHeadF64(uint32_t at, double v);
  uint32_t HeadU32(uint32_t at) const;
  int64_t HeadI64(uint32_t at) const;

  // Bytes of the logical header space (offsets past 65536 land in the
  // continuation blocks when the file is laid out).
  void PutHeaderSpace(uint64_t offset, const void* data, size_t n);

  // The record of slot `slot`, at chanOffset + slot × 272 as the header says
  // now.
  void SetChannel(uint32_t slot, const ChanFields& f);

  // String-table entries by identifier; identifiers left out below the
  // highest are written as free. Serialised at stringsOffset by Bytes().
  void SetString(uint32_t id, const std::string& text, uint32_t count = 1);
  // Words written instead of the entries, for tables the format does not
  // allow.
  void SetStringWords(std::vector<uint32_t> words);

  // The next 64 KiB block (zeros), from nextBlock, which moves on.
  int64_t AllocBlock();
  // A block holding `bytes` (at most 65536, the rest zero).
  int64_t AppendBlock(const std::vector<uint8_t>& bytes);
  // The next 4 KiB index block: sixteen to a 64 KiB block, a new block when
  // none is left over.
  int64_t AllocIndexBlock();

  // The whole file: block 0 and every allocated block, with the header space
  // (string table included) mapped onto block 0 and the continuation blocks,
  // which are added here if the header space has outgrown them.
  std::vector<uint8_t> Bytes();
  bool Write(const std::string& path);

 private:
  // A block appended to the header space's continuation blocks.
  void AddContinuationBlock();
  std::vector<uint8_t> StringTableBytes() const;

  std::vector<uint8_t> space_;                      // logical header space
  std::map<int64_t, std::vector<uint8_t>> blocks_;  // allocated blocks by position
  std::vector<int64_t> continuation_;               // header-space blocks in order
  std::map<uint32_t, std::pair<std::string, uint32_t>> strings_;
  std::optional<std::vector<uint32_t>> rawStrings_;
};

}  // namespace orfx_test
