#include "filelib/orfx/data_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "filelib/le.h"
#include "filelib/status.h"
#include "tests/builder/orfx/orfx_block_builder.h"
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

std::vector<int64_t> Times(int64_t first, int64_t step, int n) {
  std::vector<int64_t> t;
  for (int i = 0; i < n; ++i) t.push_back(first + step * i);
  return t;
}

orfxtest::MarkerItem Mark(int64_t t, uint8_t c0, uint8_t c1 = 0) {
  orfxtest::MarkerItem m;
  m.time = t;
  m.code[0] = c0;
  m.code[1] = c1;
  return m;
}

CMarkFilter OnlyCode(int code) {
  CMarkFilter f;
  f.SetItem(0, -1, 0);
  f.SetItem(0, code, 1);
  return f;
}

// --- Event, marker and extended-marker blocks --------------------------------

TEST(EventBlockTest, ReadsTimesInRangeAndClosesAtTUpto) {
  CEventBlock block(kChan);
  ASSERT_EQ(kOk, Take(block, orfxtest::EventBlock(kChan, Times(10, 10, 10))));  // 10..100
  TSTime64 out[16] = {};
  TSTime64* p = out;
  TReadRange r = Range(25, 75, 100);
  EXPECT_EQ(5, block.ReadEvents(p, r, nullptr));
  EXPECT_EQ(out + 5, p);
  EXPECT_EQ(30, out[0]);
  EXPECT_EQ(70, out[4]);
  EXPECT_EQ(95u, r.nMax);
  EXPECT_FALSE(r.IsOpen());  // stopped by 80, nothing later is wanted
}

TEST(EventBlockTest, LeavesRangeOpenAtBlockEndAndStopsAtNMax) {
  CEventBlock block(kChan);
  ASSERT_EQ(kOk, Take(block, orfxtest::EventBlock(kChan, Times(10, 10, 10))));
  TSTime64 out[16];
  TSTime64* p = out;
  TReadRange tail = Range(95, 1000, 100);
  EXPECT_EQ(1, block.ReadEvents(p, tail, nullptr));
  EXPECT_TRUE(tail.IsOpen());  // the next block may hold more
  TReadRange later = Range(200, 1000, 100);
  EXPECT_EQ(0, block.ReadEvents(p, later, nullptr));
  EXPECT_TRUE(later.IsOpen());
  TReadRange few = Range(0, 1000, 3);
  p = out;
  EXPECT_EQ(3, block.ReadEvents(p, few, nullptr));
  EXPECT_EQ(30, out[2]);
  EXPECT_EQ(0u, few.nMax);
}

TEST(EventBlockTest, EmptyBlockClosesRangeAndFilterOnlyStopsAll) {
  CEventBlock empty(kChan);
  TSTime64 out[16];
  TSTime64* p = out;
  TReadRange r = Range(0, 1000, 10);
  EXPECT_EQ(0, empty.ReadEvents(p, r, nullptr));
  EXPECT_FALSE(r.IsOpen());
  EXPECT_EQ(-1, empty.EndTime());

  CEventBlock block(kChan);
  ASSERT_EQ(kOk, Take(block, orfxtest::EventBlock(kChan, Times(10, 10, 10))));
  CMarkFilter none;
  none.SetItem(-1, -1, 0);
  r = Range(0, 1000, 10);
  EXPECT_EQ(0, block.ReadEvents(p, r, &none));
  const CMarkFilter some = OnlyCode(3);  // events carry no codes
  EXPECT_EQ(10, block.ReadEvents(p, r, &some));
  EXPECT_EQ(100, block.EndTime());
}

TEST(EventBlockTest, PrevNTimeStepsBackOverItems) {
  CEventBlock block(kChan);
  ASSERT_EQ(kOk, Take(block, orfxtest::EventBlock(kChan, Times(10, 10, 10))));
  TReadRange r = Range(0, 51, 1);
  EXPECT_EQ(50, block.PrevNTime(r, nullptr));  // just after an event: that event
  r = Range(0, 50, 3);
  EXPECT_EQ(20, block.PrevNTime(r, nullptr));
  r = Range(25, 50, 3);
  EXPECT_EQ(-1, block.PrevNTime(r, nullptr));  // 20 is before tFrom
  EXPECT_EQ(0u, r.nMax);
  r = Range(0, 50, 6);  // four here, two more wanted before the block
  EXPECT_EQ(-1, block.PrevNTime(r, nullptr));
  EXPECT_EQ(2u, r.nMax);
  EXPECT_EQ(10, r.tUpto);
  r = Range(0, 10, 1);
  EXPECT_EQ(-1, block.PrevNTime(r, nullptr));  // nothing before the block's first item
  EXPECT_EQ(1u, r.nMax);
}

TEST(MarkerBlockTest, ReadsMarkersAndTimesThroughFilter) {
  CMarkerBlock block(kChan);
  ASSERT_EQ(kOk, Take(block, orfxtest::MarkerBlock(kChan, {Mark(10, 1), Mark(20, 3, 9), Mark(30, 2),
                                                           Mark(40, 3), Mark(50, 4)})));
  const CMarkFilter only3 = OnlyCode(3);
  TMarker out[8] = {};
  TMarker* p = out;
  TReadRange r = Range(0, 1000, 10);
  EXPECT_EQ(2, block.ReadMarkers(p, r, &only3));
  EXPECT_EQ(20, out[0].time);
  EXPECT_EQ(9, out[0].code[1]);
  EXPECT_EQ(40, out[1].time);
  EXPECT_TRUE(r.IsOpen());  // the block ended the walk

  TSTime64 times[8];
  TSTime64* q = times;
  r = Range(15, 45, 10);
  EXPECT_EQ(3, block.ReadEvents(q, r, nullptr));
  EXPECT_EQ(40, times[2]);
  EXPECT_EQ(4, block.LastCode());
  EXPECT_EQ(4095u, block.MaxItems());

  int16_t s[4];
  int16_t* ps = s;
  uint8_t bytes[64];
  uint8_t* pb = bytes;
  EXPECT_EQ(kErrWrongKind, block.ReadWaveS(ps, r, nullptr, nullptr));
  EXPECT_EQ(kErrWrongKind, block.ReadExtMarks(pb, r, nullptr));
}

TEST(MarkerBlockTest, FilteredPrevNTimeCountsOnlyPassingItems) {
  CMarkerBlock block(kChan);
  ASSERT_EQ(kOk, Take(block, orfxtest::MarkerBlock(kChan, {Mark(10, 3), Mark(20, 1), Mark(30, 3),
                                                           Mark(40, 1), Mark(50, 1)})));
  const CMarkFilter only3 = OnlyCode(3);
  TReadRange r = Range(0, 60, 2);
  EXPECT_EQ(10, block.PrevNTime(r, &only3));
  r = Range(15, 60, 2);
  EXPECT_EQ(-1, block.PrevNTime(r, &only3));  // 10 lies before tFrom
  r = Range(0, 60, 5);
  EXPECT_EQ(-1, block.PrevNTime(r, &only3));
  EXPECT_EQ(3u, r.nMax);
  EXPECT_EQ(10, r.tUpto);
}

TEST(ExtMarkBlockTest, CapacityFollowsItemSize) {
  EXPECT_EQ(216u, orfxtest::ExtMarkItemSize(6, 100, 1));
  EXPECT_EQ(303u, CExtMarkBlock(kChan, 216).MaxItems());
  EXPECT_EQ(32u, orfxtest::ExtMarkItemSize(8, 10, 1));
  EXPECT_EQ(2047u, CExtMarkBlock(kChan, 32).MaxItems());
  EXPECT_EQ(0u, CExtMarkBlock(kChan, 20).MaxItems());  // not a multiple of 8
}

TEST(ExtMarkBlockTest, ReadsWholeRecordsAndTheirMarkerPart) {
  const uint32_t size = orfxtest::ExtMarkItemSize(8, 10, 1);
  orfxtest::ExtMarkItem a;
  a.time = 100;
  a.code[0] = 5;
  a.payload = {'h', 'i'};
  orfxtest::ExtMarkItem b = a;
  b.time = 200;
  b.payload = {'y', 'o', 'u'};
  CExtMarkBlock block(kChan, size);
  ASSERT_EQ(kOk, Take(block, orfxtest::ExtMarkBlock(kChan, size, {a, b})));

  std::vector<uint8_t> out(3 * size, 0xEE);
  uint8_t* p = out.data();
  TReadRange r = Range(0, 1000, 10);
  EXPECT_EQ(2, block.ReadExtMarks(p, r, nullptr));
  EXPECT_EQ(out.data() + 2 * size, p);
  TSTime64 t;
  std::memcpy(&t, out.data() + size, sizeof t);
  EXPECT_EQ(200, t);
  EXPECT_EQ(5, out[size + 8]);
  EXPECT_EQ(0, std::memcmp(out.data() + size + 16, "you", 3));
  EXPECT_EQ(0xEE, out[2 * size]);  // nothing past the records

  TMarker m[2];
  TMarker* pm = m;
  r = Range(150, 1000, 10);
  EXPECT_EQ(1, block.ReadMarkers(pm, r, nullptr));
  EXPECT_EQ(200, m[0].time);
  EXPECT_EQ(5, m[0].code[0]);
}

// Kind-6 records of 4 points, 2 traces, 10 ticks apart, at 0, 40, 80 (one
// contiguous stretch 0..110) and 200 (after a gap). Trace 1 holds the point
// time / 10 + 1000, trace 0 its negative.
class WaveMarkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    head_.kind = WaveMark;
    head_.rows = 4;
    head_.cols = 2;
    head_.divide = 10;
    head_.itemSize = orfxtest::ExtMarkItemSize(6, 4, 2);
    std::vector<orfxtest::ExtMarkItem> items;
    for (int64_t t : {0, 40, 80, 200}) {
      orfxtest::ExtMarkItem item;
      item.time = t;
      item.code[0] = t == 40 ? 2 : 1;
      std::vector<std::vector<int16_t>> traces(2);
      for (int p = 0; p < 4; ++p) {
        const int16_t v = static_cast<int16_t>((t + 10 * p) / 10 + 1000);
        traces[0].push_back(static_cast<int16_t>(-v));
        traces[1].push_back(v);
      }
      item.payload = orfxtest::WaveMarkPayload(traces);
      items.push_back(item);
    }
    ASSERT_EQ(kOk, Take(block_, orfxtest::ExtMarkBlock(kChan, head_.itemSize, items)));
    column1_.SetColumn(1);
  }

  TReadRange WaveRange(TSTime64 from, TSTime64 upto, uint64_t max) {
    TReadRange r = Range(from, upto, max);
    r.pHead = &head_;
    return r;
  }

  TChanHead head_;
  CExtMarkBlock block_{kChan, orfxtest::ExtMarkItemSize(6, 4, 2)};
  CMarkFilter column1_;
  int16_t out_[64] = {};
  TSTime64 tFirst_ = -5;
};

TEST_F(WaveMarkTest, ReadsOneTraceUpToTheGap) {
  int16_t* p = out_;
  TReadRange r = WaveRange(0, kMaxTime64, 100);
  EXPECT_EQ(12, block_.ReadWaveS(p, r, &tFirst_, &column1_));
  EXPECT_EQ(0, tFirst_);
  EXPECT_EQ(1000, out_[0]);
  EXPECT_EQ(1011, out_[11]);
  EXPECT_EQ(120, r.tFrom);
  r = WaveRange(120, kMaxTime64, 100);  // a fresh read finds the data after the gap
  p = out_;
  EXPECT_EQ(4, block_.ReadWaveS(p, r, &tFirst_, nullptr));
  EXPECT_EQ(200, tFirst_);
  EXPECT_EQ(-1020, out_[0]);  // trace 0 without a filter
}

TEST_F(WaveMarkTest, StartsBetweenPointsAndStopsBeforeTUpto) {
  int16_t* p = out_;
  TReadRange r = WaveRange(15, 60, 100);
  EXPECT_EQ(4, block_.ReadWaveS(p, r, &tFirst_, &column1_));  // 20, 30, 40, 50
  EXPECT_EQ(20, tFirst_);
  EXPECT_EQ(1002, out_[0]);
  EXPECT_EQ(1005, out_[3]);
  EXPECT_FALSE(r.IsOpen());
}

TEST_F(WaveMarkTest, FilterSkipsRecordsAndEndsAtTheHole) {
  const CMarkFilter only1 = OnlyCode(1);  // the record at 40 is rejected
  int16_t* p = out_;
  TReadRange r = WaveRange(0, kMaxTime64, 100);
  EXPECT_EQ(4, block_.ReadWaveS(p, r, &tFirst_, &only1));
  EXPECT_EQ(40, r.tFrom);
}

TEST_F(WaveMarkTest, RefusesOtherKindsAndShapesThatDoNotFit) {
  int16_t* p = out_;
  TReadRange r = Range(0, kMaxTime64, 100);
  EXPECT_EQ(0, block_.ReadWaveS(p, r, &tFirst_, nullptr));  // no header
  r = WaveRange(0, kMaxTime64, 100);
  head_.kind = RealMark;
  EXPECT_EQ(kErrWrongKind, block_.ReadWaveS(p, r, &tFirst_, nullptr));
  head_.kind = WaveMark;
  head_.rows = 40;  // 40 x 2 points do not fit a 32-byte record
  EXPECT_EQ(kErrCorrupt, block_.ReadWaveS(p, r, &tFirst_, nullptr));
  head_.rows = 4;
  head_.divide = 0;
  EXPECT_EQ(kErrCorrupt, block_.ReadWaveS(p, r, &tFirst_, nullptr));
  EXPECT_EQ(p, out_);
}

TEST_F(WaveMarkTest, PrevNWaveTimeStepsBackOverContiguousPoints) {
  TReadRange r = Range(0, 120, 5);  // 110, 100, 90, 80, 70
  EXPECT_EQ(70, block_.PrevNWaveTime(r, nullptr, 4, 10));
  EXPECT_EQ(0u, r.nMax);
  r = Range(0, 230, 10);  // 200..220, then a gap before 200
  EXPECT_EQ(200, block_.PrevNWaveTime(r, nullptr, 4, 10));
  EXPECT_EQ(0u, r.nMax);
  r = Range(65, 120, 100);  // never earlier than tFrom: 70 is the earliest point
  EXPECT_EQ(70, block_.PrevNWaveTime(r, nullptr, 4, 10));
  r = Range(75, 120, 100);  // the record at 40 ends before tFrom
  EXPECT_EQ(80, block_.PrevNWaveTime(r, nullptr, 4, 10));
  r = Range(0, 120, 5);
  EXPECT_EQ(kErrWrongKind, block_.PrevNWaveTime(r, nullptr, 0, 10));
  EXPECT_EQ(kErrWrongKind, block_.PrevNWaveTime(r, nullptr, 4, 0));
  r = Range(-100, 0, 5);
  EXPECT_EQ(-1, block_.PrevNWaveTime(r, nullptr, 4, 10));  // nothing before the first record
}

// --- Waveform blocks -----------------------------------------------------------

// Runs at 100 (10 samples, 100..190) and 300 (5 samples, after a gap),
// divide 10; sample values are time / 10.
class AdcBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    orfxtest::ShortRun a{100, {}};
    for (int i = 0; i < 10; ++i) a.samples.push_back(static_cast<int16_t>(10 + i));
    orfxtest::ShortRun b{300, {30, 31, 32, 33, 34}};
    image_ = orfxtest::AdcBlock(kChan, {a, b});
    ASSERT_EQ(kOk, Take(block_, image_));
  }

  int Read(TReadRange& r) {
    int16_t* p = out_;
    const int n = block_.ReadWaveS(p, r, &tFirst_, nullptr);
    EXPECT_EQ(out_ + (n > 0 ? n : 0), p);
    return n;
  }

  Bytes image_;
  CAdcBlock block_{kChan, 10};
  int16_t out_[64] = {};
  TSTime64 tFirst_ = -5;
};

TEST_F(AdcBlockTest, ReadStopsAtGapInsideBlockAndContinuesAfterIt) {
  TReadRange r = Range(0, kMaxTime64, 100);
  EXPECT_EQ(10, Read(r));
  EXPECT_EQ(100, tFirst_);
  EXPECT_EQ(19, out_[9]);
  EXPECT_EQ(0u, r.nMax);
  EXPECT_FALSE(r.IsOpen());

  r = Range(200, kMaxTime64, 100);
  EXPECT_EQ(5, Read(r));
  EXPECT_EQ(300, tFirst_);
  EXPECT_EQ(350, r.tFrom);
  EXPECT_TRUE(r.IsOpen());  // the last run: the next block may continue it
  EXPECT_EQ(340, block_.EndTime());

  CAdcBlock empty(kChan, 10);
  int16_t* p = out_;
  r = Range(0, 1000, 10);
  EXPECT_EQ(0, empty.ReadWaveS(p, r, &tFirst_, nullptr));
  EXPECT_FALSE(r.IsOpen());
}

TEST_F(AdcBlockTest, ReadFromBetweenSamplesAndUpToASampleTime) {
  TReadRange r = Range(101, kMaxTime64, 100);
  EXPECT_EQ(9, Read(r));
  EXPECT_EQ(110, tFirst_);
  EXPECT_EQ(11, out_[0]);

  r = Range(100, 150, 100);  // 150 itself is not delivered
  EXPECT_EQ(5, Read(r));
  EXPECT_EQ(14, out_[4]);
  EXPECT_EQ(150, r.tFrom);
  EXPECT_FALSE(r.IsOpen());

  r = Range(120, kMaxTime64, 3);
  EXPECT_EQ(3, Read(r));
  EXPECT_EQ(150, r.tFrom);
}

TEST_F(AdcBlockTest, ContinuationMustStartExactlyAtTFrom) {
  TReadRange r = Range(250, kMaxTime64, 100);
  r.ClearFirst();  // the previous block ended at 240: 300 is a gap
  EXPECT_EQ(0, Read(r));
  EXPECT_EQ(0u, r.nMax);
  EXPECT_FALSE(r.IsOpen());

  r = Range(105, kMaxTime64, 100);
  r.ClearFirst();  // not on the sample grid of the run
  EXPECT_EQ(0, Read(r));
  EXPECT_EQ(0u, r.nMax);

  r = Range(150, kMaxTime64, 100);
  r.ClearFirst();
  tFirst_ = -5;
  EXPECT_EQ(5, Read(r));
  EXPECT_EQ(-5, tFirst_);  // only the first delivery reports its time
}

TEST_F(AdcBlockTest, PrevNTimeStepsBackOverContiguousSamples) {
  TReadRange r = Range(0, 341, 3);
  EXPECT_EQ(320, block_.PrevNTime(r, nullptr));
  EXPECT_EQ(320, r.tUpto);
  r = Range(0, 341, 10);  // only five before the gap
  EXPECT_EQ(300, block_.PrevNTime(r, nullptr));
  EXPECT_EQ(0u, r.nMax);
  r = Range(0, 150, 2);
  EXPECT_EQ(130, block_.PrevNTime(r, nullptr));
  r = Range(0, 150, 8);  // the block's first run: the search may go on before it
  EXPECT_EQ(100, block_.PrevNTime(r, nullptr));
  EXPECT_EQ(3u, r.nMax);
  r = Range(135, 150, 10);
  EXPECT_EQ(140, block_.PrevNTime(r, nullptr));
  r = Range(142, 145, 1);  // no sample lies in [142, 145)
  EXPECT_EQ(-1, block_.PrevNTime(r, nullptr));
  r = Range(0, 250, 2);
  r.ClearFirst();  // continuing: the samples end at 190, not at 250
  EXPECT_EQ(250, block_.PrevNTime(r, nullptr));
  EXPECT_EQ(0u, r.nMax);
  r = Range(0, 100, 2);
  EXPECT_EQ(-1, block_.PrevNTime(r, nullptr));
}

TEST(RealWaveBlockTest, ReadsFloatSamplesAcrossOneRun) {
  orfxtest::FloatRun run{0, {0.5f, -1.25f, 3.0f}};
  CRealWaveBlock block(kChan, 4);
  ASSERT_EQ(kOk, Take(block, orfxtest::RealWaveBlock(kChan, {run})));
  float out[4] = {};
  float* p = out;
  TSTime64 tFirst = -1;
  TReadRange r = Range(1, kMaxTime64, 10);
  EXPECT_EQ(2, block.ReadWaveF(p, r, &tFirst, nullptr));
  EXPECT_EQ(4, tFirst);
  EXPECT_EQ(-1.25f, out[0]);
  EXPECT_EQ(3.0f, out[1]);
  EXPECT_EQ(8, block.EndTime());
  int16_t s[2];
  int16_t* ps = s;
  EXPECT_EQ(kErrWrongKind, block.ReadWaveS(ps, r, &tFirst, nullptr));
}

TEST(WaveBlockTest, SingleRunCapacities) {
  orfxtest::ShortRun shorts{0, std::vector<int16_t>(32752, 1)};
  CAdcBlock adc(kChan, 1);
  EXPECT_EQ(32752u, adc.MaxItems());
  EXPECT_EQ(kOk, Take(adc, orfxtest::AdcBlock(kChan, {shorts})));
  EXPECT_EQ(32751, adc.EndTime());
  orfxtest::FloatRun floats{0, std::vector<float>(16376, 1.0f)};
  CRealWaveBlock real(kChan, 1);
  EXPECT_EQ(16376u, real.MaxItems());
  EXPECT_EQ(kOk, Take(real, orfxtest::RealWaveBlock(kChan, {floats})));
  EXPECT_EQ(8190u, CEventBlock(kChan).MaxItems());
}

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

TEST(NewDataBlockTest, ChoosesTheClassOfTheKindAndRefusesUnusableShapes) {
  TChanHead head;
  head.kind = Adc;
  head.divide = 10;
  EXPECT_NE(nullptr, dynamic_cast<CAdcBlock*>(NewDataBlock(kChan, head).get()));
  head.kind = Level;
  EXPECT_NE(nullptr, dynamic_cast<CMarkerBlock*>(NewDataBlock(kChan, head).get()));
  head.kind = TextMark;
  head.itemSize = 65528;  // not one record fits
  EXPECT_EQ(nullptr, NewDataBlock(kChan, head));
  head.kind = RealWave;
  head.divide = 0;
  EXPECT_EQ(nullptr, NewDataBlock(kChan, head));
}

}  // namespace
}  // namespace vslk64
