#include "filelib/orfx/data_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "filelib/le.h"
#include "filelib/status.h"
#include "tests/builder/orfx/orfx_block_builder.h"
#include "tests/orfx/chan_file_util.h"
#include "tests/orfx/mem_block_io.h"

namespace vslk64 {
namespace {

using orfxtest::Bytes;

constexpr uint16_t kChan = 7;

// Puts a built image into a block object and runs the read-time checks.
int Take(CDataBlock& block, const Bytes& image, uint16_t reuse = 0) {
  std::memcpy(block.Bytes(), image.data(), kDataBlockSize);
  block.ForgetLastRun();
  return block.Validate(reuse);
}

TReadRange Range(TSTime64 from, TSTime64 upto, uint64_t max) { return TReadRange(from, upto, max); }

using chantest::Times;

// Reads and backward searches within waveform blocks are checked through
// the channel, against a model of its samples (wave_channel_test.cc).

// --- Checks on blocks read from the file ----------------------------------------

TEST(DataBlockCheckTest, RejectsHeadsThatDoNotBelong) {
  const Bytes events = orfxtest::EventBlock(kChan, Times(0, 1, 5), 2);
  CEventBlock block(kChan);
  EXPECT_EQ(kOk, Take(block, events, 2));
  EXPECT_EQ(kErrCorrupt, Take(block, events, 3));  // a stale block of earlier contents
  CEventBlock other(kChan + 1);
  EXPECT_EQ(kErrCorrupt, Take(other, events, 2));
  Bytes leveled = events;
  le::PutU64(leveled.data(), 0x10000 + 0x100);  // level 1: an index block, not data
  EXPECT_EQ(kErrCorrupt, Take(block, leveled, 2));
  Bytes crowded = events;
  le::PutU32(crowded.data() + 12, 8191);
  EXPECT_EQ(kErrCorrupt, Take(block, crowded, 2));
  Bytes markers = orfxtest::MarkerBlock(kChan, {});
  le::PutU32(markers.data() + 12, 4096);
  CMarkerBlock marker(kChan);
  EXPECT_EQ(kErrCorrupt, Take(marker, markers));
  CExtMarkBlock ext(kChan, 216);
  Bytes records = orfxtest::ExtMarkBlock(kChan, 216, {});
  le::PutU32(records.data() + 12, 304);
  EXPECT_EQ(kErrCorrupt, Take(ext, records));
}

TEST(DataBlockCheckTest, RejectsRunsOutsideTheBlockOrTheTickRange) {
  const Bytes good = orfxtest::AdcBlock(kChan, {{0, {1, 2, 3}}, {100, {4}}});
  CAdcBlock block(kChan, 10);
  ASSERT_EQ(kOk, Take(block, good));
  const uint32_t second = orfxtest::RunOffset(good, 1, 2);

  Bytes b = good;
  le::PutU32(b.data() + second + 8, (kDataBlockSize - second - 16) / 2 + 1);  // samples past the end
  EXPECT_EQ(kErrCorrupt, Take(block, b));
  b = good;
  le::PutU32(b.data() + second + 8, 0);  // an empty run
  EXPECT_EQ(kErrCorrupt, Take(block, b));
  b = good;
  le::PutU32(b.data() + 12, 3);  // a third run head beyond the data: zero count
  EXPECT_EQ(kErrCorrupt, Take(block, b));
  b = good;
  le::PutU32(b.data() + 12, 5000);  // more runs than could fit
  EXPECT_EQ(kErrCorrupt, Take(block, b));
  b = good;
  le::PutI64(b.data() + second, std::numeric_limits<int64_t>::max() - 5);  // times overflow
  EXPECT_EQ(kErrCorrupt, Take(block, b));
  b = good;
  le::PutI64(b.data() + second, 20);  // starts before the first run ends
  EXPECT_EQ(kErrCorrupt, Take(block, b));
  CAdcBlock huge(kChan, std::numeric_limits<int64_t>::max() / 2);
  EXPECT_EQ(kErrCorrupt, Take(huge, good));
}

TEST(DataBlockCheckTest, LoadChecksPositionAndEmptiesRejectedBlocks) {
  orfxtest::OrfxImage image;
  const uint64_t pos = image.AllocBlock();
  image.Put(pos, orfxtest::EventBlock(kChan, Times(5, 5, 4), 1));
  orfxtest::MemBlockIo io(&image);
  CEventBlock block(kChan);

  EXPECT_EQ(kErrCorrupt, LoadDataBlock(io, block, pos + 4096, 1));  // off the grid
  EXPECT_EQ(kErrCorrupt, LoadDataBlock(io, block, pos + kDataBlockSize, 1));  // past the end
  EXPECT_EQ(kErrCorrupt, LoadDataBlock(io, block, 0, 1));  // the header block
  EXPECT_EQ(0, io.reads);

  ASSERT_EQ(kOk, LoadDataBlock(io, block, pos, 1));
  EXPECT_EQ(pos, block.FilePos());
  EXPECT_EQ(20, block.EndTime());
  ASSERT_EQ(kOk, LoadDataBlock(io, block, pos, 1));
  EXPECT_EQ(1, io.reads);  // held: not read again

  EXPECT_EQ(kErrCorrupt, LoadDataBlock(io, block, pos, 2));  // the reuse stamp no longer matches
  EXPECT_EQ(0u, block.Items());
  EXPECT_EQ(0u, block.FilePos());
}

TEST(DataBlockCheckTest, LoadWritesBackADirtyBlockFirst) {
  orfxtest::OrfxImage image;
  const uint64_t a = image.AllocBlock();
  const uint64_t b = image.AllocBlock();
  image.Put(a, orfxtest::EventBlock(kChan, {1, 2}));
  image.Put(b, orfxtest::EventBlock(kChan, {3, 4}));
  orfxtest::MemBlockIo io(&image);
  CEventBlock block(kChan);
  ASSERT_EQ(kOk, LoadDataBlock(io, block, a, 0));
  le::PutI64(block.Bytes() + 16 + 8, 7);  // an edit in memory
  block.SetDirty(true);
  ASSERT_EQ(kOk, LoadDataBlock(io, block, b, 0));
  EXPECT_EQ(1, io.writes);
  EXPECT_EQ(7, le::GetI64(image.At(a) + 16 + 8));
  EXPECT_FALSE(block.IsDirty());
}

// Random runs, shapes and times at the ends of the tick range: a block that
// passes the checks is read and searched without a fault (the sanitizer
// build watches every access), and never delivers more than was asked for.
TEST(DataBlockCheckTest, RandomBlocksAreReadSafely) {
  std::mt19937_64 rng(77);
  const int64_t edges[] = {std::numeric_limits<int64_t>::min() + 1000, -1000, 0, 1000,
                           std::numeric_limits<int64_t>::max() - 100000,
                           std::numeric_limits<int64_t>::max() - 1000};
  auto time = [&]() { return edges[rng() % 6] + (static_cast<int64_t>(rng() % 2000) - 1000); };
  std::vector<int16_t> shorts(kMaxAdcSamples + 8);
  for (int round = 0; round < 300; ++round) {
    const int64_t divide = 1 + static_cast<int64_t>(rng() % (round % 3 == 0 ? 1000000 : 20));
    std::vector<orfxtest::ShortRun> runs;
    int64_t start = time();
    for (int r = 0, n = 1 + static_cast<int>(rng() % 4); r < n; ++r) {
      runs.push_back({start, std::vector<int16_t>(1 + rng() % 50, 1)});
      const int64_t step = static_cast<int64_t>(rng() % 5000);
      start = start > std::numeric_limits<int64_t>::max() - step ? start : start + step;
    }
    Bytes image = orfxtest::AdcBlock(kChan, runs);
    if (rng() % 2) image[16 + rng() % 400] = static_cast<uint8_t>(rng());
    CAdcBlock block(kChan, divide);
    if (Take(block, image) != kOk) continue;
    TReadRange r = Range(time(), time(), 1 + rng() % 300);
    const uint64_t asked = r.nMax;
    int16_t* p = shorts.data();
    TSTime64 tFirst = 0;
    const int n = block.ReadWaveS(p, r, &tFirst, nullptr);
    EXPECT_LE(static_cast<uint64_t>(n), asked);
    r = Range(time(), time(), 1 + rng() % 300);
    block.PrevNTime(r, nullptr);
    block.EndTime();
  }

  TChanHead head;
  head.kind = WaveMark;
  for (int round = 0; round < 300; ++round) {
    head.rows = static_cast<uint16_t>(1 + rng() % 6);
    head.cols = static_cast<uint16_t>(1 + rng() % 3);
    head.divide = 1 + static_cast<int64_t>(rng() % 1000);
    const uint32_t size = orfxtest::ExtMarkItemSize(6, head.rows, head.cols);
    std::vector<orfxtest::ExtMarkItem> items(1 + rng() % 6);
    int64_t t = time();
    for (auto& item : items) {
      item.time = t;
      const int64_t step = static_cast<int64_t>(rng() % 3000);
      t = t > std::numeric_limits<int64_t>::max() - step ? t : t + step;
    }
    CExtMarkBlock block(kChan, size);
    ASSERT_EQ(kOk, Take(block, orfxtest::ExtMarkBlock(kChan, size, items)));
    CMarkFilter column;
    column.SetColumn(static_cast<int>(rng() % 4));
    TReadRange r = Range(time(), time(), 1 + rng() % 40);
    r.pHead = &head;
    const uint64_t asked = r.nMax;
    int16_t* p = shorts.data();
    TSTime64 tFirst = 0;
    const int n = block.ReadWaveS(p, r, &tFirst, &column);
    EXPECT_LE(static_cast<uint64_t>(n), asked);
    r = Range(time(), time(), 1 + rng() % 40);
    block.PrevNWaveTime(r, nullptr, head.rows, head.divide);
  }
}

}  // namespace
}  // namespace vslk64
