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
#include <string>
#include <utility>
#include <vector>

namespace orfx_test {

// File header offsets.
namespace fh {
constexpr uint32_t kIdent = 0;
constexpr uint32_t kChan = 8;
constexpr uint32_t kAppId = 16;
constexpr uint32_t kTimeDate = 24;
constexpr uint32_t kTimeBase = 32;
constexpr uint32_t kExtraBytes = 40;
constexpr uint32_t kExtraOffset = 44;
constexpr uint32_t kChanOffset = 48;
constexpr uint32_t kStringsOffset = 52;
constexpr uint32_t kMaxChans = 56;
constexpr uint32_t kChanHeadSize = 60;
constexpr uint32_t kCommentIds = 64;
constexpr uint32_t kHeadBlocks = 996;
constexpr uint32_t kNextBlock = 1000;
constexpr uint32_t kNextIndexBlock = 1008;
constexpr uint32_t kMaxTime = 1016;
constexpr uint32_t kHeadBlockPos = 1024;
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
};

// The 272 bytes of a record.
std::vector<uint8_t> EncodeChannel(const ChanFields& f);

class OrfxFileBuilder {
 public:
  explicit OrfxFileBuilder(uint32_t maxChans = 32, uint32_t extraBytes = 0);

  // Header fields by file offset (0 to 2047).
  void SetHeadU8(uint32_t at, uint8_t v);
  void SetHeadU16(uint32_t at, uint16_t v);
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
  // A block appended to the header space's continuation blocks.
  int64_t AddContinuationBlock();
  // A block holding `bytes` (at most 65536, the rest zero).
  int64_t AppendBlock(const std::vector<uint8_t>& bytes);
  // The next 4 KiB index block: sixteen to a 64 KiB block, a new block when
  // none is left over.
  int64_t AllocIndexBlock();
  // Bytes into allocated blocks (positions at or past 65536).
  void PutBytes(int64_t pos, const void* data, size_t n);

  // The whole file: block 0 and every allocated block, with the header space
  // (string table included) mapped onto block 0 and the continuation blocks,
  // which are added here if the header space has outgrown them.
  std::vector<uint8_t> Bytes();
  bool Write(const std::string& path);

 private:
  void EnsureSpace(uint64_t end);
  std::vector<uint8_t> StringTableBytes() const;

  std::vector<uint8_t> space_;                      // logical header space
  std::map<int64_t, std::vector<uint8_t>> blocks_;  // allocated blocks by position
  std::vector<int64_t> continuation_;               // header-space blocks in order
  std::map<uint32_t, std::pair<std::string, uint32_t>> strings_;
  std::vector<uint32_t> rawStrings_;
  bool useRawStrings_ = false;
};

}  // namespace orfx_test
