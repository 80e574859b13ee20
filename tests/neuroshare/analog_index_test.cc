// Analog entities through the exports, and the conversions between index and
// time on waveform and item entities: the before, closest and after rules,
// gaps and chunk boundaries, the time span and the tick floor.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
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

std::vector<float> Ramp(size_t n, int first = 0) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<float>(first + static_cast<int>(i % 30000));
  return v;
}

// Entities of the recording below (1 us ticks).
enum : uint32_t {
  kOneRun,     // Adc: 100 samples at 1000, 1010, ..., 1990; scale 2, offset 1
  kTwoRuns,    // Adc: 100 samples at 0..990, then 100 at 5000..5990
  kEvents,     // EventA at 100, 200, 300
  kLong,       // Adc: 70000 contiguous samples at 0, 10, ..., then 20 after a gap
  kManyEvents, // EventA: 8001 events every 10 ticks
};

class Analog : public ::testing::Test {
 protected:
  void SetUp() override {
    NsCloseAllFiles();
    auto rec = std::make_unique<MemoryRecording>();
    MemoryRecording& r = *rec;
    r.AddWave(0, vslk64::Adc, 10, 2.0, 1.0);
    r.AddRun(0, 1000, Ramp(100));
    r.AddWave(1, vslk64::Adc, 10);
    r.AddRun(1, 0, Ramp(100));
    r.AddRun(1, 5000, Ramp(100, 500));
    r.AddEvents(2, vslk64::EventA, {100, 200, 300});
    r.AddWave(3, vslk64::Adc, 10);
    r.AddRun(3, 0, Ramp(70000));
    r.AddRun(3, 1000000, Ramp(20, 7));
    std::vector<TSTime64> many(8001);
    for (size_t i = 0; i < many.size(); ++i) many[i] = 10 * static_cast<TSTime64>(i);
    r.AddEvents(5, vslk64::EventA, many);
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

TEST_F(Analog, BeforeClosestAndAfterRules) {
  const int64_t bad = ns_BADINDEX;
  struct Case {
    uint32_t entity;
    double ticks;
    Want want;
  };
  const Case cases[] = {
      {kOneRun, 1000, {0, 0, 0}},    {kOneRun, 1004, {0, 0, 1}},
      {kOneRun, 1005, {0, 1, 1}},    {kOneRun, 500, {0, 0, 0}},
      {kOneRun, 1990, {99, 99, 99}}, {kOneRun, 1995, {bad, bad, bad}},
      // In the gap between two runs; equally near takes the later.
      {kTwoRuns, 1200, {99, 99, 100}}, {kTwoRuns, 4000, {99, 100, 100}},
      {kTwoRuns, 2995, {99, 100, 100}}, {kTwoRuns, 5000, {100, 100, 100}},
      {kEvents, 150, {0, 1, 1}},     {kEvents, 149, {0, 0, 1}},
      {kEvents, 200, {1, 1, 1}},     {kEvents, 10, {0, 0, 0}},
      {kEvents, 300, {2, 2, 2}},     {kEvents, 301, {bad, bad, bad}},
      // Between the chunks of 4000 items: 39990 ends the first, 40000 starts the next.
      {kManyEvents, 39995, {3999, 4000, 4000}}, {kManyEvents, 39994, {3999, 3999, 4000}},
      {kManyEvents, 79999, {7999, 8000, 8000}},
      // 510e-6 s divided by 1e-6 s falls just below 510: tick 509 is taken.
      {kManyEvents, 510, {50, 51, 51}},
      // Times past the span are taken as its end, the last sample of kLong;
      // times before zero or not a number are refused.
      {kLong, 1e12, {70019, 70019, 70019}}, {kEvents, 1e12, {bad, bad, bad}},
      {kOneRun, std::nan(""), {bad, bad, bad}}, {kOneRun, -1.5e6, {bad, bad, bad}},
  };
  file_->ResetReads();
  for (const Case& c : cases) {
    EXPECT_EQ(Rules(c.entity, c.ticks), c.want) << c.entity << " at " << c.ticks;
  }
  EXPECT_EQ(file_->Chan(kOneRun).reads, 0) << "sample times need no read";
  Rules(kOneRun, -1.5e6);
  EXPECT_STREQ(NsLastMessage(),
               "Bad index or time (4294967295d) for entity 0d passed to function GetIndexByTime");
}

TEST_F(Analog, TimeByIndexOnEveryKindOfEntity) {
  double t = -1;
  ASSERT_EQ(ns_GetTimeByIndex(handle_, kTwoRuns, 100, &t), ns_OK);
  EXPECT_DOUBLE_EQ(t, 5000e-6) << "the first sample after the gap";
  ASSERT_EQ(ns_GetTimeByIndex(handle_, kLong, 64000, &t), ns_OK);
  EXPECT_DOUBLE_EQ(t, 640000e-6);
  ASSERT_EQ(ns_GetTimeByIndex(handle_, kManyEvents, 4000, &t), ns_OK);
  EXPECT_DOUBLE_EQ(t, 40000e-6);
  EXPECT_EQ(ns_GetTimeByIndex(handle_, kEvents, 3, nullptr), ns_BADINDEX);
}

// Data is scaled and stops at the end; failures leave no count.
TEST_F(Analog, DataIsScaledAndStopsAtTheEnd) {
  std::vector<double> data(1000, -99);
  uint32_t count = 77;
  ASSERT_EQ(ns_GetAnalogData(handle_, kOneRun, 98, 5, &count, data.data()), ns_OK);
  EXPECT_EQ(count, 2u) << "the entity ends after two samples";
  EXPECT_DOUBLE_EQ(data[0], 98 * 2.0 / 6553.6 + 1.0);
  EXPECT_EQ(data[2], -99);

  // Stretches up to each gap are the comparer's (tests/support/ns_compare.cc).
  EXPECT_EQ(ns_GetAnalogData(handle_, kOneRun, 100, 8, &count, data.data()), ns_BADINDEX);
  EXPECT_EQ(count, 0u);
  file_->Chan(0).failAfterReads = 0;
  count = 77;
  EXPECT_EQ(ns_GetAnalogData(handle_, kOneRun, 3, 8, &count, data.data()), ns_FILEERROR);
  EXPECT_EQ(count, 0u);
  EXPECT_STREQ(NsLastMessage(),
               "File read error occurred in function GetAnalogData with entity 0d, index 3d");
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

TEST(AnalogPieces, AGapWhereALargeReadEndsStillEndsTheRun) {
  NsCloseAllFiles();
  auto rec = std::make_unique<MemoryRecording>();
  rec->AddWave(0, vslk64::Adc, 1);
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
