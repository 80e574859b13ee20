// Reading ORF channel data: events and levels, markers with the filter,
// waveforms with the gap rule and the sample conversions, waveform markers
// read as a waveform, and the backward search.
#include <cmath>
#include <cstring>

#include "tests/orf/orf_fixture.h"

namespace orf_test {
namespace {

using namespace vslk64;
namespace ob = orf_builder;

// Events on channel 0 and markers on channel 2, each in two blocks. Reads
// and searches are checked against written files by the random-write test;
// here status codes, a search short of n before tTo, and filters.
TEST_F(OrfFileTest, EventsAndMarkersReadThroughTheFilter) {
  ob::OrfFile file(8, 32);
  file.chan(0).kind = 3;
  file.chan(2).kind = 5;
  file.AddEvents(0, {10, 20, 30});
  file.AddMarks(2, {{10, {3, 0, 0, 0}, {}}, {20, {1, 3, 0, 0}, {}}, {30, {0, 0, 0, 3}, {}}});
  file.AddEvents(0, {40, 50});
  file.AddMarks(2, {{40, {1, 2, 0, 0}, {}}, {50, {3, 9, 0, 0}, {}}});
  const int f = Open(file.Build());
  int32_t t[8];
  EXPECT_EQ(KelGetEventData(f, 3, t, 8, 0, 1000, nullptr, nullptr), kKelChanOff);
  EXPECT_EQ(KelGetEventData(f, 40, t, 8, 0, 1000, nullptr, nullptr), kKelNoChannel);
  uint8_t m[8 * 8];
  EXPECT_EQ(KelGetMarkData(f, 0, m, 8, 0, 1000, nullptr), kKelNoChannel);  // events hold no codes
  EXPECT_EQ(KelPrevNTime(f, 0, 45, 15, 5, false, nullptr), -1);
  auto time = [&](int i) { return ob::GetI32(std::string(reinterpret_cast<char*>(m), 64), 8 * i); };
  ASSERT_EQ(KelGetMarkData(f, 2, m, 8, 0, 100, nullptr), 5);
  EXPECT_EQ(time(4), 50);
  EXPECT_EQ(m[37], 9);

  TKelFilter ones = PassAll();  // code byte 0 is 1
  std::memset(ones.layers[0], 0, 32);
  Allow(&ones, 0, 1, true);
  EXPECT_EQ(KelPrevNTime(f, 2, 45, 0, 1, false, &ones), 40);
  TKelFilter any = PassAll(kKelFilterAnyCode);  // some code byte is 3
  std::memset(any.layers[0], 0, 32);
  Allow(&any, 0, 3, true);
  ASSERT_EQ(KelGetMarkData(f, 2, m, 8, 0, 100, &any), 4);
  ASSERT_EQ(KelGetEventData(f, 2, t, 8, 0, 100, nullptr, &any), 4);
  EXPECT_EQ(t[3], 50);

  TKelFilter all = PassAll();
  Allow(&all, 1, 0, false);  // code byte 1 must not be 0
  ASSERT_EQ(KelGetMarkData(f, 2, m, 8, 0, 100, &all), 3);
  EXPECT_EQ(time(0), 20);
  ASSERT_EQ(KelGetMarkData(f, 2, m, 1, 25, 100, &all), 1);  // max counts passing items
  EXPECT_EQ(time(0), 40);
}

TEST_F(OrfFileTest, LevelBeforeTheFirstChangeReturned) {
  ob::OrfFile file(8, 32);
  file.chan(4).kind = 4;
  file.chan(4).initLevel = 1;
  file.AddEvents(4, {10, 20, 30});  // level before 10 is 1
  file.AddEvents(4, {100, 110});    // before 100: 0
  const int f = Open(file.Build());
  struct Case {
    int32_t from, to;
    int count, level;
  };
  // Without a change in the range, the level at its start; with nothing after
  // tFrom at all, the final level.
  for (const Case& c : {Case{0, 1000, 5, 1}, Case{15, 1000, 4, 0}, Case{105, 1000, 1, 1},
                        Case{40, 90, 0, 0}, Case{21, 25, 0, 1}, Case{200, 300, 0, 0}}) {
    int32_t t[8];
    int level = -1;
    EXPECT_EQ(KelGetEventData(f, 4, t, 8, c.from, c.to, &level, nullptr), c.count) << c.from;
    EXPECT_EQ(level, c.level) << c.from;
  }
}

// Waveforms of three blocks 2 ticks apart with a gap: [0, 18], [20, 38],
// [100, 118]; channel 1 of 16-bit samples ramping from 0, 10 and 50 (scale
// 2, offset 1), channel 3 of floats from 0, 5 and 10 in steps of 0.5 (scale
// 0.5, offset 1). Channel 4 has scale 0; channel 5 holds floats no sample
// can stand for.
TEST_F(OrfFileTest, SamplesAndValuesConvertBothWays) {
  ob::OrfFile file(8, 32);
  for (int c : {1, 3}) {
    file.chan(c).kind = c == 1 ? 1 : 9;
    file.chan(c).divide = 2;
    file.chan(c).scale = c == 1 ? 2.0f : 0.5f;
    file.chan(c).offset = 1.0f;
  }
  for (int b : {0, 1, 2}) {
    const int32_t start = b == 2 ? 100 : 20 * b;
    std::vector<float> v(10);
    for (int i = 0; i < 10; ++i) v[static_cast<size_t>(i)] = static_cast<float>(10 * b + i) * 0.5f;
    file.AddWave(1, start, Ramp(10, b == 2 ? 50 : 10 * b));
    file.AddRealWave(3, start, v);
  }
  file.chan(4).kind = file.chan(5).kind = 9;
  file.chan(4).scale = 0.0f;
  file.AddRealWave(4, 0, {1.0f, -3.0f});
  file.AddRealWave(5, 0, {std::nanf(""), -1e9f});
  const int f = Open(file.Build());
  float v[32];
  int16_t s[32];
  int32_t first;
  ASSERT_EQ(KelGetRealWaveData(f, 1, v, 8, 10, 1000, nullptr, nullptr), 8);
  const double factor = static_cast<double>(2.0f * static_cast<float>(1.0 / 6553.6));
  EXPECT_EQ(v[7], static_cast<float>(12 * factor + 1.0));
  // Runs and gaps are read back by the random-write test; a backward search
  // short of n at tTo gives the first sample at or after it.
  EXPECT_EQ(KelPrevNTime(f, 1, 23, 5, 30, false, nullptr), 6);

  ASSERT_EQ(KelGetRealWaveData(f, 3, v, 32, 1, 1000, &first, nullptr), 19);
  EXPECT_EQ(first, 2);
  EXPECT_EQ(v[18], 9.5f);
  ASSERT_EQ(KelGetWaveData(f, 3, s, 32, 0, 4, &first, nullptr), 3);
  // (v - 1) x 6553.6 / 0.5, rounded down after adding a half.
  EXPECT_EQ(s[0], -13107);
  EXPECT_EQ(s[1], static_cast<int16_t>(std::floor((0.5 - 1.0) * 13107.2 + 0.5)));
  ASSERT_EQ(KelGetWaveData(f, 3, s, 32, 100, 1000, &first, nullptr), 10);
  EXPECT_EQ(s[9], 32767);  // 14.5 is beyond the 16-bit range
  ASSERT_EQ(KelGetWaveData(f, 4, s, 2, 0, 10, nullptr, nullptr), 2);
  EXPECT_EQ(s[1], 0);
  ASSERT_EQ(KelGetWaveData(f, 5, s, 2, 0, 10, nullptr, nullptr), 2);
  EXPECT_EQ(s[0], 0);
  EXPECT_EQ(s[1], -32768);
}

// Waveform markers of 4 points, 3 ticks apart: the marker at m holds points
// at m, m + 3, m + 6, m + 9; trace k of point p is 100 m + 10 p + k.

class WaveMarkTest : public OrfFileTest {
 protected:
  int OpenMarks(const std::vector<int32_t>& times, int traces) {
    ob::OrfFile file(8, 32);
    file.chan(6).kind = 6;
    file.chan(6).divide = 3;
    file.chan(6).traces = static_cast<uint16_t>(traces);
    file.chan(6).extraBytes = static_cast<uint16_t>(4 * 2 * traces);
    file.chan(6).preTrigger = 1;
    std::vector<ob::Mark> marks;
    for (int32_t m : times) {
      ob::Mark mk{m, {static_cast<uint8_t>(m % 7), 0, 0, 0}, {}};
      for (int p = 0; p < 4; ++p)
        for (int k = 0; k < traces; ++k) {
          const int v = 100 * m + 10 * p + k;
          mk.attached.push_back(static_cast<uint8_t>(v));
          mk.attached.push_back(static_cast<uint8_t>(v >> 8));
        }
      marks.push_back(mk);
    }
    file.AddMarks(6, {marks.begin(), marks.begin() + 2});
    file.AddMarks(6, {marks.begin() + 2, marks.end()});
    return Open(file.Build(), "m" + std::to_string(traces) + ".orf");
  }
};

TEST_F(WaveMarkTest, PointsOfSuccessiveMarkersJoinUntilAGap) {
  const int f = OpenMarks({10, 22, 34, 100}, 2);
  int16_t s[32];
  int32_t first = -1;
  ASSERT_EQ(KelGetWaveData(f, 6, s, 32, 0, 1000, &first, nullptr), 12);
  EXPECT_EQ(s[4], 2200);
  EXPECT_EQ(s[11], 3430);
  TKelFilter column = PassAll();
  column.column = 1;
  ASSERT_EQ(KelGetWaveData(f, 6, s, 32, 14, 27, &first, &column), 4);
  EXPECT_EQ(first, 16);
  EXPECT_EQ(s[0], 1021);
  EXPECT_EQ(s[3], 2211);
  ASSERT_EQ(KelGetWaveData(f, 6, s, 32, 50, 1000, &first, nullptr), 4);
  EXPECT_EQ(first, 100);
  EXPECT_EQ(KelGetWaveData(f, 6, nullptr, 32, 50, 1000, &first, nullptr), kKelBadArg);
  EXPECT_EQ(KelPrevNTime(f, 6, 30, 0, 1, true, nullptr),
            kKelBadArg);  // as a waveform: one trace only

  const int g = OpenMarks({10, 22, 34, 100}, 1);
  EXPECT_EQ(KelPrevNTime(g, 6, 30, 0, 2, true, nullptr), 25);
  EXPECT_EQ(KelPrevNTime(g, 6, 30, 0, 9, true, nullptr), 22);  // only that marker counts
  EXPECT_EQ(KelPrevNTime(g, 6, 30, 24, 9, true, nullptr), 25);
  EXPECT_EQ(KelPrevNTime(g, 6, 30, 0, 2, false, nullptr), 10);  // as markers
}

}  // namespace
}  // namespace orf_test
