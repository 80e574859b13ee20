#include "filelib/orfx/data_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
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

}  // namespace
}  // namespace vslk64
