// Waveform reading through the file interface beyond what the channel model
// (channel_read_test.cc) covers: float samples converted to 16 bits, and
// wave marks read as one trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "filelib/le.h"
#include "tests/orfx/chan_file_util.h"

namespace vslk64 {
namespace {

using namespace chantest;  // NOLINT
using testing_support::TempDir;

TEST(WaveChannel, FloatChannelConvertsWithItsScale) {
  const std::vector<float> values = {4.999847412109375f,           1.0f,  5.0f,  -5.0f, -6.0f,
                                     0.5f / 6553.6f * 1.0f + 0.0f, -1.0f, 100.0f};
  ChannelFile file;
  for (int chan = 0; chan < 2; ++chan) {
    ChanFields f = Fields(RealWave, 4);
    f.scale = chan == 0 ? 1.0 : -1.0;
    file.AddChannel(
        static_cast<uint32_t>(chan), f,
        {orfxtest::RealWaveBlock(static_cast<uint16_t>(chan), {{40, values}, {400, {7.f}}})});
  }
  // Three blocks of contiguous floats: more than one staging piece.
  std::vector<Bytes> blocks;
  for (int k = 0; k < 3; ++k) {
    std::vector<float> v(16376);
    for (size_t i = 0; i < v.size(); ++i)
      v[i] = static_cast<float>((k * 16376 + i) % 1000) / 1000.f;
    blocks.push_back(orfxtest::RealWaveBlock(2, {{static_cast<int64_t>(k) * 16376, v}}));
  }
  file.AddChannel(2, Fields(RealWave, 1), blocks);
  TempDir dir;
  auto f = OpenBuilt(file, dir);

  float got[16];
  TSTime64 first = 0;
  ASSERT_EQ(f->ReadWaveF(0, got, 16, 0, kMaxTime64, &first, nullptr), 8);
  EXPECT_EQ(first, 40);
  EXPECT_TRUE(std::equal(values.begin(), values.end(), got));
  int16_t s[16];
  ASSERT_EQ(f->ReadWaveS(0, s, 16, 0, kMaxTime64, &first, nullptr), 8);
  EXPECT_EQ(std::vector<int16_t>(s, s + 8),
            (std::vector<int16_t>{32767, 6554, 32767, -32768, -32768, 1, -6554, 32767}));
  // A negative scale turns the clamping over.
  ASSERT_EQ(f->ReadWaveS(1, s, 16, 0, kMaxTime64, &first, nullptr), 8);
  EXPECT_EQ(std::vector<int16_t>(s, s + 8),
            (std::vector<int16_t>{-32767, -6554, -32768, 32767, 32767, -1, 6554, -32768}));

  std::vector<int16_t> many(3 * 16376 + 5);
  ASSERT_EQ(
      f->ReadWaveS(2, many.data(), static_cast<int>(many.size()), 0, kMaxTime64, &first, nullptr),
      3 * 16376);
  for (size_t i = 0; i < 3 * 16376; i += 997) {
    EXPECT_EQ(many[i],
              static_cast<int16_t>(std::lround(static_cast<float>(i % 1000) / 1000.f * 6553.6)))
        << i;
  }
  ASSERT_EQ(f->ReadWaveS(2, many.data(), 20000, 100, 20000, &first, nullptr), 19900);
  EXPECT_EQ(first, 100);
}

// A wave-mark channel of records of 4 points of 2 traces, 5 ticks apart:
// six records that follow on one another (the first three in one block),
// then one after a gap. Point p of trace c of record r holds 100r + 10c + p.
TEST(WaveChannel, WaveMarksReadAsOneTrace) {
  const ChanFields wm = Fields(WaveMark, 5, 4, 2);
  std::vector<std::vector<orfxtest::ExtMarkItem>> blocks(2);
  for (int r = 0; r < 7; ++r) {
    orfxtest::ExtMarkItem item;
    item.time = r < 6 ? 1000 + 20 * r : 2000;
    item.code[0] = static_cast<uint8_t>(r % 2 + 1);
    std::vector<std::vector<int16_t>> traces(2, std::vector<int16_t>(4));
    for (int c = 0; c < 2; ++c) {
      for (int p = 0; p < 4; ++p) traces[c][p] = static_cast<int16_t>(100 * r + 10 * c + p);
    }
    item.payload = orfxtest::WaveMarkPayload(traces);
    blocks[r < 3 ? 0 : 1].push_back(item);
  }
  ChannelFile file;
  file.AddChannel(0, wm,
                  {orfxtest::ExtMarkBlock(0, wm.itemSize, blocks[0]),
                   orfxtest::ExtMarkBlock(0, wm.itemSize, blocks[1])});
  const ChanFields rm = Fields(RealMark, 5, 4, 1);
  file.AddChannel(1, rm, {orfxtest::ExtMarkBlock(1, rm.itemSize, {blocks[0][0]})});
  TempDir dir;
  auto f = OpenBuilt(file, dir);

  const auto trace = [](int c, int fromRecord, int fromPoint, int n) {
    std::vector<int16_t> v;
    for (int k = fromRecord * 4 + fromPoint; static_cast<int>(v.size()) < n; ++k) {
      v.push_back(static_cast<int16_t>(100 * (k / 4) + 10 * c + k % 4));
    }
    return v;
  };
  CMarkFilter column1;
  column1.SetColumn(1);
  CMarkFilter nothing;
  nothing.SetItem(-1, -1, 0);
  CMarkFilter odd;  // records with code 1 only: not contiguous
  odd.SetItem(0, -1, 0);
  odd.SetItem(0, 1, 1);
  const struct {
    const char* what;
    TSTime64 from;
    const CMarkFilter* filter;
    TSTime64 first;
    std::vector<int16_t> want;
  } cases[] = {
      {"trace 0 up to the gap", 0, nullptr, 1000, trace(0, 0, 0, 24)},
      {"the selector of a filter passing everything", 0, &column1, 1000, trace(1, 0, 0, 24)},
      {"from between points", 1007, nullptr, 1010, trace(0, 0, 2, 22)},
      {"a filter passing nothing", 0, &nothing, 0, {}},
      {"records the filter skips leave a gap", 0, &odd, 1000, trace(0, 0, 0, 4)},
      {"after the gap", 1116, nullptr, 2000, trace(0, 6, 0, 4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int16_t s[40];
    TSTime64 first = 0;
    const int n = f->ReadWaveS(0, s, 40, c.from, kMaxTime64, &first, c.filter);
    ASSERT_EQ(n, static_cast<int>(c.want.size()));
    EXPECT_EQ(std::vector<int16_t>(s, s + n), c.want);
    if (n > 0) {
      EXPECT_EQ(first, c.first);
    }
  }
  float v[4];
  ASSERT_EQ(f->ReadWaveF(0, v, 4, 1005, kMaxTime64, nullptr, nullptr), 4);
  EXPECT_NEAR(v[3], 100 / 6553.6, 1e-6);

  EXPECT_EQ(f->PrevNTime(0, 1116, 0, 3, nullptr, true), 1105);
  EXPECT_EQ(f->PrevNTime(0, 1116, 0, 24, nullptr, true), 1000);  // the data begin there
  EXPECT_EQ(f->PrevNTime(0, 1116, 0, 25, nullptr, true), -1);    // and hold only 24 points
  EXPECT_EQ(f->PrevNTime(0, 1116, 0, 3, nullptr, false), 1060);  // records, not points

  int16_t s[4];
  EXPECT_EQ(f->ReadWaveS(1, s, 4, 0, kMaxTime64, nullptr, nullptr), kErrWrongKind);
  EXPECT_EQ(f->PrevNTime(1, 2000, 0, 1, nullptr, true), 1015);  // float marks have points too
}

}  // namespace
}  // namespace vslk64
