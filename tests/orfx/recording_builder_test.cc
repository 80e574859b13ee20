// The test-only recording writers, read back through the common file
// interface: how the 64-bit writer fills its blocks, and what the writers
// refuse. The demo recording itself is checked in both formats through the
// exports by the format parity test; reading two index levels is the
// channel read test's.
#include "tests/builder/recording.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "filelib/kel64_file.h"
#include "tests/support/temp_dir.h"

namespace {

using recording_test::Channel;
using recording_test::ExtMarker;
using recording_test::Recording;
using recording_test::WaveRun;
using testing_support::TempDir;
using vslk64::CKel64File;
using vslk64::kMaxTime64;
using vslk64::TSTime64;

std::unique_ptr<CKel64File> WriteAndOpen(const Recording& rec, const std::string& path) {
  EXPECT_TRUE(recording_test::WriteOrfx(rec, path));
  std::unique_ptr<CKel64File> f = vslk64::NewKel64File();
  EXPECT_EQ(0, f->Open(path.c_str(), 1, 0));
  return f;
}

// Every sample of a waveform channel as (time, value), and the number of
// reads it took: the buffer holds more than any stretch, so a read that
// stops before a gap shows as one read too many.
using Samples = std::vector<std::pair<TSTime64, double>>;
Samples ReadSamples(CKel64File& f, uint16_t c, const Channel& ch, int* reads) {
  Samples out;
  std::vector<int16_t> s(1 << 17);
  std::vector<float> v(1 << 17);
  *reads = 0;
  for (TSTime64 from = 0;;) {
    TSTime64 first = -1;
    const int n = ch.kind == 1 ? f.ReadWaveS(c, s.data(), 1 << 17, from, kMaxTime64, &first, nullptr)
                               : f.ReadWaveF(c, v.data(), 1 << 17, from, kMaxTime64, &first, nullptr);
    EXPECT_GE(n, 0);
    if (n <= 0) return out;
    ++*reads;
    for (int i = 0; i < n; ++i) out.emplace_back(first + i * ch.divide, ch.kind == 1 ? s[i] : v[i]);
    from = first + static_cast<TSTime64>(n) * ch.divide;
  }
}

// The items or samples of one channel, checked against its description.
// Codes, payloads, titles and the rest of the channel record are compared
// through the exports by the format parity test.
void ExpectChannel(CKel64File& f, uint16_t c, const Channel& ch) {
  SCOPED_TRACE("channel " + std::to_string(c));
  EXPECT_EQ(ch.kind, f.ChanKind(c));
  EXPECT_EQ(recording_test::LastTime(ch), f.ChanMaxTime(c));
  if (ch.kind == 1 || ch.kind == 9) {
    Samples want;
    int stretches = 0;
    for (const WaveRun& run : ch.runs) {
      if (run.Size() != 0 && (want.empty() || want.back().first + ch.divide != run.start)) ++stretches;
      for (uint64_t i = 0; i < run.Size(); ++i) {
        want.emplace_back(run.start + static_cast<TSTime64>(i) * ch.divide,
                          ch.kind == 1 ? run.Short(i) : run.Float(i));
      }
    }
    int reads = 0;
    EXPECT_TRUE(ReadSamples(f, c, ch, &reads) == want);
    EXPECT_EQ(stretches, reads);
    return;
  }
  std::vector<TSTime64> want = ch.times;
  for (const auto& m : ch.markers) want.push_back(m.time);
  for (const auto& m : ch.extMarks) want.push_back(m.time);
  std::vector<TSTime64> times(want.size() + 1);
  const int n = f.ReadEvents(c, times.data(), static_cast<int>(times.size()), 0, kMaxTime64, nullptr);
  times.resize(n < 0 ? 0 : static_cast<size_t>(n));
  EXPECT_EQ(want, times);
}

// --- How the 64-bit writer fills its blocks --------------------------------

Channel Events(int kind, size_t n) {
  Channel ch;
  ch.kind = kind;
  for (size_t i = 0; i < n; ++i) ch.times.push_back(10 + 3 * static_cast<TSTime64>(i));
  return ch;
}

Channel Marks(int kind, size_t n, uint16_t rows, uint16_t cols) {
  Channel ch;
  ch.kind = kind;
  ch.rows = rows;
  ch.cols = cols;
  ch.divide = kind == 6 || kind == 7 ? 5 : 0;
  for (size_t i = 0; i < n; ++i) {
    if (kind == 5) {
      recording_test::Marker m;
      m.time = 7 * static_cast<TSTime64>(i);
      m.code[0] = static_cast<uint8_t>(i);
      ch.markers.push_back(m);
      continue;
    }
    ExtMarker m;
    m.time = 7 * static_cast<TSTime64>(i);
    m.code[1] = static_cast<uint8_t>(i);
    m.wave.assign(kind == 6 ? rows * cols : 0, static_cast<int16_t>(i));
    m.values.assign(kind == 7 ? rows * cols : 0, static_cast<float>(i) / 4);
    m.text = kind == 8 ? std::to_string(i) : "";
    ch.extMarks.push_back(std::move(m));
  }
  return ch;
}

// Waveform runs of `length` samples, `runs` of them, `gap` missing samples
// between each.
Channel Wave(int kind, size_t runs, size_t length, size_t gap = 2) {
  constexpr TSTime64 kDivide = 10;
  Channel ch;
  ch.kind = kind;
  ch.divide = kDivide;
  for (size_t r = 0; r < runs; ++r) {
    WaveRun run;
    run.start = static_cast<TSTime64>(r * (length + gap)) * kDivide;
    for (size_t i = 0; i < length; ++i) {
      if (kind == 1) run.shorts.push_back(static_cast<int16_t>(r * 7 + i));
      if (kind == 9) run.floats.push_back(static_cast<float>(r) + static_cast<float>(i) / 8);
    }
    ch.runs.push_back(std::move(run));
  }
  return ch;
}

struct Filling {
  const char* name;
  Channel chan;
  int64_t blocks;
};

TEST(OrfxRecordingWriter, FillsEachBlockToCapacity) {
  const Filling cases[] = {
      {"8190 events fill one block", Events(2, 8190), 1},
      {"8191 events need two", Events(3, 8191), 2},
      {"4095 level changes fill one block", Events(4, 4095), 1},
      {"4096 markers need two", Marks(5, 4096, 0, 0), 2},
      {"303 wave marks of 100 points fill one block", Marks(6, 303, 100, 1), 1},
      {"304 wave marks need two", Marks(6, 304, 100, 1), 2},
      {"2047 ten-character texts fill one block", Marks(8, 2047, 10, 1), 1},
      {"2048 texts need two", Marks(8, 2048, 10, 1), 2},
      {"float marks of 3 x 2 values, 1638 to a block", Marks(7, 1639, 3, 2), 2},
      {"one run of 32752 samples fills one block", Wave(1, 1, 32752), 1},
      {"a run of 32753 samples continues in a second block", Wave(1, 1, 32753), 2},
      {"16376 floats fill one block", Wave(9, 1, 16376), 1},
      {"a second run split between two blocks", Wave(1, 2, 16373), 2},
      {"runs that continue each other share one stored run", Wave(9, 2, 8188, 0), 1},
      {"2730 runs of 3 samples, 24 bytes each, fill one block", Wave(1, 2730, 3), 1},
      {"the 2731st run starts a second block", Wave(1, 2731, 3), 2},
  };
  TempDir dir;
  for (const Filling& tc : cases) {
    SCOPED_TRACE(tc.name);
    Recording rec;
    rec.channels[3] = tc.chan;
    auto f = WriteAndOpen(rec, dir.File("fill.orfx"));
    EXPECT_EQ(tc.blocks * 65536, f->ChanBytes(3));
    ExpectChannel(*f, 3, tc.chan);
  }
}

TEST(RecordingWriters, RefuseWhatNoWriterStores) {
  TempDir dir;
  const std::string path = dir.File("refused");
  Recording unordered;
  unordered.channels[0] = Events(2, 3);
  std::swap(unordered.channels[0].times[0], unordered.channels[0].times[2]);
  Recording beyondSlots;
  beyondSlots.channels[32] = Events(2, 3);
  Recording overlapping;
  overlapping.channels[0] = Wave(1, 2, 10);
  overlapping.channels[0].runs[1].start = overlapping.channels[0].runs[0].start + 90;
  for (const Recording* rec : {&unordered, &beyondSlots, &overlapping}) {
    EXPECT_FALSE(recording_test::WriteOrfx(*rec, path));
    EXPECT_FALSE(recording_test::WriteOrf(*rec, path));
  }
  // ORF times are 32-bit.
  Recording late;
  late.channels[0] = Events(2, 1);
  late.channels[0].times[0] = TSTime64{1} << 31;
  EXPECT_TRUE(recording_test::WriteOrfx(late, path));
  EXPECT_FALSE(recording_test::WriteOrf(late, path));
}

}  // namespace
