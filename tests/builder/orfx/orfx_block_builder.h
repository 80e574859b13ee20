// Test-only builder of the data blocks and block index of 64-bit format
// files.
//
// Lays out 64 KiB data block images of every item layout and trees of 4 KiB
// index blocks straight from the format's tables, using nothing of the
// library but the little-endian accessors, so that reader tests do not
// depend on the library's own code. Images can be placed in an OrfxImage (a
// whole file image with the format's block allocator) or written anywhere
// else; a file-header builder can take the image's allocator state
// (NextBlock, NextIndexBlock) and fill block 0.
#pragma once

#include <cstdint>
#include <vector>

namespace orfxtest {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBlockBytes = 65536;
constexpr uint32_t kIndexBytes = 4096;
constexpr uint32_t kHeadBytes = 16;
constexpr uint32_t kEntriesPerIndex = 255;

// The 16-byte head of a data block or index block.
struct Head {
  uint64_t parentRef = 0;
  uint16_t chan = 0;
  uint16_t chanReuse = 0;
  uint32_t items = 0;
};
void PutHead(uint8_t* at, const Head& head);

struct MarkerItem {
  int64_t time = 0;
  uint8_t code[4] = {0, 0, 0, 0};
};

struct ExtMarkItem {
  int64_t time = 0;
  uint8_t code[4] = {0, 0, 0, 0};
  Bytes payload;  // at most the item size - 16 bytes; the rest stays zero
};

template <class Sample>
struct Run {
  int64_t start = 0;
  std::vector<Sample> samples;
};
using ShortRun = Run<int16_t>;
using FloatRun = Run<float>;

// Data block images (65536 bytes); items counts what is given.
Bytes EventBlock(uint16_t chan, const std::vector<int64_t>& times, uint16_t chanReuse = 0);
Bytes MarkerBlock(uint16_t chan, const std::vector<MarkerItem>& items, uint16_t chanReuse = 0);
Bytes ExtMarkBlock(uint16_t chan, uint32_t itemSize, const std::vector<ExtMarkItem>& items,
                   uint16_t chanReuse = 0);
Bytes AdcBlock(uint16_t chan, const std::vector<ShortRun>& runs, uint16_t chanReuse = 0);
Bytes RealWaveBlock(uint16_t chan, const std::vector<FloatRun>& runs, uint16_t chanReuse = 0);

// The item size of an extended-marker channel: 16 + rows * cols * point
// bytes (2 for kind 6, 4 for kind 7, 1 per character for kind 8 with cols
// 1), raised to a multiple of 8.
uint32_t ExtMarkItemSize(uint32_t kind, uint32_t rows, uint32_t cols);
// The payload of a kind-6 record: traces[c][p] is point p of trace c, stored
// point by point with the traces interleaved, little-endian.
Bytes WaveMarkPayload(const std::vector<std::vector<int16_t>>& traces);

// Block offset of run r (0-based) in a waveform block image built above.
uint32_t RunOffset(const Bytes& block, uint32_t r, uint32_t sampleBytes);

// A whole file image. Block 0 (the header space) is left zero; data blocks
// and index blocks are handed out as the format's allocator does: 64 KiB
// units from 65536 on, sixteen index blocks to a unit.
class OrfxImage {
 public:
  OrfxImage();

  Bytes& bytes() { return bytes_; }
  const Bytes& bytes() const { return bytes_; }
  uint64_t AllocBlock();
  uint64_t AllocIndexBlock();
  // The allocator state as the file header stores it.
  uint64_t NextBlock() const { return bytes_.size(); }
  uint64_t NextIndexBlock() const { return nextIndex_; }

  void Put(uint64_t pos, const Bytes& image);
  uint8_t* At(uint64_t pos) { return bytes_.data() + pos; }

 private:
  Bytes bytes_;
  uint64_t nextIndex_ = 0;
};

// A data block of a channel: the time of its first item and its position.
struct BlockRef {
  int64_t firstTime = 0;
  uint64_t pos = 0;
};

// The index blocks of one channel's tree.
struct IndexTree {
  uint64_t root = 0;  // the header's rootIndex; 0 without blocks
  uint32_t levels = 0;
  std::vector<std::vector<uint64_t>> nodes;  // nodes[k]: level k + 1, left to right
};

// Builds the index tree over `blocks` (time order): full index blocks except
// on the rightmost path, each with its parentRef (parent position + level *
// 256 + entry number), and stamps each data block's parentRef with its
// level-1 block and entry. Entry times are the blocks' first times as given,
// whatever their order. `image` must already hold the data blocks.
IndexTree BuildIndexTree(OrfxImage& image, uint16_t chan, const std::vector<BlockRef>& blocks);

}  // namespace orfxtest
