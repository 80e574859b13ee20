// ReadWaveD, which converts straight from the block images into doubles,
// against the two-step path (ReadWaveF, then widening), bit for bit: every
// 16-bit sample value under several scales and offsets, and float samples,
// in both formats.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"
#include "tests/builder/recording.h"
#include "tests/support/temp_dir.h"

namespace vslk64 {
namespace {

constexpr uint64_t kAllShorts = 65536;
const double kScales[] = {1.0, 2.5, -3.75, 0.0, 1e-3, 123.456, -1e6};
const double kOffsets[] = {0.0, 1.25, -7.3e5};

recording_test::Recording AllValues() {
  recording_test::Recording rec;
  rec.slots = 64;
  int slot = 0;
  for (double scale : kScales) {
    for (double offset : kOffsets) {
      recording_test::Channel c;
      c.kind = Adc;
      c.title = "s";
      c.divide = 1;
      c.idealRate = 1000;
      c.scale = scale;
      c.offset = offset;
      recording_test::WaveRun run;
      run.start = 3;
      run.count = kAllShorts;
      run.shortAt = [](uint64_t i) { return static_cast<int16_t>(static_cast<int>(i) - 32768); };
      c.runs.push_back(run);
      rec.channels[slot++] = c;
    }
  }
  recording_test::Channel f;
  f.kind = RealWave;
  f.title = "f";
  f.divide = 2;
  f.idealRate = 500;
  recording_test::WaveRun run;
  const float specials[] = {0.0f, -0.0f, 1e-45f, -3.4e38f, std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(), 0.1f, -7.25f};
  for (uint64_t i = 0; i < 40000; ++i) {
    run.floats.push_back(i < 8 ? specials[i] : static_cast<float>(std::sin(i * 0.001) * 1e3));
  }
  f.runs.push_back(run);
  rec.channels[slot] = f;
  return rec;
}

class WaveDoubles : public ::testing::TestWithParam<bool> {};

TEST_P(WaveDoubles, EveryValueIsTheFloatOfTheTwoStepReadWidened) {
  const bool orf = GetParam();
  testing_support::TempDir dir;
  const std::string path = dir.File(orf ? "v.orf" : "v.orfx");
  ASSERT_TRUE(orf ? recording_test::WriteOrf(AllValues(), path, 9, 4096)
                  : recording_test::WriteOrfx(AllValues(), path));
  auto file = orf ? NewKel32File() : NewKel64File();
  ASSERT_EQ(file->Open(path.c_str(), 1, 0), 0);

  std::vector<float> floats(kAllShorts);
  std::vector<double> doubles(kAllShorts);
  int checked = 0;
  for (int c = 0; c < file->MaxChans(); ++c) {
    const uint16_t chan = static_cast<uint16_t>(c);
    const TDataKind kind = file->ChanKind(chan);
    if (kind != Adc && kind != RealWave) continue;
    // Whole channel in one read, and from a time between two samples in
    // pieces that end inside blocks.
    for (int piece : {static_cast<int>(kAllShorts), 1000, 7}) {
      SCOPED_TRACE(testing::Message() << "channel " << c << ", pieces of " << piece);
      TSTime64 fromF = 0;
      TSTime64 fromD = 0;
      for (int done = 0; done < 40000;) {
        TSTime64 firstF = -5;
        TSTime64 firstD = -5;
        const int nF = file->ReadWaveF(chan, floats.data() + done, piece, fromF, kMaxTime64,
                                       &firstF, nullptr);
        const int nD = file->ReadWaveD(chan, doubles.data() + done, piece, fromD, kMaxTime64,
                                       &firstD);
        ASSERT_EQ(nD, nF);
        ASSERT_GT(nF, 0);
        ASSERT_EQ(firstD, firstF);
        for (int i = done; i < done + nF; ++i) {
          const double widened = floats[static_cast<size_t>(i)];
          ASSERT_EQ(std::memcmp(&doubles[static_cast<size_t>(i)], &widened, sizeof widened), 0)
              << "sample " << i << ": " << doubles[static_cast<size_t>(i)] << " vs " << widened;
        }
        done += nF;
        // The next piece asks from just before its first sample where samples
        // lie more than one tick apart, so it starts between two of them.
        const TSTime64 divide = file->ChanDivide(chan);
        fromF = fromD = firstF + static_cast<TSTime64>(nF) * divide - (divide > 1 ? 1 : 0);
        if (piece == static_cast<int>(kAllShorts)) break;
      }
    }
    ++checked;
  }
  EXPECT_EQ(checked, 22);
}

INSTANTIATE_TEST_SUITE_P(Formats, WaveDoubles, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "Orf" : "Orfx";
                         });

}  // namespace
}  // namespace vslk64
