#include "tests/builder/orfx/orfx_block_builder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "filelib/le.h"

namespace orfxtest {

namespace le = vslk64::le;

void PutHead(uint8_t* at, const Head& head) {
  le::PutU64(at + 0, head.parentRef);
  le::PutU16(at + 8, head.chan);
  le::PutU16(at + 10, head.chanReuse);
  le::PutU32(at + 12, head.items);
}

namespace {

Bytes NewBlock(uint16_t chan, uint16_t chanReuse, uint32_t items) {
  Bytes block(kBlockBytes, 0);
  PutHead(block.data(), Head{0, chan, chanReuse, items});
  return block;
}

void Need(bool ok, const char* what) {
  if (!ok) throw std::invalid_argument(what);
}

uint32_t Round8(uint32_t n) { return (n + 7) & ~7u; }

}  // namespace

Bytes EventBlock(uint16_t chan, const std::vector<int64_t>& times, uint16_t chanReuse) {
  Need(times.size() <= (kBlockBytes - kHeadBytes) / 8, "too many events");
  Bytes block = NewBlock(chan, chanReuse, static_cast<uint32_t>(times.size()));
  for (size_t i = 0; i < times.size(); ++i) le::PutI64(block.data() + kHeadBytes + 8 * i, times[i]);
  return block;
}

// A marker is an extended marker without a payload.
Bytes MarkerBlock(uint16_t chan, const std::vector<MarkerItem>& items, uint16_t chanReuse) {
  std::vector<ExtMarkItem> marks(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    marks[i].time = items[i].time;
    std::memcpy(marks[i].code, items[i].code, 4);
  }
  return ExtMarkBlock(chan, 16, marks, chanReuse);
}

Bytes ExtMarkBlock(uint16_t chan, uint32_t itemSize, const std::vector<ExtMarkItem>& items,
                   uint16_t chanReuse) {
  Need(itemSize >= 16 && itemSize % 8 == 0, "bad item size");
  Need(items.size() <= (kBlockBytes - kHeadBytes) / itemSize, "too many records");
  Bytes block = NewBlock(chan, chanReuse, static_cast<uint32_t>(items.size()));
  for (size_t i = 0; i < items.size(); ++i) {
    uint8_t* at = block.data() + kHeadBytes + static_cast<size_t>(itemSize) * i;
    le::PutI64(at, items[i].time);
    std::memcpy(at + 8, items[i].code, 4);
    Need(items[i].payload.size() <= itemSize - 16, "payload too long");
    std::copy(items[i].payload.begin(), items[i].payload.end(), at + 16);
  }
  return block;
}

namespace {

// Runs: a 16-byte head (i64 start, u32 count, u32 zero), the samples, then
// padding to a multiple of 8.
template <class Run, class Put>
Bytes WaveBlock(uint16_t chan, const std::vector<Run>& runs, uint16_t chanReuse,
                uint32_t sampleBytes, Put put) {
  Bytes block = NewBlock(chan, chanReuse, static_cast<uint32_t>(runs.size()));
  uint32_t at = kHeadBytes;
  for (const Run& run : runs) {
    const uint32_t bytes = static_cast<uint32_t>(run.samples.size()) * sampleBytes;
    Need(at + 16 + bytes <= kBlockBytes, "runs overflow the block");
    le::PutI64(block.data() + at, run.start);
    le::PutU32(block.data() + at + 8, static_cast<uint32_t>(run.samples.size()));
    for (size_t i = 0; i < run.samples.size(); ++i) {
      put(block.data() + at + 16 + sampleBytes * i, run.samples[i]);
    }
    at += 16 + Round8(bytes);
  }
  return block;
}

}  // namespace

Bytes AdcBlock(uint16_t chan, const std::vector<ShortRun>& runs, uint16_t chanReuse) {
  return WaveBlock(chan, runs, chanReuse, 2, [](uint8_t* p, int16_t v) { le::PutI16(p, v); });
}

Bytes RealWaveBlock(uint16_t chan, const std::vector<FloatRun>& runs, uint16_t chanReuse) {
  return WaveBlock(chan, runs, chanReuse, 4, [](uint8_t* p, float v) { le::PutF32(p, v); });
}

uint32_t RunOffset(const Bytes& block, uint32_t r, uint32_t sampleBytes) {
  uint32_t at = kHeadBytes;
  for (uint32_t i = 0; i < r; ++i) {
    at += 16 + Round8(le::GetU32(block.data() + at + 8) * sampleBytes);
  }
  return at;
}

uint32_t ExtMarkItemSize(uint32_t kind, uint32_t rows, uint32_t cols) {
  const uint32_t rowBytes = kind == 6 ? 2 * cols : kind == 7 ? 4 * cols : kind == 8 ? 1 : 0;
  return Round8(16 + rows * rowBytes);
}

Bytes WaveMarkPayload(const std::vector<std::vector<int16_t>>& traces) {
  const size_t cols = traces.size();
  const size_t rows = cols == 0 ? 0 : traces[0].size();
  Bytes payload(rows * cols * 2, 0);
  for (size_t c = 0; c < cols; ++c) {
    Need(traces[c].size() == rows, "traces differ in length");
    for (size_t p = 0; p < rows; ++p) le::PutI16(payload.data() + 2 * (p * cols + c), traces[c][p]);
  }
  return payload;
}

OrfxImage::OrfxImage() : bytes_(kBlockBytes, 0) {}

uint64_t OrfxImage::AllocBlock() {
  const uint64_t pos = bytes_.size();
  bytes_.resize(bytes_.size() + kBlockBytes, 0);
  return pos;
}

uint64_t OrfxImage::AllocIndexBlock() {
  if (nextIndex_ == 0) nextIndex_ = AllocBlock();
  const uint64_t pos = nextIndex_;
  nextIndex_ = (pos & 0xF000) < 0xF000 ? pos + kIndexBytes : 0;
  return pos;
}

void OrfxImage::Put(uint64_t pos, const Bytes& image) {
  Need(pos + image.size() <= bytes_.size(), "image outside the file");
  std::memcpy(bytes_.data() + pos, image.data(), image.size());
}

IndexTree BuildIndexTree(OrfxImage& image, uint16_t chan, const std::vector<BlockRef>& blocks) {
  IndexTree tree;
  if (blocks.empty()) return tree;
  std::vector<BlockRef> children = blocks;  // of the level being built
  do {
    std::vector<BlockRef> parents;
    std::vector<uint64_t> level;
    for (size_t first = 0; first < children.size(); first += kEntriesPerIndex) {
      const size_t count = std::min<size_t>(kEntriesPerIndex, children.size() - first);
      const uint64_t pos = image.AllocIndexBlock();
      PutHead(image.At(pos), Head{0, chan, 0, static_cast<uint32_t>(count)});
      for (size_t e = 0; e < count; ++e) {
        const BlockRef& child = children[first + e];
        Need(child.pos + 8 <= image.bytes().size(), "block outside the file");
        le::PutI64(image.At(pos) + kHeadBytes + 16 * e, child.firstTime);
        le::PutU64(image.At(pos) + kHeadBytes + 16 * e + 8, child.pos);
        // The child learns its parent: position, the child's level, entry.
        le::PutU64(image.At(child.pos), pos + static_cast<uint64_t>(tree.levels) * 256 + e);
      }
      level.push_back(pos);
      parents.push_back(BlockRef{children[first].firstTime, pos});
    }
    tree.nodes.push_back(level);
    ++tree.levels;
    children = parents;
  } while (children.size() > 1);
  tree.root = children[0].pos;
  // The top block: no parent, its own level, entry 0.
  le::PutU64(image.At(tree.root), static_cast<uint64_t>(tree.levels) * 256);
  return tree;
}

}  // namespace orfxtest
