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

recording_test::Recording AllValues() {
  recording_test::Recording rec;
  rec.slots = 64;
  int slot = 0;
  recording_test::Channel c;
  c.title = "s";
  c.kind = Adc;
  c.divide = 1;
  c.idealRate = 1000;
  c.runs.resize(1);
  c.runs[0].start = 3;
  c.runs[0].count = kAllShorts;
  c.runs[0].shortAt = [](uint64_t i) { return static_cast<int16_t>(static_cast<int>(i) - 32768); };
  for (double scale : {1.0, 2.5, -3.75, 0.0, 1e-3, 123.456, -1e6}) {
    for (double offset : {0.0, 1.25, -7.3e5}) {
      c.scale = scale;
      c.offset = offset;
      rec.channels[slot++] = c;
    }
  }
  c.kind = RealWave;
  c.divide = 2;
  c.runs[0] = recording_test::WaveRun();
  const float specials[] = {0.0f,
                            -0.0f,
                            1e-45f,
                            -3.4e38f,
                            std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(),
                            0.1f,
                            -7.25f};
  for (uint64_t i = 0; i < 40000; ++i) {
    c.runs[0].floats.push_back(i < 8 ? specials[i] : static_cast<float>(std::sin(i * 0.001) * 1e3));
  }
  rec.channels[slot] = c;
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
  for (uint16_t chan = 0; chan < file->MaxChans(); ++chan) {
    if (file->ChanKind(chan) != Adc && file->ChanKind(chan) != RealWave) continue;
    ++checked;
    // Whole channel in one read, and from a time between two samples in
    // pieces that end inside blocks.
    for (int piece : {static_cast<int>(kAllShorts), 1000, 7}) {
      SCOPED_TRACE(testing::Message() << "channel " << chan << ", pieces of " << piece);
      TSTime64 from = 0;
      for (int done = 0; done < 40000;) {
        TSTime64 firstF = -5, firstD = -5;
        const int nF =
            file->ReadWaveF(chan, floats.data() + done, piece, from, kMaxTime64, &firstF, nullptr);
        ASSERT_EQ(file->ReadWaveD(chan, doubles.data() + done, piece, from, kMaxTime64, &firstD),
                  nF);
        ASSERT_GT(nF, 0);
        ASSERT_EQ(firstD, firstF);
        for (size_t i = static_cast<size_t>(done); i < static_cast<size_t>(done + nF); ++i) {
          const double widened = floats[i];
          ASSERT_EQ(std::memcmp(&doubles[i], &widened, sizeof widened), 0)
              << "sample " << i << ": " << doubles[i] << " vs " << widened;
        }
        done += nF;
        // The next piece asks from just before its first sample where samples
        // lie more than one tick apart, so it starts between two of them.
        const TSTime64 divide = file->ChanDivide(chan);
        from = firstF + static_cast<TSTime64>(nF) * divide - (divide > 1 ? 1 : 0);
        if (piece == static_cast<int>(kAllShorts)) break;
      }
    }
  }
  EXPECT_EQ(checked, 22);
}

INSTANTIATE_TEST_SUITE_P(Formats, WaveDoubles, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "Orf" : "Orfx";
                         });

}  // namespace
}  // namespace vslk64
