// Reading ORF channel data: events and levels, markers with the filter,
// waveforms with the gap rule and the sample conversions, waveform markers
// read as a waveform, the backward search and the maximum times.
#include <cmath>
#include <cstring>

#include "tests/orf/orf_fixture.h"

namespace orf_test {
namespace {

using namespace vslk64;
namespace ob = orf_builder;

TEST_F(OrfFileTest, EventsReadAcrossInterleavedBlocks) {
  ob::OrfFile file(8, 32);
  file.chan(0).kind = 3;
  file.chan(1).kind = 2;
  file.AddEvents(0, {10, 20, 30});
  file.AddEvents(1, {11});
  file.AddEvents(0, {40, 50});
  file.AddEvents(1, {12});
  file.AddEvents(0, {60});
  const int f = Open(file.Build());
  int32_t t[8];
  ASSERT_EQ(KelGetEventData(f, 0, t, 8, 20, 50, nullptr, nullptr), 4);  // inclusive ends
  EXPECT_EQ(t[0], 20);
  EXPECT_EQ(t[3], 50);
  ASSERT_EQ(KelGetEventData(f, 0, t, 2, 21, 1000, nullptr, nullptr), 2);
  EXPECT_EQ(t[0], 30);
  EXPECT_EQ(t[1], 40);
  EXPECT_EQ(KelGetEventData(f, 0, t, 8, 31, 39, nullptr, nullptr), 0);
  EXPECT_EQ(KelGetEventData(f, 0, t, 8, 61, 1000, nullptr, nullptr), 0);
  EXPECT_EQ(KelGetEventData(f, 0, t, 0, 0, 1000, nullptr, nullptr), 0);
  EXPECT_EQ(KelGetEventData(f, 1, t, 8, 0, 1000, nullptr, nullptr), 2);
  EXPECT_EQ(KelGetEventData(f, 5, t, 8, 0, 1000, nullptr, nullptr), kKelChanOff);
  EXPECT_EQ(KelGetEventData(f, 40, t, 8, 0, 1000, nullptr, nullptr), kKelNoChannel);
}

TEST_F(OrfFileTest, LevelBeforeTheFirstChangeReturned) {
  for (uint8_t init : {0, 1}) {
    SCOPED_TRACE(init);
    ob::OrfFile file(8, 32);
    file.chan(4).kind = 4;
    file.chan(4).initLevel = init;
    file.AddEvents(4, {10, 20, 30});  // level before 10 is init
    file.AddEvents(4, {100, 110});    // before 100: init ^ 1
    const int f = Open(file.Build(), "l" + std::to_string(init) + ".orf");
    int32_t t[8];
    int level = -1;
    ASSERT_EQ(KelGetEventData(f, 4, t, 8, 0, 1000, &level, nullptr), 5);
    EXPECT_EQ(level, init);
    ASSERT_EQ(KelGetEventData(f, 4, t, 8, 15, 1000, &level, nullptr), 4);
    EXPECT_EQ(level, init ^ 1);
    ASSERT_EQ(KelGetEventData(f, 4, t, 8, 105, 1000, &level, nullptr), 1);
    EXPECT_EQ(level, init);
    // No change in the range: the level at its start.
    EXPECT_EQ(KelGetEventData(f, 4, t, 8, 40, 90, &level, nullptr), 0);
    EXPECT_EQ(level, init ^ 1);
    EXPECT_EQ(KelGetEventData(f, 4, t, 8, 21, 25, &level, nullptr), 0);
    EXPECT_EQ(level, init);
    // Nothing after tFrom at all: the final level.
    EXPECT_EQ(KelGetEventData(f, 4, t, 8, 200, 300, &level, nullptr), 0);
    EXPECT_EQ(level, init ^ 1);
  }
}

std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
  std::vector<uint8_t> out;
  for (int b : v) out.push_back(static_cast<uint8_t>(b));
  return out;
}

TEST_F(OrfFileTest, MarkersPassTheFilterInBothModes) {
  ob::OrfFile file(8, 32);
  file.chan(2).kind = 5;
  file.AddMarks(2, {{10, {3, 0, 0, 0}, {}}, {20, {1, 3, 0, 0}, {}}, {30, {0, 0, 0, 3}, {}}});
  file.AddMarks(2, {{40, {1, 2, 0, 0}, {}}, {50, {3, 9, 0, 0}, {}}});
  const int f = Open(file.Build());
  uint8_t m[8 * 8];
  ASSERT_EQ(KelGetMarkData(f, 2, m, 8, 0, 100, nullptr), 5);
  EXPECT_EQ(ob::GetI32(std::string(reinterpret_cast<char*>(m), 40), 32), 50);
  EXPECT_EQ(m[36], 3);
  EXPECT_EQ(m[37], 9);

  TKelFilter any = PassAll(kKelFilterAnyCode);
  std::memset(any.layers[0], 0, 32);
  Allow(&any, 0, 3, true);
  ASSERT_EQ(KelGetMarkData(f, 2, m, 8, 0, 100, &any), 4);  // not (1, 2, 0, 0)
  int32_t t[8];
  ASSERT_EQ(KelGetEventData(f, 2, t, 8, 0, 100, nullptr, &any), 4);
  EXPECT_EQ(t[3], 50);

  TKelFilter all = PassAll();
  Allow(&all, 1, 0, false);  // code byte 1 must not be 0
  ASSERT_EQ(KelGetMarkData(f, 2, m, 8, 0, 100, &all), 3);
  EXPECT_EQ(ob::GetI32(std::string(reinterpret_cast<char*>(m), 8), 0), 20);
  ASSERT_EQ(KelGetMarkData(f, 2, m, 1, 25, 100, &all), 1);  // max counts passing items
  EXPECT_EQ(ob::GetI32(std::string(reinterpret_cast<char*>(m), 8), 0), 40);

  EXPECT_EQ(KelGetMarkData(f, 2, m, 8, 0, 100, nullptr), 5);
  int16_t s[4];
  EXPECT_EQ(KelGetWaveData(f, 2, s, 4, 0, 100, nullptr, nullptr), kKelNoChannel);
}

TEST_F(OrfFileTest, ExtendedMarkersReadWhole) {
  ob::OrfFile file(8, 32);
  file.chan(3).kind = 8;
  file.chan(3).extraBytes = 6;
  file.chan(3).units = "chars";
  file.AddMarks(3, {{5, {7, 0, 0, 0}, Bytes({'a', 'b', 'c'})}, {9, {8, 0, 0, 0}, Bytes({'x'})}});
  const int f = Open(file.Build());
  uint8_t items[2 * 14];
  ASSERT_EQ(KelGetExtMarkData(f, 3, items, 2, 0, 100, nullptr), 2);
  EXPECT_EQ(items[4], 7);
  EXPECT_EQ(std::memcmp(items + 8, "abc\0\0\0", 6), 0);
  EXPECT_EQ(items[14], 9);
  EXPECT_EQ(items[22], 'x');
  char units[6];
  int points = -1, pre = -1;
  EXPECT_EQ(KelExtMarkInfo(f, 3, units, &points, &pre), 6);
  EXPECT_STREQ(units, "chars");
  EXPECT_EQ(pre, 0);
}

// A waveform of three blocks 2 ticks apart with one missing interval:
// [0, 18], [20, 38], gap, [100, 118].
class WaveTest : public OrfFileTest {
 protected:
  int OpenWave(int kind, float scale = 1.0f, float offset = 0.0f) {
    ob::OrfFile file(8, 32);
    file.chan(1).kind = kind;
    file.chan(1).divide = 2;
    file.chan(1).scale = scale;
    file.chan(1).offset = offset;
    file.chan(2).kind = 2;
    if (kind == 1) {
      file.AddWave(1, 0, Ramp(10, 0));
      file.AddEvents(2, {7});
      file.AddWave(1, 20, Ramp(10, 10));
      file.AddWave(1, 100, Ramp(10, 50));
    } else {
      std::vector<float> v(10);
      for (int b : {0, 1, 2}) {
        for (int i = 0; i < 10; ++i) v[static_cast<size_t>(i)] = static_cast<float>(10 * b + i) * 0.5f;
        file.AddRealWave(1, b == 2 ? 100 : 20 * b, v);
      }
    }
    return Open(file.Build(), "w" + std::to_string(kind) + ".orf");
  }
};

TEST_F(WaveTest, ReadsStopAtAGapAndResumeAfterIt) {
  const int f = OpenWave(1);
  int16_t s[64];
  int32_t first = -1;
  ASSERT_EQ(KelGetWaveData(f, 1, s, 64, 0, 1000, &first, nullptr), 20);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(s[19], 19);
  ASSERT_EQ(KelGetWaveData(f, 1, s, 64, 39, 1000, &first, nullptr), 10);
  EXPECT_EQ(first, 100);
  EXPECT_EQ(s[0], 50);
  // Between two samples the read starts at the next; tTo on a sample takes it.
  ASSERT_EQ(KelGetWaveData(f, 1, s, 64, 3, 24, &first, nullptr), 11);
  EXPECT_EQ(first, 4);
  EXPECT_EQ(s[0], 2);
  EXPECT_EQ(s[10], 12);
  ASSERT_EQ(KelGetWaveData(f, 1, s, 5, 16, 1000, &first, nullptr), 5);
  EXPECT_EQ(s[4], 12);
  EXPECT_EQ(KelGetWaveData(f, 1, s, 64, 119, 1000, &first, nullptr), 0);
  EXPECT_EQ(KelGetWaveData(f, 1, s, 64, 41, 99, &first, nullptr), 0);
}

TEST_F(WaveTest, SixteenBitSamplesBecomeValues) {
  const int f = OpenWave(1, 2.0f, 1.0f);
  float v[8];
  ASSERT_EQ(KelGetRealWaveData(f, 1, v, 8, 10, 1000, nullptr, nullptr), 8);
  const float factor = 2.0f * static_cast<float>(1.0 / 6553.6);
  EXPECT_EQ(v[0], static_cast<float>(5 * static_cast<double>(factor) + 1.0));
  EXPECT_EQ(v[7], static_cast<float>(12 * static_cast<double>(factor) + 1.0));
}

TEST_F(WaveTest, FloatWaveformsReadAsValuesOrSamples) {
  const int f = OpenWave(9, 0.5f, 1.0f);
  float v[32];
  int32_t first;
  ASSERT_EQ(KelGetRealWaveData(f, 1, v, 32, 1, 1000, &first, nullptr), 19);
  EXPECT_EQ(first, 2);
  EXPECT_EQ(v[0], 0.5f);
  EXPECT_EQ(v[18], 9.5f);
  int16_t s[32];
  ASSERT_EQ(KelGetWaveData(f, 1, s, 32, 0, 4, &first, nullptr), 3);
  // (v - 1) x 6553.6 / 0.5, rounded down after adding a half.
  EXPECT_EQ(s[0], -13107);
  EXPECT_EQ(s[1], static_cast<int16_t>(std::floor((0.5 - 1.0) * 13107.2 + 0.5)));
  ASSERT_EQ(KelGetWaveData(f, 1, s, 32, 100, 1000, &first, nullptr), 10);
  EXPECT_EQ(s[9], 32767);  // 14.5 is beyond the 16-bit range
}

TEST_F(OrfFileTest, FloatToSampleHandlesZeroScaleAndNan) {
  ob::OrfFile file(8, 32);
  file.chan(0).kind = 9;
  file.chan(0).scale = 0.0f;
  file.chan(1).kind = 9;
  file.AddRealWave(0, 0, {1.0f, -3.0f});
  file.AddRealWave(1, 0, {std::nanf(""), -1e9f});
  const int f = Open(file.Build());
  int16_t s[2];
  ASSERT_EQ(KelGetWaveData(f, 0, s, 2, 0, 10, nullptr, nullptr), 2);
  EXPECT_EQ(s[0], 0);
  EXPECT_EQ(s[1], 0);
  ASSERT_EQ(KelGetWaveData(f, 1, s, 2, 0, 10, nullptr, nullptr), 2);
  EXPECT_EQ(s[0], 0);
  EXPECT_EQ(s[1], -32768);
}

// Waveform markers of 4 points and 2 traces, 3 ticks apart: the marker at m
// holds points at m, m + 3, m + 6, m + 9; trace k of point p is 100 m + 10 p + k.
class WaveMarkTest : public OrfFileTest {
 protected:
  int OpenMarks(const std::vector<int32_t>& times, int traces = 2) {
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
  const int f = OpenMarks({10, 22, 34, 100});
  int16_t s[32];
  int32_t first = -1;
  ASSERT_EQ(KelGetWaveData(f, 6, s, 32, 0, 1000, &first, nullptr), 12);
  EXPECT_EQ(first, 10);
  EXPECT_EQ(s[0], 1000);
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
  int points = 0, pre = 0;
  EXPECT_EQ(KelExtMarkInfo(f, 6, nullptr, &points, &pre), 4);
  EXPECT_EQ(pre, 1);
}

TEST_F(OrfFileTest, PrevNTimeCountsBackOverItems) {
  ob::OrfFile file(8, 32);
  file.chan(0).kind = 2;
  file.AddEvents(0, {10, 20, 30});
  file.AddEvents(0, {40, 50});
  file.chan(5).kind = 5;
  file.AddMarks(5, {{10, {1, 0, 0, 0}, {}}, {20, {2, 0, 0, 0}, {}}, {30, {1, 0, 0, 0}, {}}});
  const int f = Open(file.Build());
  EXPECT_EQ(KelPrevNTime(f, 0, 51, 0, 1, false, nullptr), 50);
  EXPECT_EQ(KelPrevNTime(f, 0, 50, 0, 1, false, nullptr), 40);
  EXPECT_EQ(KelPrevNTime(f, 0, 50, 0, 3, false, nullptr), 20);
  EXPECT_EQ(KelPrevNTime(f, 0, 1000, 0, 5, false, nullptr), 10);
  EXPECT_EQ(KelPrevNTime(f, 0, 1000, 0, 6, false, nullptr), 10);   // start of the chain
  EXPECT_EQ(KelPrevNTime(f, 0, 45, 15, 5, false, nullptr), -1);    // short before tTo
  EXPECT_EQ(KelPrevNTime(f, 0, 35, 15, 2, false, nullptr), 20);
  EXPECT_EQ(KelPrevNTime(f, 0, 10, 0, 1, false, nullptr), -1);
  EXPECT_EQ(KelPrevNTime(f, 0, 30, 30, 1, false, nullptr), -1);
  EXPECT_EQ(KelPrevNTime(f, 3, 30, 0, 1, false, nullptr), kKelChanOff);
  TKelFilter ones = PassAll();
  std::memset(ones.layers[0], 0, 32);
  Allow(&ones, 0, 1, true);
  EXPECT_EQ(KelPrevNTime(f, 5, 100, 0, 1, false, &ones), 30);
  EXPECT_EQ(KelPrevNTime(f, 5, 100, 0, 2, false, &ones), 10);
  EXPECT_EQ(KelPrevNTime(f, 5, 100, 0, 2, false, nullptr), 20);
}

TEST_F(WaveTest, PrevNTimeStepsBackOverContiguousSamples) {
  const int f = OpenWave(1);
  EXPECT_EQ(KelPrevNTime(f, 1, 23, 0, 1, false, nullptr), 22);
  EXPECT_EQ(KelPrevNTime(f, 1, 23, 0, 3, false, nullptr), 18);   // across the join
  EXPECT_EQ(KelPrevNTime(f, 1, 104, 0, 5, false, nullptr), 100);  // the gap stops it
  EXPECT_EQ(KelPrevNTime(f, 1, 60, 0, 2, false, nullptr), 36);   // from inside the gap
  EXPECT_EQ(KelPrevNTime(f, 1, 23, 5, 30, false, nullptr), 6);   // short: first at or after tTo
  EXPECT_EQ(KelPrevNTime(f, 1, 1000, 0, 1, false, nullptr), 118);
}

TEST_F(WaveMarkTest, PrevNTimeOverTheLastMarkersPoints) {
  const int f = OpenMarks({10, 22, 34, 100}, 1);
  EXPECT_EQ(KelPrevNTime(f, 6, 30, 0, 1, true, nullptr), 28);
  EXPECT_EQ(KelPrevNTime(f, 6, 30, 0, 2, true, nullptr), 25);
  EXPECT_EQ(KelPrevNTime(f, 6, 30, 0, 9, true, nullptr), 22);  // only that marker counts
  EXPECT_EQ(KelPrevNTime(f, 6, 30, 24, 9, true, nullptr), 25);
  EXPECT_EQ(KelPrevNTime(f, 6, 30, 0, 2, false, nullptr), 10);  // as markers
  const int g = OpenMarks({10, 22, 34, 100}, 2);
  EXPECT_EQ(KelPrevNTime(g, 6, 30, 0, 1, true, nullptr), kKelBadArg);
}

TEST_F(OrfFileTest, MaxTimesComeFromTheLastBlocks) {
  ob::OrfFile file(8, 32);
  file.chan(0).kind = 2;
  file.chan(1).kind = 1;
  file.chan(1).divide = 5;
  file.AddEvents(0, {10, 20});
  file.AddWave(1, 0, Ramp(100, 0));
  std::string bytes = file.Build();
  ob::PutI32(bytes, ob::OrfFile::ChanPos(0) + ob::kCMaxTime, 1);
  ob::PutI32(bytes, ob::kHMaxTime, 2);
  const int f = Open(bytes);
  EXPECT_EQ(KelChanMaxTime(f, 0), 1);
  EXPECT_EQ(KelChanMaxTime(f, 4), kKelNoChannel);
  EXPECT_EQ(KelRecomputeMaxTimes(f), 0);
  EXPECT_EQ(KelChanMaxTime(f, 0), 20);
  EXPECT_EQ(KelChanMaxTime(f, 1), 495);
  EXPECT_EQ(KelFileMaxTime(f), 495);
}

}  // namespace
}  // namespace orf_test
