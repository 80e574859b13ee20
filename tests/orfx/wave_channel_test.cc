// Float samples read as 16 bits through the file interface, clamped and
// rounded under either sign of scale (16-bit samples and wave marks are the
// channel model's, channel_read_test.cc).
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

}  // namespace
}  // namespace vslk64
