// Test-only builder of 32-bit format (ORF) file bytes, laid out straight from
// the format's tables and independent of the library's code, so that reader
// tests and benchmarks do not depend on the library's own writer.
//
// A test describes the channels, appends blocks channel by channel in the
// order they are to lie in the file (so blocks of several channels
// interleave), optionally asks for saved lookup tables (version 9), and
// calls Build. The builder links each channel's chain, fills the channel
// headers (first and last block, counts, maxTime, the final level) and the
// file header. Versions 5 and below store the waveform divider the old way
// (in the 16-bit field at 138, in adcTicks units). Tests that need a broken
// file change the built bytes through the offsets below.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orf_builder {

// File header offsets.
constexpr int kHVersion = 0, kHStamp = 2, kHAppId = 12, kHTickMultiplier = 20, kHAdcTicks = 22,
              kHLinksComplete = 24, kHFirstDataAddr = 26, kHChanCount = 30, kHChanAreaBytes = 32,
              kHExtraBytes = 34, kHBufferBytes = 36, kHForeignFormat = 38, kHMaxTime = 40,
              kHTimeBase = 44, kHTimeDate = 52, kHAlignFlags = 60, kHLookupAddr = 64,
              kHFileComment = 112;
// Channel header offsets (from the start of the channel's 140 bytes).
constexpr int kCDeletedCount = 0, kCNextDeleted = 2, kCFirstBlock = 6, kCLastBlock = 10,
              kCBlockCount = 14, kCExtraBytes = 16, kCPreTrigger = 18, kCBlockCountHigh = 20,
              kCBlockBytes = 22, kCItemsPerBlock = 24, kCComment = 26, kCMaxTime = 98,
              kCDivide = 102, kCPhyChan = 106, kCTitle = 108, kCIdealRate = 118, kCKind = 122,
              kCDeletedCountHigh = 123, kCScale = 124, kCOffset = 128, kCUnits = 132,
              kCWord138 = 138, kCInitLevel = 124, kCFinalLevel = 125;
// Block header offsets.
constexpr int kBPrev = 0, kBNext = 4, kBStart = 8, kBEnd = 12, kBChanField = 16, kBItemCount = 18,
              kBItems = 20;

struct Chan {
  int kind = 0;
  uint32_t blockBytes = 1024;
  int32_t divide = 1;       // kinds 1, 6, 9
  uint16_t extraBytes = 0;  // kinds 6, 7, 8
  int16_t preTrigger = 0;
  uint16_t traces = 1;                     // kind 6
  float scale = 1.0f, offset = 0.0f;       // kinds 1, 6, 9
  float minValue = 0.0f, maxValue = 0.0f;  // kind 7
  float idealRate = 100.0f;
  int16_t phyChan = 0;
  std::string comment = "No comment", title = "untitled", units = " Volt";
  uint8_t initLevel = 0;      // kind 4
  uint16_t deletedCount = 0;  // a chain of reusable blocks, as a count only
  int32_t nextDeleted = -1;
};

struct Mark {
  int32_t time;
  uint8_t code[4];
  std::vector<uint8_t> attached;  // kinds 6 to 8; zero-padded to the item size
};

// A saved lookup table: entries name blocks by the index AddBlock returned.
struct SavedTable {
  int chan;
  int32_t capacity;
  int32_t stride = 1;
  int32_t gapIndex = -1;
  int32_t endCount = 0, afterCount = 0, beforeCount = 0;
  std::vector<int> blocks;
  bool badChecksum = false;
};

class OrfFile {
 public:
  // chanCount slots (32 to 451); extraBytes of user data (a multiple of 512).
  OrfFile(int version, int chanCount, uint16_t extraBytes = 0);

  Chan& chan(int c) { return chans_[static_cast<size_t>(c)]; }
  int version() const { return version_; }

  // Header fields that tests vary.
  double timeBase = 1e-6;
  uint16_t tickMultiplier = 1;
  uint16_t adcTicks = 1;
  uint16_t linksComplete = 1;
  uint8_t alignFlags = 0;
  uint8_t timeDate[8] = {};
  char appId[8] = {'0', '0', '0', '0', '0', '0', '0', '0'};
  std::string fileComment[5];
  std::vector<uint8_t> extraData;  // written at the start of the extra-data area

  // Blocks, appended in file order. Each returns the block's index.
  int AddWave(int c, int32_t start, const std::vector<int16_t>& samples);
  int AddRealWave(int c, int32_t start, const std::vector<float>& values);
  int AddEvents(int c, const std::vector<int32_t>& times);  // kinds 2, 3, 4
  int AddMarks(int c, const std::vector<Mark>& marks);      // kinds 5 to 8

  void SaveTable(const SavedTable& table) { tables_.push_back(table); }

  // The file's bytes.
  std::string Build();

  // After Build: a block's address (bytes, or 512-byte units in version 9)
  // and byte position, and the position of a channel header.
  int32_t BlockAddr(int block) const;
  int64_t BlockPos(int block) const { return blocks_[static_cast<size_t>(block)].pos; }
  static int64_t ChanPos(int c) { return 512 + 140 * static_cast<int64_t>(c); }
  uint32_t ItemBytes(int c) const;

 private:
  struct Block {
    int chan;
    int32_t start, end;
    uint16_t count;
    std::vector<uint8_t> items;
    int64_t pos = 0;
  };
  int AddBlock(Block b);

  int version_;
  int chanCount_;
  uint16_t extraBytes_;
  std::vector<Chan> chans_;
  std::vector<Block> blocks_;
  std::vector<SavedTable> tables_;
};

// Little-endian pokes for tests that break a built file.
void PutI16(std::string& bytes, int64_t pos, int16_t v);
void PutU16(std::string& bytes, int64_t pos, uint16_t v);
void PutI32(std::string& bytes, int64_t pos, int32_t v);
int32_t GetI32(const std::string& bytes, int64_t pos);

}  // namespace orf_builder
