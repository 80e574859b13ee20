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
#include <type_traits>
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

// A contiguous stretch of samples.
template <class T>
struct Stretch {
  TSTime64 start;
  std::vector<T> samples;
};

// The recording's runs as a reader sees them: runs that continue each other
// by one divide are one stretch.
template <class T>
std::vector<Stretch<T>> Expected(const Channel& ch) {
  std::vector<Stretch<T>> out;
  for (const WaveRun& run : ch.runs) {
    if (run.Size() == 0) continue;
    if (out.empty() || out.back().start + static_cast<TSTime64>(out.back().samples.size()) * ch.divide != run.start) {
      out.push_back({run.start, {}});
    }
    for (uint64_t i = 0; i < run.Size(); ++i) {
      if constexpr (std::is_same<T, int16_t>::value) {
        out.back().samples.push_back(run.Short(i));
      } else {
        out.back().samples.push_back(run.Float(i));
      }
    }
  }
  return out;
}

// Every sample of a waveform channel, one read per contiguous stretch (the
// buffer holds more than any stretch, so a read that stops early shows).
template <class T, class Read>
std::vector<Stretch<T>> ReadStretches(const Channel& ch, Read read) {
  std::vector<Stretch<T>> out;
  std::vector<T> buf(1 << 17);
  TSTime64 from = 0;
  for (;;) {
    TSTime64 first = -1;
    const int n = read(buf.data(), static_cast<int>(buf.size()), from, &first);
    EXPECT_GE(n, 0);
    if (n <= 0) break;
    out.push_back({first, std::vector<T>(buf.begin(), buf.begin() + n)});
    from = first + static_cast<TSTime64>(n) * ch.divide;
  }
  return out;
}

template <class T>
void ExpectSameStretches(const std::vector<Stretch<T>>& want, const std::vector<Stretch<T>>& got) {
  ASSERT_EQ(want.size(), got.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(want[i].start, got[i].start) << "stretch " << i;
    EXPECT_TRUE(want[i].samples == got[i].samples) << "stretch " << i;
  }
}

// The items or samples of one channel, checked against its description.
// Titles, scales and the rest of the channel record are compared through
// the exports by the format parity test.
void ExpectChannel(CKel64File& f, uint16_t c, const Channel& ch) {
  SCOPED_TRACE("channel " + std::to_string(c));
  EXPECT_EQ(ch.kind, f.ChanKind(c));
  EXPECT_EQ(recording_test::LastTime(ch), f.ChanMaxTime(c));
  const int count = static_cast<int>(recording_test::ItemCount(ch));
  switch (ch.kind) {
    case 1: {
      ExpectSameStretches(Expected<int16_t>(ch), ReadStretches<int16_t>(ch, [&](int16_t* b, int n, TSTime64 t, TSTime64* first) {
                            return f.ReadWaveS(c, b, n, t, kMaxTime64, first, nullptr);
                          }));
      break;
    }
    case 9:
      ExpectSameStretches(Expected<float>(ch), ReadStretches<float>(ch, [&](float* b, int n, TSTime64 t, TSTime64* first) {
                            return f.ReadWaveF(c, b, n, t, kMaxTime64, first, nullptr);
                          }));
      break;
    case 2:
    case 3: {
      std::vector<TSTime64> times(count + 1);
      ASSERT_EQ(count, f.ReadEvents(c, times.data(), count + 1, 0, kMaxTime64, nullptr));
      times.pop_back();
      EXPECT_EQ(ch.times, times);
      break;
    }
    case 4: {
      // The flag is the level before the first change read; as markers the
      // changes carry the level after them, alternating.
      std::vector<TSTime64> times(count + 1);
      bool level = ch.initLevel;
      ASSERT_EQ(count, f.ReadLevels(c, times.data(), count + 1, 0, kMaxTime64, &level));
      times.pop_back();
      EXPECT_EQ(ch.times, times);
      EXPECT_EQ(!ch.initLevel, level);
      std::vector<vslk64::TMarker> marks(count);
      ASSERT_EQ(count, f.ReadMarkers(c, marks.data(), count, 0, kMaxTime64, nullptr));
      for (int i = 0; i < count; ++i) {
        EXPECT_EQ(ch.times[i], marks[i].time);
        EXPECT_EQ((i % 2 == 0) != ch.initLevel, marks[i].code[0] != 0) << "change " << i;
      }
      break;
    }
    case 5: {
      std::vector<vslk64::TMarker> marks(count + 1);
      ASSERT_EQ(count, f.ReadMarkers(c, marks.data(), count + 1, 0, kMaxTime64, nullptr));
      for (int i = 0; i < count; ++i) {
        EXPECT_EQ(ch.markers[i].time, marks[i].time);
        EXPECT_EQ(0, std::memcmp(ch.markers[i].code, marks[i].code, 4)) << "marker " << i;
      }
      break;
    }
    default: {
      uint64_t rows = 0, cols = 0;
      const int preTrig = f.GetExtMarkInfo(c, &rows, &cols);
      EXPECT_EQ(ch.rows, rows);
      EXPECT_EQ(ch.kind == 8 ? 1 : ch.cols, cols);
      EXPECT_EQ(ch.kind == 6 ? ch.preTrig : 0, preTrig);
      const size_t size = recording_test::ItemSize(ch);
      std::vector<uint8_t> items(size * (count + 1));
      ASSERT_EQ(count, f.ReadExtMarks(c, reinterpret_cast<vslk64::TExtMark*>(items.data()), count + 1, 0,
                                      kMaxTime64, nullptr));
      for (int i = 0; i < count; ++i) {
        const ExtMarker& want = ch.extMarks[i];
        const uint8_t* got = items.data() + size * i;
        TSTime64 time;
        std::memcpy(&time, got, 8);
        EXPECT_EQ(want.time, time);
        EXPECT_EQ(0, std::memcmp(want.code, got + 8, 4)) << "item " << i;
        const std::vector<uint8_t> payload = recording_test::Payload(ch, want);
        EXPECT_EQ(0, std::memcmp(payload.data(), got + 16, payload.size())) << "item " << i;
      }
      break;
    }
  }
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
