// Analog entities through the exports, and the conversions between index and
// time on waveform and item entities: the before, closest and after rules,
// gaps and chunk boundaries, the time span and the tick floor.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_errors.h"
#include "neuroshare/ns_file_table.h"
#include "tests/neuroshare/memory_recording.h"

namespace nsv {
namespace {

using nsv_test::MemoryRecording;
using nsv_test::OpenInLayer;
using vslk64::TSTime64;

std::vector<int16_t> Ramp(size_t n, int16_t first = 0) {
  std::vector<int16_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<int16_t>(first + static_cast<int>(i % 30000));
  return v;
}

std::vector<TSTime64> Every(TSTime64 step, size_t n, TSTime64 first = 0) {
  std::vector<TSTime64> times(n);
  for (size_t i = 0; i < n; ++i) times[i] = first + step * static_cast<TSTime64>(i);
  return times;
}

// Entities of the recording below (1 us ticks).
enum : uint32_t {
  kOneRun,     // Adc: 100 samples at 1000, 1010, ..., 1990; scale 2, offset 1
  kTwoRuns,    // Adc: 100 samples at 0..990, then 100 at 5000..5990
  kEvents,     // EventA at 100, 200, 300
  kLong,       // Adc: 70000 contiguous samples at 0, 10, ..., then 20 after a gap
  kReal,       // RealWave: 0.25, 0.5, 0.75 at 0, 4, 8
  kManyEvents, // EventA: 8001 events every 10 ticks
};

class Analog : public ::testing::Test {
 protected:
  void SetUp() override {
    NsCloseAllFiles();
    auto rec = std::make_unique<MemoryRecording>();
    MemoryRecording& r = *rec;
    r.AddAdc(0, 10, 2.0, 1.0).units = "mV";
    r.Chan(0).comment = "left arm";
    r.Chan(0).yLow = -5;
    r.Chan(0).yHigh = 7;
    r.AddRun(0, 1000, Ramp(100));
    r.AddAdc(1, 10);
    r.AddRun(1, 0, Ramp(100));
    r.AddRun(1, 5000, Ramp(100, 500));
    r.AddEvents(2, vslk64::EventA, {100, 200, 300});
    r.AddAdc(3, 10);
    r.AddRun(3, 0, Ramp(70000));
    r.AddRun(3, 1000000, Ramp(20, 7));
    r.AddRealWave(4, 4);
    r.AddRealRun(4, 0, {0.25f, 0.5f, 0.75f});
    r.AddEvents(5, vslk64::EventA, Every(10, 8001));
    file_ = &r;
    handle_ = OpenInLayer(std::move(rec));
    ASSERT_NE(handle_, 0u);
  }
  void TearDown() override { NsCloseAllFiles(); }

  // The index for ticks (1 us each) under each rule: before, closest, after.
  std::vector<int64_t> Rules(uint32_t entity, double ticks) {
    std::vector<int64_t> found;
    for (int32_t flag : {ns_BEFORE, ns_CLOSEST, ns_AFTER}) {
      uint32_t index = 12345;
      const ns_RESULT r = ns_GetIndexByTime(handle_, entity, ticks * 1e-6, flag, &index);
      found.push_back(r == ns_OK ? static_cast<int64_t>(index) : r);
    }
    return found;
  }

  MemoryRecording* file_ = nullptr;
  uint32_t handle_ = 0;
};

using Want = std::vector<int64_t>;

TEST_F(Analog, WaveformRulesWithinARun) {
  file_->ResetReads();
  EXPECT_EQ(Rules(kOneRun, 1000), (Want{0, 0, 0}));
  EXPECT_EQ(Rules(kOneRun, 1004), (Want{0, 0, 1}));
  EXPECT_EQ(Rules(kOneRun, 1005), (Want{0, 1, 1}));
  EXPECT_EQ(Rules(kOneRun, 500), (Want{0, 0, 0}));
  EXPECT_EQ(Rules(kOneRun, 1990), (Want{99, 99, 99}));
  EXPECT_EQ(Rules(kOneRun, 1995), (Want{ns_BADINDEX, ns_BADINDEX, ns_BADINDEX}));
  EXPECT_STREQ(NsLastMessage(),
               "Bad index or time (0d) for entity 0d passed to function GetIndexByTime");
  EXPECT_EQ(file_->TotalReads(), 0) << "sample times need no read";
}

TEST_F(Analog, WaveformRulesInAGap) {
  EXPECT_EQ(Rules(kTwoRuns, 1200), (Want{99, 99, 100}));
  EXPECT_EQ(Rules(kTwoRuns, 4000), (Want{99, 100, 100}));
  EXPECT_EQ(Rules(kTwoRuns, 2995), (Want{99, 100, 100})) << "equally near: the later";
  EXPECT_EQ(Rules(kTwoRuns, 5000), (Want{100, 100, 100}));
}

TEST_F(Analog, ItemRules) {
  EXPECT_EQ(Rules(kEvents, 150), (Want{0, 1, 1}));
  EXPECT_EQ(Rules(kEvents, 149), (Want{0, 0, 1}));
  EXPECT_EQ(Rules(kEvents, 200), (Want{1, 1, 1}));
  EXPECT_EQ(Rules(kEvents, 10), (Want{0, 0, 0}));
  EXPECT_EQ(Rules(kEvents, 300), (Want{2, 2, 2}));
  EXPECT_EQ(Rules(kEvents, 301), (Want{ns_BADINDEX, ns_BADINDEX, ns_BADINDEX}));
  // Between the chunks of 4000 items: 39990 ends the first, 40000 starts the next.
  EXPECT_EQ(Rules(kManyEvents, 39995), (Want{3999, 4000, 4000}));
  EXPECT_EQ(Rules(kManyEvents, 39994), (Want{3999, 3999, 4000}));
  EXPECT_EQ(Rules(kManyEvents, 79999), (Want{7999, 8000, 8000}));
}

TEST_F(Analog, TimesAreClampedToTheSpanAndFloored) {
  // The span ends with the last sample of kLong at tick 1000190.
  uint32_t index = 7;
  ASSERT_EQ(ns_GetIndexByTime(handle_, kLong, 1e6, ns_AFTER, &index), ns_OK);
  EXPECT_EQ(index, 70019u);
  EXPECT_EQ(ns_GetIndexByTime(handle_, kEvents, 1e6, ns_AFTER, &index), ns_BADINDEX)
      << "the span is past this entity's last item";
  EXPECT_EQ(index, 0u);
  // 510e-6 s divided by 1e-6 s falls just below 510: tick 509, whose item
  // before is the one at 500.
  EXPECT_EQ(Rules(kManyEvents, 510), (Want{50, 51, 51}));

  for (double bad : {-1.5, std::nan("")}) {
    EXPECT_EQ(ns_GetIndexByTime(handle_, kOneRun, bad, ns_CLOSEST, &index), ns_BADINDEX);
  }
  EXPECT_STREQ(NsLastMessage(),
               "Bad index or time (0d) for entity 0d passed to function GetIndexByTime");
  EXPECT_EQ(ns_GetIndexByTime(handle_, kOneRun, -1.5, ns_CLOSEST, &index), ns_BADINDEX);
  EXPECT_STREQ(NsLastMessage(),
               "Bad index or time (4294967295d) for entity 0d passed to function GetIndexByTime");
}

TEST(TickFloor, OnePointZeroZeroOneSecondsIsTick1000999) {
  NsCloseAllFiles();
  auto rec = std::make_unique<MemoryRecording>();
  rec->AddEvents(0, vslk64::EventA, {1000999, 1001000, 2000000});
  const uint32_t h = OpenInLayer(std::move(rec));
  ASSERT_NE(h, 0u);
  uint32_t index = 9;
  ASSERT_EQ(ns_GetIndexByTime(h, 0, 1.001, ns_AFTER, &index), ns_OK);
  EXPECT_EQ(index, 0u);
  NsCloseAllFiles();
}

TEST_F(Analog, TimeByIndexOnEveryKindOfEntity) {
  double t = -1;
  ASSERT_EQ(ns_GetTimeByIndex(handle_, kTwoRuns, 100, &t), ns_OK);
  EXPECT_DOUBLE_EQ(t, 5000e-6) << "the first sample after the gap";
  ASSERT_EQ(ns_GetTimeByIndex(handle_, kLong, 64000, &t), ns_OK);
  EXPECT_DOUBLE_EQ(t, 640000e-6);
  ASSERT_EQ(ns_GetTimeByIndex(handle_, kManyEvents, 4000, &t), ns_OK);
  EXPECT_DOUBLE_EQ(t, 40000e-6);
  EXPECT_EQ(ns_GetTimeByIndex(handle_, kEvents, 2, nullptr), ns_OK);
  EXPECT_EQ(ns_GetTimeByIndex(handle_, kEvents, 3, nullptr), ns_BADINDEX);
  EXPECT_STREQ(NsLastMessage(),
               "Bad index or time (3d) for entity 2d passed to function GetTimeByIndex");
}

TEST_F(Analog, InfoDescribesTheChannel) {
  unsigned char area[300];
  std::memset(area, 0xA5, sizeof area);
  auto* info = reinterpret_cast<ns_ANALOGINFO*>(area);
  ASSERT_EQ(ns_GetAnalogInfo(handle_, kOneRun, info, sizeof *info), ns_OK);
  const double rate = info->dSampleRate, low = info->dMinVal, high = info->dMaxVal;
  const double step = info->dResolution, x = info->dLocationX, corner = info->dLowFreqCorner;
  EXPECT_DOUBLE_EQ(rate, 100000.0);
  EXPECT_EQ(low, -5.0);
  EXPECT_EQ(high, 7.0);
  EXPECT_EQ(step, 2.0 / 6553.6);
  EXPECT_EQ(x, 0.0);
  EXPECT_EQ(corner, 0.0);
  EXPECT_STREQ(info->szUnits, "mV");
  EXPECT_STREQ(info->szHighFilterType, "unknown");
  EXPECT_EQ(info->szLowFilterType[0], 0);
  EXPECT_EQ(static_cast<unsigned char>(info->szLowFilterType[1]), 0xA5)
      << "only the first byte of the low filter type is written";
  EXPECT_STREQ(info->szProbeInfo, "left arm");
  for (size_t i = sizeof *info; i < sizeof area; ++i) ASSERT_EQ(area[i], 0xA5) << i;

  EXPECT_EQ(ns_GetAnalogInfo(handle_, kEvents, info, sizeof *info), ns_BADENTITY);
  EXPECT_EQ(ns_GetAnalogInfo(handle_, kOneRun, info, 263), ns_LIBERROR);
  EXPECT_STREQ(NsLastMessage(), "GetAnalogInfo was given 263d bytes for results, requires 264d");
}

TEST_F(Analog, DataIsScaledAndStopsAtAGap) {
  std::vector<double> data(1000, -99);
  uint32_t count = 77;
  ASSERT_EQ(ns_GetAnalogData(handle_, kOneRun, 98, 5, &count, data.data()), ns_OK);
  EXPECT_EQ(count, 2u) << "the entity ends after two samples";
  EXPECT_DOUBLE_EQ(data[0], 98 * 2.0 / 6553.6 + 1.0);
  EXPECT_EQ(data[2], -99);

  ASSERT_EQ(ns_GetAnalogData(handle_, kTwoRuns, 90, 1000, &count, data.data()), ns_OK);
  EXPECT_EQ(count, 10u) << "ten samples before the gap";
  ASSERT_EQ(ns_GetAnalogData(handle_, kTwoRuns, 100, 1000, &count, data.data()), ns_OK);
  EXPECT_EQ(count, 100u) << "the caller asks again from the index after them";
  EXPECT_DOUBLE_EQ(data[0], 500 / 6553.6);

  ASSERT_EQ(ns_GetAnalogData(handle_, kReal, 1, 2, &count, data.data()), ns_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(data[0], 0.5);
  EXPECT_EQ(data[1], 0.75);
}

TEST_F(Analog, DataRunsOnAcrossChunksWithoutAGap) {
  std::vector<double> data(70100, -99);
  uint32_t count = 0;
  file_->ResetReads();
  ASSERT_EQ(ns_GetAnalogData(handle_, kLong, 5, 70100, &count, data.data()), ns_OK);
  EXPECT_EQ(count, 69995u) << "chunk boundaries at 32000 and 64000 are not gaps";
  EXPECT_EQ(data[31995], (32000 % 30000) / 6553.6);
  EXPECT_EQ(file_->TotalReads(), 1) << "one large read";
}

TEST_F(Analog, DataFailuresReportAndLeaveNoCount) {
  std::vector<double> data(8);
  uint32_t count = 77;
  EXPECT_EQ(ns_GetAnalogData(handle_, kOneRun, 100, 8, &count, data.data()), ns_BADINDEX);
  EXPECT_EQ(count, 0u);
  EXPECT_STREQ(NsLastMessage(),
               "Bad index or time (100d) for entity 0d passed to function GetAnalogData");
  file_->Chan(0).failReads = true;
  count = 77;
  EXPECT_EQ(ns_GetAnalogData(handle_, kOneRun, 3, 8, &count, data.data()), ns_FILEERROR);
  EXPECT_EQ(count, 0u);
  EXPECT_STREQ(NsLastMessage(),
               "File read error occurred in function GetAnalogData with entity 0d, index 3d");
  EXPECT_EQ(ns_GetAnalogData(handle_, kOneRun, 3, 0, &count, data.data()), ns_LIBERROR);
  EXPECT_STREQ(NsLastMessage(), "GetAnalogData was given zero byte size area for results");
  EXPECT_EQ(ns_GetAnalogData(handle_, kEvents, 0, 8, &count, data.data()), ns_BADENTITY);
}

TEST(AnalogPieces, AGapWhereALargeReadEndsStillEndsTheRun) {
  NsCloseAllFiles();
  auto rec = std::make_unique<MemoryRecording>();
  rec->AddAdc(0, 1);
  rec->AddRun(0, 0, Ramp(1 << 18));  // as many samples as one read of the layer takes
  rec->AddRun(0, (1 << 18) + 50, Ramp(100));
  const uint32_t h = OpenInLayer(std::move(rec));
  ASSERT_NE(h, 0u);
  std::vector<double> data((1 << 18) + 100);
  uint32_t count = 0;
  ASSERT_EQ(ns_GetAnalogData(h, 0, 0, static_cast<uint32_t>(data.size()), &count, data.data()),
            ns_OK);
  EXPECT_EQ(count, 1u << 18);
  NsCloseAllFiles();
}

}  // namespace
}  // namespace nsv
