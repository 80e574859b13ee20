// The test-only 64-bit recording writer, read back through the common file
// interface: blocks filled to capacity (the reader's capacity checks meet
// their boundaries). The demo recording itself
// is checked in both formats through the exports by the format parity test.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "filelib/kel64_file.h"
#include "tests/builder/recording.h"
#include "tests/support/temp_dir.h"

namespace {

using recording_test::Channel;
using recording_test::Recording;
using testing_support::TempDir;
using vslk64::kMaxTime64;
using vslk64::TSTime64;

// Extended markers 7 apart (kinds 6 to 8, rows x cols points), or n
// waveform runs of `length` samples with `gap` missing samples between each
// (kinds 1 and 9, divide 10). Item i carries i.
Channel Make(int kind, size_t n, uint16_t rows, uint16_t cols, size_t length = 0, size_t gap = 2) {
  Channel ch;
  ch.kind = kind;
  ch.rows = rows;
  ch.cols = cols;
  ch.divide = kind == 1 || kind == 9 ? 10 : kind == 6 || kind == 7 ? 5 : 0;
  for (size_t i = 0; i < n; ++i) {
    if (kind == 1 || kind == 9) {
      recording_test::WaveRun run;
      run.start = static_cast<TSTime64>(i * (length + gap)) * 10;
      for (size_t k = 0; k < length; ++k) {
        if (kind == 1) run.shorts.push_back(static_cast<int16_t>(i * 7 + k));
        if (kind == 9) run.floats.push_back(static_cast<float>(i) + static_cast<float>(k) / 8);
      }
      ch.runs.push_back(std::move(run));
      continue;
    }
    recording_test::ExtMarker m;
    m.time = 7 * static_cast<TSTime64>(i);
    m.wave.assign(kind == 6 ? rows * cols : 0, static_cast<int16_t>(i));
    m.values.assign(kind == 7 ? rows * cols : 0, static_cast<float>(i) / 4);
    m.text = kind == 8 ? std::to_string(i) : "";
    ch.extMarks.push_back(std::move(m));
  }
  return ch;
}

// Full blocks of the kinds whose capacity the file model's own writes do
// not meet: extended markers and runs of waveforms.
TEST(OrfxRecordingWriter, FillsEachBlockToCapacity) {
  const struct {
    const char* name;
    Channel chan;
    int64_t blocks;
  } cases[] = {
      {"303 wave marks of 100 points fill one block", Make(6, 303, 100, 1), 1},
      {"304 wave marks need two", Make(6, 304, 100, 1), 2},
      {"2047 ten-character texts fill one block", Make(8, 2047, 10, 1), 1},
      {"2048 texts need two", Make(8, 2048, 10, 1), 2},
      {"float marks of 3 x 2 values, 1638 to a block", Make(7, 1639, 3, 2), 2},
      {"a second run split between two blocks", Make(1, 2, 0, 0, 16373), 2},
      {"runs that continue each other share one stored run", Make(9, 2, 0, 0, 8188, 0), 1},
      {"2730 runs of 3 samples, 24 bytes each, fill one block", Make(1, 2730, 0, 0, 3), 1},
      {"the 2731st run starts a second block", Make(1, 2731, 0, 0, 3), 2},
  };
  TempDir dir;
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    const Channel& ch = tc.chan;
    Recording rec;
    rec.channels[3] = ch;
    const std::string path = dir.File("fill.orfx");
    ASSERT_TRUE(recording_test::WriteOrfx(rec, path));
    std::unique_ptr<vslk64::CKel64File> f = vslk64::NewKel64File();
    ASSERT_EQ(0, f->Open(path.c_str(), 1, 0));
    EXPECT_EQ(tc.blocks * 65536, f->ChanBytes(3));
    EXPECT_EQ(recording_test::LastTime(ch), f->ChanMaxTime(3));
    // Every item; every sample, one read per stretch: the buffer holds more
    // than any stretch, so a read that stops early shows as one read too
    // many. (Sample values across full blocks are the file model's.)
    const size_t count = recording_test::ItemCount(ch);
    std::vector<float> got(count + 1);
    size_t done = 0, reads = 0, stretches = 0;
    for (TSTime64 from = 0; ch.kind == 1 || ch.kind == 9; ++reads) {
      TSTime64 first = -1;
      const int n = f->ReadWaveF(3, got.data(), static_cast<int>(got.size()), from, kMaxTime64,
                                 &first, nullptr);
      ASSERT_GE(n, 0);
      if (n == 0) break;
      done += static_cast<size_t>(n);
      from = first + 10 * n;
    }
    for (size_t i = 0, next = 0; i < ch.runs.size();
         next = ch.runs[i].start + 10 * ch.runs[i].Size(), ++i) {
      stretches += i == 0 || ch.runs[i].start != static_cast<TSTime64>(next);
    }
    if (ch.kind != 1 && ch.kind != 9) {
      std::vector<TSTime64> t(count + 1);
      done = static_cast<size_t>(
          f->ReadEvents(3, t.data(), static_cast<int>(t.size()), 0, kMaxTime64, nullptr));
    }
    EXPECT_EQ(count, done);
    EXPECT_EQ(stretches, reads);
  }
}

}  // namespace
