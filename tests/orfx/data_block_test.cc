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

// Each row damages one field of a good block image (`bytes` wide at `at`;
// 0 leaves the image as built) and expects Validate's answer.
TEST(DataBlockCheckTest, RejectsHeadsAndRunsThatDoNotBelong) {
  const Bytes events = orfxtest::EventBlock(kChan, Times(0, 1, 5), 2);
  const Bytes adc = orfxtest::AdcBlock(kChan, {{0, {1, 2, 3}}, {100, {4}}});
  const uint32_t second = orfxtest::RunOffset(adc, 1, 2);
  CEventBlock event(kChan), other(kChan + 1);
  CMarkerBlock marker(kChan);
  CExtMarkBlock ext(kChan, 216);
  CAdcBlock wave(kChan, 10), huge(kChan, std::numeric_limits<int64_t>::max() / 2);
  const struct {
    const char* what;
    CDataBlock& block;
    Bytes image;
    uint16_t reuse;
    uint32_t at, bytes;
    int64_t value;
    int want;
  } cases[] = {
      {"good events", event, events, 2, 0, 0, 0, kOk},
      {"a stale block of earlier contents", event, events, 3, 0, 0, 0, kErrCorrupt},
      {"another channel's block", other, events, 2, 0, 0, 0, kErrCorrupt},
      {"level 1: an index block", event, events, 2, 0, 8, 0x10000 + 0x100, kErrCorrupt},
      {"more events than fit", event, events, 2, 12, 4, 8191, kErrCorrupt},
      {"more markers than fit", marker, orfxtest::MarkerBlock(kChan, {}), 0, 12, 4, 4096,
       kErrCorrupt},
      {"more records than fit", ext, orfxtest::ExtMarkBlock(kChan, 216, {}), 0, 12, 4, 304,
       kErrCorrupt},
      {"good runs", wave, adc, 0, 0, 0, 0, kOk},
      {"samples past the end", wave, adc, 0, second + 8, 4, (kDataBlockSize - second - 16) / 2 + 1,
       kErrCorrupt},
      {"an empty run", wave, adc, 0, second + 8, 4, 0, kErrCorrupt},
      {"a third run head beyond the data", wave, adc, 0, 12, 4, 3, kErrCorrupt},
      {"more runs than could fit", wave, adc, 0, 12, 4, 5000, kErrCorrupt},
      {"times overflow", wave, adc, 0, second, 8, std::numeric_limits<int64_t>::max() - 5,
       kErrCorrupt},
      {"a run starting before the first ends", wave, adc, 0, second, 8, 20, kErrCorrupt},
      {"a divide whose times overflow", huge, adc, 0, 0, 0, 0, kErrCorrupt},
  };
  for (const auto& c : cases) {
    Bytes b = c.image;
    if (c.bytes == 4) le::PutU32(b.data() + c.at, static_cast<uint32_t>(c.value));
    if (c.bytes == 8) le::PutI64(b.data() + c.at, c.value);
    EXPECT_EQ(Take(c.block, b, c.reuse), c.want) << c.what;
  }
}

// A load refuses positions no data block can have before reading, keeps a
// held block, writes a dirty one back first and empties a block it rejects.
TEST(DataBlockCheckTest, LoadChecksPositionWritesBackAndEmptiesRejectedBlocks) {
  orfxtest::OrfxImage image;
  const uint64_t a = image.AllocBlock(), b = image.AllocBlock();
  image.Put(a, orfxtest::EventBlock(kChan, Times(5, 5, 4), 1));
  image.Put(b, orfxtest::EventBlock(kChan, {30, 40}, 1));
  orfxtest::MemBlockIo io(&image);
  CEventBlock block(kChan);
  for (uint64_t pos : {a + 4096, b + kDataBlockSize, uint64_t{0}})    // off the grid, past the end,
    EXPECT_EQ(kErrCorrupt, LoadDataBlock(io, block, pos, 1)) << pos;  // the header block
  EXPECT_EQ(0, io.reads);
  ASSERT_EQ(kOk, LoadDataBlock(io, block, a, 1));
  EXPECT_EQ(a, block.FilePos());
  EXPECT_EQ(20, block.EndTime());
  ASSERT_EQ(kOk, LoadDataBlock(io, block, a, 1));
  EXPECT_EQ(1, io.reads);                 // held: not read again
  le::PutI64(block.Bytes() + 16 + 8, 7);  // an edit in memory
  block.SetDirty(true);
  ASSERT_EQ(kOk, LoadDataBlock(io, block, b, 1));
  EXPECT_EQ(1, io.writes);
  EXPECT_EQ(7, le::GetI64(image.At(a) + 16 + 8));
  EXPECT_FALSE(block.IsDirty());
  EXPECT_EQ(kErrCorrupt, LoadDataBlock(io, block, b, 2));  // the reuse stamp no longer matches
  EXPECT_EQ(0u, block.Items());
  EXPECT_EQ(0u, block.FilePos());
}

}  // namespace
}  // namespace vslk64
