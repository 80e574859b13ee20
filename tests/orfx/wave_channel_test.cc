// Waveform reading through the file interface: 16-bit and float channels,
// wave marks read as one trace, the sample conversions and the backward
// search over samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "filelib/le.h"
#include "tests/orfx/chan_file_util.h"

namespace vslk64 {
namespace {

using namespace chantest;  // NOLINT
using testing_support::TempDir;

constexpr int64_t kDivide = 10;

struct Sample {
  int64_t t;
  int16_t v;
};

orfxtest::ShortRun Run(int64_t start, int n, int first) {
  orfxtest::ShortRun r;
  r.start = start;
  for (int i = 0; i < n; ++i) r.samples.push_back(static_cast<int16_t>(first + i));
  return r;
}

// A 16-bit channel (divide 10, scale 2, offset 1) with a gap inside its
// first block, data running on contiguously across the first block
// boundary, a gap at the second and contiguous data again across the third:
//   block 0: 100..1090 (100 samples, the first two at the extremes), 2000..2490
//   block 1: 2500..3090      block 2: 5000..5290      block 3: 5300..5490
struct AdcChannel {
  AdcChannel() {
    orfxtest::ShortRun a = Run(100, 100, 0);
    a.samples[0] = 32767;
    a.samples[1] = -32768;
    const std::vector<std::vector<orfxtest::ShortRun>> blocks = {{a, Run(2000, 50, 1000)},
                                                                 {Run(2500, 60, 2000)},
                                                                 {Run(5000, 30, 3000)},
                                                                 {Run(5300, 20, 4000)}};
    std::vector<Bytes> images;
    for (const auto& runs : blocks) {
      images.push_back(orfxtest::AdcBlock(0, runs));
      for (const auto& r : runs) {
        for (size_t i = 0; i < r.samples.size(); ++i) {
          samples.push_back({r.start + kDivide * static_cast<int64_t>(i), r.samples[i]});
          times.push_back(samples.back().t);
        }
      }
    }
    ChanFields f = Fields(Adc, kDivide);
    f.scale = 2.0;
    f.offset = 1.0;
    file.AddChannel(0, f, images);
    // Twelve blocks of 100 contiguous samples: more than one block budget.
    std::vector<Bytes> many;
    for (int k = 0; k < 12; ++k) many.push_back(orfxtest::AdcBlock(1, {Run(1000 * k, 100, k)}));
    file.AddChannel(1, Fields(Adc, kDivide), many);
  }

  // What a read must return: the first sample at or after tFrom, then each
  // following one while it lies one divide on, before tUpto, up to max.
  std::vector<Sample> Expect(TSTime64 from, TSTime64 upto, int max) const {
    std::vector<Sample> out;
    auto it = std::lower_bound(samples.begin(), samples.end(), from,
                               [](const Sample& s, TSTime64 t) { return s.t < t; });
    for (; it != samples.end() && it->t < upto && static_cast<int>(out.size()) < max; ++it) {
      if (!out.empty() && it->t != out.back().t + kDivide) break;
      out.push_back(*it);
    }
    return out;
  }

  ChannelFile file;
  std::vector<Sample> samples;
  std::vector<TSTime64> times;  // of the samples
};

TEST(WaveChannel, ShortReadsAndSearchesStopAtGapsAndJoinAcrossBlocks) {
  AdcChannel adc;
  TempDir dir;
  auto f = OpenBuilt(adc.file, dir);

  struct Read {
    TSTime64 from, upto;
    int max;
  };
  std::vector<Read> reads = {
      {0, kMaxTime64, 1000},     // stops at the gap inside block 0
      {101, kMaxTime64, 5},      // from between samples: starts at 110
      {100, 150, 100},           // tUpto on a sample: 150 is not delivered
      {1095, kMaxTime64, 1000},  // 2000..3090, across the first block boundary
      {2400, 2600, 100},        {3095, kMaxTime64, 1000},  // after the gap at the second boundary
      {5490, kMaxTime64, 10},   {5491, kMaxTime64, 10},   {2000, kMaxTime64, 7},
  };
  std::mt19937 rng(7);
  for (int i = 0; i < 300; ++i) {
    const TSTime64 from = static_cast<TSTime64>(rng() % 6000);
    const TSTime64 upto =
        rng() % 4 == 0 ? kMaxTime64 : from + 1 + static_cast<TSTime64>(rng() % 4000);
    reads.push_back({from, upto, 1 + static_cast<int>(rng() % 300)});
  }
  for (const Read& r : reads) {
    SCOPED_TRACE(::testing::Message() << r.from << ".." << r.upto << " max " << r.max);
    const std::vector<Sample> want = adc.Expect(r.from, r.upto, r.max);
    std::vector<int16_t> s(static_cast<size_t>(r.max) + 1, 0x5a5a);
    TSTime64 first = -7;
    ASSERT_EQ(f->ReadWaveS(0, s.data(), r.max, r.from, r.upto, &first, nullptr),
              static_cast<int>(want.size()));
    // Floats: the 16-bit samples are staged in the caller's buffer; nothing
    // past max may be touched.
    std::vector<float> v(static_cast<size_t>(r.max) + 2, -123.0f);
    TSTime64 firstF = -7;
    ASSERT_EQ(f->ReadWaveF(0, v.data(), r.max, r.from, r.upto, &firstF, nullptr),
              static_cast<int>(want.size()));
    EXPECT_EQ(v[static_cast<size_t>(r.max)], -123.0f);
    EXPECT_EQ(s[static_cast<size_t>(r.max)], 0x5a5a);
    // A search back from the read's end, or from its start down to a time.
    const uint32_t n = 1 + static_cast<uint32_t>(rng() % (rng() % 2 ? 8 : 200));
    const TSTime64 before = r.upto == kMaxTime64 ? r.from : r.upto;
    const TSTime64 earliest = rng() % 3 == 0 ? r.from - 500 : 0;
    EXPECT_EQ(f->PrevNTime(0, before, earliest, n, nullptr, false),
              WavePrevN(adc.times, before, earliest, n, kDivide))
        << before << " back " << n << " to " << earliest;
    if (want.empty()) continue;
    EXPECT_EQ(first, want[0].t);
    EXPECT_EQ(firstF, want[0].t);
    for (size_t i = 0; i < want.size(); ++i) {
      ASSERT_EQ(s[i], want[i].v) << i;
      ASSERT_NEAR(v[i], want[i].v * 2 / 6553.6 + 1, 1e-5) << i;
    }
  }

  // The extremes of the sample range, with scale 2 and offset 1.
  float ends[2];
  ASSERT_EQ(f->ReadWaveF(0, ends, 2, 100, kMaxTime64, nullptr, nullptr), 2);
  EXPECT_EQ(ends[0], static_cast<float>(2 * 4.999847412109375 + 1));
  EXPECT_EQ(ends[1], -9.0f);

  // Twelve blocks in one call, and a search back over eleven.
  EXPECT_EQ(f->PrevNTime(1, 12000, 0, 1150, nullptr, true), 500);
  // Continued into block 0, whose samples all lie before the earliest time.
  EXPECT_EQ(f->PrevNTime(0, 2520, 2495, 10, nullptr, false), 2500);
  std::vector<int16_t> all(1300);
  ASSERT_EQ(f->ReadWaveS(1, all.data(), 1300, 0, kMaxTime64, nullptr, nullptr), 1200);
  EXPECT_EQ(all[1199], 11 + 99);
  // Floats widened in place over several pieces, the buffer filled to the
  // last float (an odd count: the samples start half a float in).
  for (int max : {1300, 1001}) {
    std::vector<float> allF(static_cast<size_t>(max));
    const int n = std::min(max, 1200);
    ASSERT_EQ(f->ReadWaveF(1, allF.data(), max, 0, kMaxTime64, nullptr, nullptr), n);
    for (int i = 0; i < n; ++i) ASSERT_NEAR(allF[i], (i / 100 + i % 100) / 6553.6, 1e-6) << i;
  }
}

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
