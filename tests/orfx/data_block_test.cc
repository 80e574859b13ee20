// Data blocks: the checks on blocks read from the file and their loading,
// and appending to, overwriting and editing them, with what is written read
// back through the blocks' own forward reads. Blocks filled and emptied, and
// extended markers, are the channel models' (buffered_model_test.cc,
// write_test.cc); reads and backward searches within waveform blocks are
// checked through the channel, against a model of its samples
// (channel_read_test.cc).
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

using chantest::Times;

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
    std::memcpy(c.block.Bytes(), c.image.data(), kDataBlockSize);  // as read from the file
    if (c.bytes == 4) le::PutU32(c.block.Bytes() + c.at, static_cast<uint32_t>(c.value));
    if (c.bytes == 8) le::PutI64(c.block.Bytes() + c.at, c.value);
    c.block.ForgetLastRun();
    EXPECT_EQ(c.block.Validate(c.reuse), c.want) << c.what;
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

// --- Writing to blocks ------------------------------------------------------------

std::vector<int16_t> Ramp(int16_t first, size_t n) {
  std::vector<int16_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<int16_t>(first + i);
  return v;
}

// Appends all of v at t and expects the input pointer to move by the count.
int Append(CDataBlock& block, const std::vector<int16_t>& v, TSTime64 t) {
  const int16_t* p = v.data();
  const int m = block.AddWaveS(p, v.size(), t);
  EXPECT_EQ(v.data() + (m > 0 ? m : 0), p);
  return m;
}

// The samples of one contiguous stretch from `from`, as a read delivers them.
std::vector<int16_t> Stretch(CDataBlock& block, TSTime64 from) {
  std::vector<int16_t> out(kMaxAdcSamples);
  int16_t* p = out.data();
  TReadRange r(from, kMaxTime64, out.size());
  out.resize(static_cast<size_t>(block.ReadWaveS(p, r, nullptr, nullptr)));
  return out;
}

// An append writes the items it counts and not one byte of room beyond.
TEST(ItemAppendTest, AppendWritesOnlyTheRoomItTakes) {
  CEventBlock block(kChan);
  const TSTime64 times[] = {10, 20, 30, 40};
  const TSTime64* in = times;
  const uint8_t* slot3 = block.Bytes() + kItemAreaAt + 3 * sizeof(TSTime64);
  std::vector<uint8_t> before(slot3, slot3 + sizeof(TSTime64));
  EXPECT_EQ(3, block.AddEvents(in, 3));
  EXPECT_EQ(times + 3, in);
  EXPECT_EQ(before, std::vector<uint8_t>(slot3, slot3 + sizeof(TSTime64)));
}

TEST(WaveAppendTest, ContinuesTheLastRunOrOpensANewOneAfterIt) {
  const struct {
    TSTime64 t;
    int m;
    uint32_t runs;
  } cases[] = {
      {200, 4, 1},  // one divide after the last sample (190): the run grows
      {210, 4, 2},  // a gap: a new run
      {195, 4, 2},  // after the last sample but off its grid: a new run
      {190, 0, 1},  // not after the stored samples
      {50, 0, 1},
  };
  for (const auto& c : cases) {
    CAdcBlock block(kChan, 10);
    ASSERT_EQ(10, Append(block, Ramp(0, 10), 100));
    EXPECT_EQ(c.m, Append(block, Ramp(10, 4), c.t)) << c.t;
    EXPECT_EQ(c.runs, block.Items()) << c.t;
    if (c.m == 0) continue;
    EXPECT_EQ(c.t + 30, block.EndTime());
    EXPECT_EQ(kOk, block.Validate(0)) << c.t;
    // A grown run reads back in one piece; a new one after the first stops.
    EXPECT_EQ(c.runs == 1 ? Ramp(0, 14) : Ramp(0, 10), Stretch(block, 100)) << c.t;
    EXPECT_EQ(Ramp(10, 4), Stretch(block, c.t)) << c.t;
  }
}

TEST(WaveAppendTest, NewRunNeedsAHeadAndASampleOfRoom) {
  const struct {
    int firstRun;  // samples of the run at the start of the block
    bool extend;   // the append continues it
    int m;         // of 10 samples offered
  } cases[] = {
      {32744, false, 0},  // 16 bytes after the rounded run: a head, no sample
      {32744, true, 8},   // the run itself may still fill those 16 bytes
      {32740, false, 4},  // 24 bytes: a head and four samples
      {32752, true, 0},   // a single run filling the block
  };
  for (const auto& c : cases) {
    CAdcBlock block(kChan, 1);
    ASSERT_EQ(c.firstRun, Append(block, Ramp(0, c.firstRun), 0));
    const TSTime64 t = c.extend ? c.firstRun : c.firstRun + 5;
    EXPECT_EQ(c.m, Append(block, Ramp(0, 10), t)) << c.firstRun << " " << c.extend;
    EXPECT_EQ(c.m > 0 && !c.extend ? 2u : 1u, block.Items());
    EXPECT_EQ(kOk, block.Validate(0));
  }
}

TEST(WaveAppendTest, TimesNearTheTickLimitAreNotWrapped) {
  CAdcBlock block(kChan, 10);
  const TSTime64 t = std::numeric_limits<TSTime64>::max() - 25;
  EXPECT_EQ(2, Append(block, Ramp(0, 10), t));  // t and t + 10; t + 20 still a tick time
  EXPECT_EQ(0, Append(block, Ramp(0, 10), t + 20));
  EXPECT_EQ(0, Append(block, Ramp(0, 10), t + 24));
  EXPECT_EQ(t + 10, block.EndTime());
  EXPECT_EQ(kOk, block.Validate(0));
}

TEST(WaveChangeTest, OverwritesInsideTheBlockSpanOnly) {
  // Runs 100..190 (values 0..9) and 300..340 (values 10..14), divide 10;
  // input sample k holds 100 + k.
  const struct {
    TSTime64 t;
    uint64_t n;
    int result;
    uint64_t first;
    std::vector<int16_t> run1, run2;
  } cases[] = {
      {80, 30, 25, 2, Ramp(102, 10), Ramp(122, 5)},  // across the gap and past the end
      {150, 16, 16, 0, {0, 1, 2, 3, 4, 100, 101, 102, 103, 104}, {115, 11, 12, 13, 14}},
      {120, 3, 3, 0, {0, 1, 100, 101, 102, 5, 6, 7, 8, 9}, Ramp(10, 5)},
      {350, 5, 0, 99, Ramp(0, 10), Ramp(10, 5)},  // after the last sample
      {0, 5, -1, 99, Ramp(0, 10), Ramp(10, 5)},   // wholly before the first run
  };
  const std::vector<int16_t> input = Ramp(100, 40);
  for (const auto& c : cases) {
    CAdcBlock block(kChan, 10);
    Append(block, Ramp(0, 10), 100);
    Append(block, Ramp(10, 5), 300);
    block.SetDirty(false);
    uint64_t first = 99;
    EXPECT_EQ(c.result, block.ChangeWaveS(input.data(), c.n, c.t, &first)) << c.t;
    EXPECT_EQ(c.first, first) << c.t;
    EXPECT_EQ(c.result > 0, block.IsDirty()) << c.t;
    EXPECT_EQ(c.run1, Stretch(block, 100)) << c.t;
    EXPECT_EQ(c.run2, Stretch(block, 300)) << c.t;
  }
  EXPECT_EQ(-1, CRealWaveBlock(kChan, 10).ChangeWaveF(nullptr, 2, 0, nullptr));  // empty
}

// Edits of the extended marker at 20 change codes and payload, never the
// time, and the others not at all.
TEST(MarkerEditTest, ChangesCodesAndPayloadButNeverTheTime) {
  constexpr size_t kSize = 24;
  CExtMarkBlock block(kChan, kSize);
  uint8_t want[3 * kSize] = {}, edit[kSize], got[3 * kSize];
  for (size_t i = 0; i < 3; ++i) {
    const TSTime64 t = 10 * static_cast<TSTime64>(i + 1);
    std::memcpy(want + i * kSize, &t, sizeof t);
    want[i * kSize + 8] = static_cast<uint8_t>(i + 1);
  }
  for (size_t i = 0; i < kSize; ++i) edit[i] = static_cast<uint8_t>(0xA0 + i);  // the time too
  const uint8_t* in = want;
  ASSERT_EQ(3, block.AddExtMarks(in, 3));
  const struct {
    TSTime64 t;
    uint64_t bytes;
    int result;
    bool dirty;
  } cases[] = {
      {20, 8, 1, false},  // found; nothing to copy
      {25, kSize, 0, false}, {5, kSize, 0, false},
      {40, kSize, 0, false}, {20, kSize + 1, kErrBadArg, false},
      {20, 12, 1, true},     {20, kSize, 1, true},
      {20, kSize, 1, false},  // the same bytes again
  };
  for (const auto& c : cases) {
    block.SetDirty(false);
    EXPECT_EQ(c.result, block.EditMarker(c.t, edit, c.bytes)) << c.t << " " << c.bytes;
    EXPECT_EQ(c.dirty, block.IsDirty()) << c.t << " " << c.bytes;
    if (c.result == 1 && c.bytes > 8) std::memcpy(want + kSize + 8, edit + 8, c.bytes - 8);
    uint8_t* out = got;
    TReadRange r(0, kMaxTime64, 3);
    ASSERT_EQ(3, block.ReadExtMarks(out, r, nullptr));
    EXPECT_EQ(0, std::memcmp(got, want, sizeof got)) << c.t << " " << c.bytes;
  }
}

}  // namespace
}  // namespace vslk64
