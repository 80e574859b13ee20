// Float samples read as 16 bits through the file interface, clamped and
// rounded under either sign of scale (16-bit samples and wave marks are the
// channel model's, channel_read_test.cc).
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "tests/orfx/chan_file_util.h"

namespace vslk64 {
namespace {

using namespace chantest;  // NOLINT

TEST(WaveChannel, FloatChannelConvertsWithItsScale) {
  const std::vector<float> values = {4.999847412109375f, 1.0f,  5.0f,  -5.0f, -6.0f,
                                     0.5f / 6553.6f,     -1.0f, 100.0f};
  ChannelFile file;
  for (uint16_t chan : {0, 1}) {
    ChanFields f = Fields(RealWave, 4);
    f.scale = chan == 0 ? 1.0 : -1.0;
    file.AddChannel(chan, f, {orfxtest::RealWaveBlock(chan, {{40, values}, {400, {7.f}}})});
  }
  // Three blocks of contiguous floats: more than one staging piece.
  constexpr size_t kBlock = 16376;
  std::vector<Bytes> blocks;
  for (size_t k = 0; k < 3; ++k) {
    std::vector<float> v(kBlock);
    for (size_t i = 0; i < v.size(); ++i)
      v[i] = static_cast<float>((k * kBlock + i) % 1000) / 1000.f;
    blocks.push_back(orfxtest::RealWaveBlock(2, {{static_cast<int64_t>(k * kBlock), v}}));
  }
  file.AddChannel(2, Fields(RealWave, 1), blocks);
  testing_support::TempDir dir;
  auto f = OpenBuilt(file, dir);

  float got[16];
  TSTime64 first = 0;
  ASSERT_EQ(f->ReadWaveF(0, got, 16, 0, kMaxTime64, &first, nullptr), 8);
  EXPECT_EQ(first, 40);
  EXPECT_EQ(std::vector<float>(got, got + 8), values);
  // A negative scale turns the clamping over.
  const std::vector<int16_t> want[] = {{32767, 6554, 32767, -32768, -32768, 1, -6554, 32767},
                                       {-32767, -6554, -32768, 32767, 32767, -1, 6554, -32768}};
  for (uint16_t chan : {0, 1}) {
    int16_t s[16];
    ASSERT_EQ(f->ReadWaveS(chan, s, 16, 0, kMaxTime64, &first, nullptr), 8);
    EXPECT_EQ(std::vector<int16_t>(s, s + 8), want[chan]) << chan;
  }
  std::vector<int16_t> many(3 * kBlock + 5);
  ASSERT_EQ(
      f->ReadWaveS(2, many.data(), static_cast<int>(many.size()), 0, kMaxTime64, &first, nullptr),
      static_cast<int>(3 * kBlock));
  for (size_t i = 0; i < 3 * kBlock; i += 997) {
    EXPECT_EQ(many[i], std::lround(static_cast<float>(i % 1000) / 1000.f * 6553.6)) << i;
  }
  ASSERT_EQ(f->ReadWaveS(2, many.data(), 20000, 100, 20000, &first, nullptr), 19900);
  EXPECT_EQ(first, 100);
}

}  // namespace
}  // namespace vslk64
