// Reading channels of files laid out by the test builders, against a model:
// random events, markers, levels, text marks and 16-bit waveform runs with
// gaps, in blocks of random fill (enough of them for a two-level index in
// one seed, stale blocks of an earlier use in another), then random reads,
// backward searches and level reads, each compared with a brute-force scan
// of what was laid out, with the reads each kind refuses. Float samples
// read as 16 bits, doubles and damaged files are tests after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "filelib/le.h"
#include "filelib/orfx/channel.h"
#include "filelib/orfx/kel64_file.h"
#include "tests/builder/recording.h"
#include "tests/orfx/chan_file_util.h"

namespace vslk64 {
namespace {

using namespace chantest;  // NOLINT
using testing_support::TempDir;

enum : uint16_t { kEvents, kMarkers, kLevels, kTexts, kWave, kWaveMarks, kChans };
constexpr int64_t kDivide = 10;
// Wave marks: records of 4 points of 2 traces, 5 ticks apart; a record
// 20 ticks after the one before continues its trace.
constexpr int64_t kMarkDivide = 5;
int16_t Point(int64_t t, int trace) { return static_cast<int16_t>(3 * t + 1000 * trace); }
// Each channel's kind, divide, rows and columns; text marks of 8 characters.
const struct {
  TDataKind kind;
  int64_t divide;
  uint16_t rows, cols;
} kShapes[kChans] = {{EventA, 0, 0, 0},   {Marker, 0, 0, 0},    {Level, 0, 0, 0},
                     {TextMark, 0, 8, 1}, {Adc, kDivide, 0, 0}, {WaveMark, kMarkDivide, 4, 2}};

struct Laid {
  int64_t t;
  uint8_t code;  // markers, levels, text marks; the sample of a waveform
  int16_t v;
};

struct Model {
  std::vector<Laid> items[kChans];
  size_t blocks[kChans] = {};
  bool highFirst = false;  // the level before the first change
};

// Lays out every channel of one seed. `many` gives the events 300 blocks
// (two index levels), 16 to the waveform; `reused` adds stale blocks after the events' data.
Model Build(std::mt19937& rng, ChannelFile& file, bool many, bool reused) {
  const auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  Model m;
  m.highFirst = pick(2) == 0;
  for (uint16_t c = 0; c < kChans; ++c) {
    std::vector<Bytes> images;
    const size_t blocks = !many ? 1 + pick(c == kWave ? 16 : 30) : c == kEvents ? 300 : 16;
    // Waveforms start after tick 0: a backward search over samples that
    // runs out at a channel start of 0 answers 0, not -1 (a fault still open).
    const bool points = c == kWave || c == kWaveMarks;
    int64_t t = c == kLevels || pick(3) == 0 ? points ? 1 : 0 : pick(50);
    for (size_t k = 0; k < blocks; ++k) {
      std::vector<Laid> laid;
      if (c == kWave) {
        // With `many`, one stretch over every block: searches outlast a budget.
        if (k > 0 && !many && pick(3) == 0) t += 1 + pick(25);
        std::vector<orfxtest::ShortRun> runs(many ? 1 : 1 + pick(3));
        for (size_t r = 0; r < runs.size(); ++r) {
          if (r > 0) t += 1 + pick(25);
          runs[r].start = t;
          for (uint32_t i = 0, n = 1 + pick(pick(4) == 0 ? 400 : 40); i < n; ++i) {
            const int16_t v = static_cast<int16_t>(rng());
            runs[r].samples.push_back(v);
            laid.push_back({t, 0, v});
            t += kDivide;
          }
        }
        images.push_back(orfxtest::AdcBlock(c, runs));
      } else {
        // Whole blocks the only-3 filter rejects, 25 in a row among many.
        const bool quiet = pick(2) == 0 || (k >= 20 && k < 45);
        for (uint32_t i = 0, n = 1 + pick(20); i < n; ++i) {
          // Level changes alternate from the initial level.
          const size_t at = m.items[c].size() + laid.size();
          laid.push_back({t,
                          static_cast<uint8_t>(c == kLevels ? (at + m.highFirst) % 2 == 0
                                               : quiet      ? 1
                                                            : pick(4)),
                          0});
          if (c == kWaveMarks)
            t += pick(2) ? 4 * kMarkDivide : 21 + pick(30);
          else
            t += c == kLevels || pick(3) != 0 ? 1 + pick(c == kEvents ? 20 : 100) : 0;
        }
        std::vector<int64_t> times;
        std::vector<orfxtest::MarkerItem> marks;
        std::vector<orfxtest::ExtMarkItem> texts;
        for (const Laid& l : laid) {
          times.push_back(l.t);
          marks.push_back(Mark(l.t, l.code));
          std::vector<std::vector<int16_t>> traces(2);
          for (int p = 0; p < 8; ++p)
            traces[p % 2].push_back(Point(l.t + kMarkDivide * (p / 2), p % 2));
          texts.push_back({l.t,
                           {l.code},
                           c == kTexts ? Bytes{l.code, static_cast<uint8_t>(l.t), 0x44}
                                       : orfxtest::WaveMarkPayload(traces)});
        }
        images.push_back(c == kEvents  ? orfxtest::EventBlock(c, times, reused ? 1 : 0)
                         : c == kTexts ? orfxtest::ExtMarkBlock(c, 24, texts)
                         : c == kWaveMarks
                             ? orfxtest::ExtMarkBlock(c, Fields(WaveMark, 0, 4, 2).itemSize, texts)
                             : orfxtest::MarkerBlock(c, marks));
      }
      m.items[c].insert(m.items[c].end(), laid.begin(), laid.end());
    }
    ChanFields f = Fields(kShapes[c].kind, kShapes[c].divide, kShapes[c].rows, kShapes[c].cols);
    f.scale = 2.0;
    f.offset = 1.0;
    f.flags = c == kLevels && m.highFirst ? 1 : 0;
    m.blocks[c] = images.size();
    size_t used = SIZE_MAX;
    if (c == kEvents && reused) {  // stale blocks stamped 0, with later times
      used = images.size();
      for (int k = 0; k < 40; ++k)
        images.push_back(orfxtest::EventBlock(c, Times(m.items[c].back().t + 1 + 100 * k, 3, 20)));
      f.reuseCount = 1;
    }
    file.AddForeignBlocks(1 + pick(3));
    file.AddChannel(c, f, images, used);
  }
  // Kinds the model does not read, for the table of reads each kind allows.
  const ChanFields rm = Fields(RealMark, 1, 2, 1);
  file.AddChannel(6, rm, {orfxtest::ExtMarkBlock(6, rm.itemSize, {{100, {}, {}}})});
  file.AddChannel(7, Fields(RealWave, 10), {orfxtest::RealWaveBlock(7, {{0, {1.f}}})});
  file.AddChannel(8, Fields(EventB), {orfxtest::EventBlock(8, {5})});
  return m;
}

// The first code-0 byte of an item must be in `pass` for the filter to
// let it through (every item passes with no filter).
CMarkFilter Only(const std::vector<int>& pass) {
  CMarkFilter f;
  f.SetItem(0, -1, 0);
  for (int c : pass) f.SetItem(0, c, 1);
  return f;
}

TEST(ChannelRead, RandomReadsAndSearchesAnswerAsTheLaidOutItems) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    const auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    ChannelFile file;
    const Model m = Build(rng, file, seed <= 2, seed == 2);
    TempDir dir;
    auto f = OpenBuilt(file, dir);
    TSTime64 last = 0;
    for (uint16_t c = 0; c < kChans; ++c) {
      last = std::max(last, m.items[c].back().t);
      EXPECT_EQ(f->ChanMaxTime(c), m.items[c].back().t) << c;
      EXPECT_EQ(f->ChanBytes(c), static_cast<int64_t>(m.blocks[c]) * 65536) << c;
    }
    EXPECT_EQ(f->MaxTime(true), last);
    std::vector<CMarkFilter> filters = {Only({3}), Only({0, 2}), Only({}), CMarkFilter()};
    filters[3].SetColumn(1);  // passes every item; wave marks read as trace 1
    for (int op = 0; op < 400; ++op) {
      const uint16_t c = static_cast<uint16_t>(pick(kChans));
      const std::vector<Laid>& all = m.items[c];
      const int64_t end = all.back().t + 30;
      // Times at, just after or one divide after an item (often one of the
      // first two), or anywhere.
      const auto near = [&] {
        const int64_t t = all[pick(pick(2) ? 2 : static_cast<uint32_t>(all.size()))].t;
        const int64_t step[] = {0, 1, kDivide};
        return pick(2) ? static_cast<TSTime64>(pick(static_cast<uint32_t>(end)))
                       : t + step[pick(3)];
      };
      const TSTime64 from = pick(5) == 0 ? -5 : near();
      // From before the channel's start, often up to its first item: nothing
      // before or in the range, so a level read falls back on the initial level.
      const TSTime64 upto = from < 0 && pick(2) ? all[0].t
                            : pick(3) == 0      ? kMaxTime64
                            : pick(2) == 0
                                ? near()
                                : from + 1 + pick(pick(2) ? 60 : static_cast<uint32_t>(end));
      const int max = 1 + static_cast<int>(pick(pick(4) == 0 ? 7000 : 30));
      const CMarkFilter* filter =
          c == kMarkers || c >= kTexts ? (pick(2) ? &filters[pick(4)] : nullptr) : nullptr;
      const auto passes = [&](const Laid& l) {
        return !filter || filter == &filters[3] || (filter == &filters[0] && l.code == 3) ||
               (filter == &filters[1] && (l.code == 0 || l.code == 2));
      };
      const TSTime64 to = upto == kMaxTime64 ? from : upto;  // where searches start
      SCOPED_TRACE(::testing::Message() << "op " << op << " chan " << c << " [" << from << ", "
                                        << upto << ") max " << max);
      if (c == kWave || c == kWaveMarks) {
        // The samples, or the points of the records the filter passes.
        std::vector<Laid> points = c == kWave ? all : std::vector<Laid>();
        const int64_t divide = c == kWave ? kDivide : kMarkDivide;
        for (const Laid& l : c == kWaveMarks ? all : std::vector<Laid>())
          for (int64_t t = l.t; t < l.t + 4 * kMarkDivide && passes(l); t += kMarkDivide)
            points.push_back({t, 0, Point(t, filter == &filters[3] ? 1 : 0)});
        // The first sample at or after from, then each one divide on.
        std::vector<Laid> want;
        for (const Laid& l : points) {
          if (l.t < from || l.t >= upto || static_cast<int>(want.size()) == max) continue;
          if (!want.empty() && l.t != want.back().t + divide) break;
          want.push_back(l);
        }
        std::vector<int16_t> s(static_cast<size_t>(max) + 1, 0x5a5a);
        std::vector<float> v(static_cast<size_t>(max) + 1, -123.0f);
        TSTime64 first = -7, firstF = -7;
        ASSERT_EQ(f->ReadWaveS(c, s.data(), max, from, upto, &first, filter),
                  static_cast<int>(want.size()));
        ASSERT_EQ(f->ReadWaveF(c, v.data(), max, from, upto, &firstF, filter),
                  static_cast<int>(want.size()));
        EXPECT_EQ(s[static_cast<size_t>(max)], 0x5a5a);  // nothing past max is touched
        EXPECT_EQ(v[static_cast<size_t>(max)], -123.0f);
        EXPECT_TRUE(want.empty() || (first == want[0].t && firstF == want[0].t)) << first;
        for (size_t i = 0; i < want.size(); ++i) {
          ASSERT_EQ(s[i], want[i].v) << i;
          ASSERT_NEAR(v[i], want[i].v * 2 / 6553.6 + 1, 1e-5) << i;
        }
        // The search is over every record's points (how a filter acts on
        // it is left open).
        std::vector<TSTime64> times;
        for (const Laid& l : all)
          for (int p = 0; p < (c == kWave ? 1 : 4); ++p) times.push_back(l.t + kMarkDivide * p);
        const uint32_t n = 1 + pick(pick(2) ? 8 : 2000);
        // Not the channel's first sample, where a search short of n answers
        // that sample (-1 for any other earliest time before it).
        TSTime64 earliest = pick(3) == 0 ? near() : 0;
        earliest -= !times.empty() && earliest == times[0] ? 1 : 0;
        // Over samples either way; over wave marks' points, not records.
        const bool overPoints = c == kWaveMarks || pick(2);
        EXPECT_EQ(f->PrevNTime(c, to, earliest, n, nullptr, overPoints),
                  WavePrevN(times, to, earliest, n, divide))
            << "back " << n << " to " << earliest;
        if (c == kWave) continue;
      }
      std::vector<Laid> want;
      for (const Laid& l : all) {
        if (l.t >= from && l.t < upto && passes(l) && static_cast<int>(want.size()) < max)
          want.push_back(l);
      }
      // Levels: the changes in range, and the level the first one takes
      // (the opposite of the level at from).
      std::vector<TSTime64> times(static_cast<size_t>(max));
      bool high = m.highFirst;
      for (const Laid& l : all) high = l.t < from ? l.code == 1 : high;
      bool level = high;  // the wrong answer, unless the read sets it
      ASSERT_EQ(c == kLevels ? f->ReadLevels(c, times.data(), max, from, upto, &level)
                             : f->ReadEvents(c, times.data(), max, from, upto, filter),
                static_cast<int>(want.size()));
      EXPECT_TRUE(c != kLevels || level != high);
      for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(times[i], want[i].t) << i;
      if (c == kMarkers || c >= kTexts) {
        std::vector<uint8_t> buf(32 * static_cast<size_t>(max));
        const int got = c == kMarkers ? f->ReadMarkers(c, reinterpret_cast<TMarker*>(buf.data()),
                                                       max, from, upto, filter)
                                      : f->ReadExtMarks(c, reinterpret_cast<TExtMark*>(buf.data()),
                                                        max, from, upto, filter);
        ASSERT_EQ(got, static_cast<int>(want.size()));
        const size_t size = c == kMarkers ? sizeof(TMarker) : static_cast<size_t>(f->ItemSize(c));
        for (size_t i = 0; i < want.size(); ++i) {
          EXPECT_EQ(le::GetI64(&buf[size * i]), want[i].t) << i;
          EXPECT_EQ(buf[size * i + 8], want[i].code) << i;
          if (c == kTexts) {
            EXPECT_EQ(buf[size * i + 16], want[i].code) << i;
            EXPECT_EQ(buf[size * i + 17], static_cast<uint8_t>(want[i].t)) << i;
          }
          if (c == kWaveMarks) {
            EXPECT_EQ(le::GetI16(&buf[size * i + 18]), Point(want[i].t, 1));
          }
        }
      }
      // Back from upto: the n-th passing item before it, if not before earliest.
      std::vector<TSTime64> before;
      for (const Laid& l : all)
        if (l.t < to && (c == kLevels || passes(l))) before.push_back(l.t);
      const uint32_t back = 1 + pick(pick(4) == 0 ? 3000 : 5);
      const TSTime64 earliest = pick(3) == 0 ? near() : 0;
      const TSTime64 answer = before.size() >= back && before[before.size() - back] >= earliest
                                  ? before[before.size() - back]
                                  : -1;
      EXPECT_EQ(f->PrevNTime(c, to, earliest, back, filter, false), answer)
          << "back " << back << " to " << earliest;
    }
    if (seed == 3) {
      // Each kind answers the reads its items allow and refuses the others:
      // times, markers, extended markers, waveform, points back.
      const struct {
        uint16_t chan;
        const char* reads;
      } kinds[] = {{kEvents, "t"},  {8, "t"},    {kMarkers, "tm"}, {kLevels, "tm"},
                   {kTexts, "tmx"}, {6, "tmxp"}, {kWave, "wp"},    {kWaveMarks, "tmxwp"},
                   {7, "wp"}};
      for (const auto& k : kinds) {
        SCOPED_TRACE(k.chan);
        TSTime64 t[4];
        alignas(8) uint8_t items[4 * 64];
        int16_t s[4];
        float v[4];
        const auto ok = [&](int r, char read) {
          EXPECT_EQ(r == kErrWrongKind, std::strchr(k.reads, read) == nullptr) << read << r;
        };
        ok(f->ReadEvents(k.chan, t, 4, 0, kMaxTime64, nullptr), 't');
        ok(f->ReadMarkers(k.chan, reinterpret_cast<TMarker*>(items), 4, 0, kMaxTime64, nullptr),
           'm');
        ok(f->ReadExtMarks(k.chan, reinterpret_cast<TExtMark*>(items), 1, 0, kMaxTime64, nullptr),
           'x');
        ok(f->ReadWaveS(k.chan, s, 4, 0, kMaxTime64, nullptr, nullptr), 'w');
        ok(f->ReadWaveF(k.chan, v, 4, 0, kMaxTime64, nullptr, nullptr), 'w');
        ok(f->PrevNTime(k.chan, kMaxTime64, 0, 1, nullptr, true), 'p');
      }
      EXPECT_FALSE(f->IsModified());
      EXPECT_EQ(f->GetFreeChan(), 9);  // the lowest unused slot
    }
    if (seed == 1) {
      // The channel itself hands back control once a budget of ten blocks
      // is spent; the same range, asked again, runs to the answer.
      TKel64File raw;
      ASSERT_EQ(raw.Open(dir.File("f.orfx").c_str(), 1, 0), kOk);
      std::unique_ptr<CKel64Chan> chan = MakeChanFromRecord(&raw, kEvents);
      const std::vector<Laid>& all = m.items[kEvents];
      const size_t back = all.size() / 300 * 30;  // more than ten blocks hold
      TReadRange range(0, kMaxTime64, back);
      EXPECT_EQ(chan->PrevNTime(range, nullptr, false), kSearchBudgetSpent);
      EXPECT_EQ(chan->PrevNTime(range, nullptr, false), all[all.size() - back].t);
    }
  }
}

// Float samples read as 16 bits are clamped and rounded under either sign
// of scale.
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
  constexpr int kBlock = 16376;
  std::vector<float> all(3 * kBlock);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<float>(i % 1000) / 1000.f;
  std::vector<Bytes> blocks;
  for (int k = 0; k < 3; ++k) {
    const std::vector<float> v(all.begin() + k * kBlock, all.begin() + (k + 1) * kBlock);
    blocks.push_back(orfxtest::RealWaveBlock(2, {{k * kBlock, v}}));
  }
  file.AddChannel(2, Fields(RealWave, 1), blocks);
  TempDir dir;
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
  ASSERT_EQ(f->ReadWaveS(2, many.data(), 3 * kBlock + 5, 0, kMaxTime64, &first, nullptr),
            3 * kBlock);
  for (size_t i = 0; i < all.size(); i += 997)
    EXPECT_EQ(many[i], std::lround(all[i] * 6553.6)) << i;
  ASSERT_EQ(f->ReadWaveS(2, many.data(), 20000, 100, 20000, &first, nullptr), 19900);
  EXPECT_EQ(first, 100);
}

// A float channel read as 16 bits goes through staging pieces; on a file
// being written a piece may end inside the block still held for writing,
// and the next piece must go on from there.
TEST(WaveChannel, FloatsReadAs16BitsGoOnInsideTheWriteBlock) {
  for (const uint64_t buffer : {uint64_t{0}, uint64_t{1} << 16, uint64_t{1} << 20}) {
    for (const int n : {16385, 40000}) {
      SCOPED_TRACE(::testing::Message() << "buffer " << buffer << " samples " << n);
      TempDir dir;
      auto f = NewKel64File();
      ASSERT_EQ(f->Create(dir.File("w.orfx").c_str(), 32, 0), 0);
      ASSERT_EQ(f->SetWaveChan(1, 1, RealWave, 0, 0), 0);
      if (buffer) f->SetBuffering(1, buffer, 0);
      std::vector<float> v(static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = static_cast<float>(i % 500) / 100.f;
      ASSERT_EQ(f->WriteWaveF(1, v.data(), v.size(), 0), n);
      std::vector<int16_t> s(v.size() + 1);
      TSTime64 first = -1;
      ASSERT_EQ(f->ReadWaveS(1, s.data(), n + 1, 0, kMaxTime64, &first, nullptr), n);
      EXPECT_EQ(first, 0);
      for (int i = 0; i < n; i += 331) EXPECT_EQ(s[i], std::lround(v[i] * 6553.6)) << i;
    }
  }
}

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
  for (uint64_t i = 0; i < 40000; ++i)
    c.runs[0].floats.push_back(i < 8 ? specials[i] : static_cast<float>(std::sin(i * 0.001) * 1e3));
  rec.channels[slot] = c;
  return rec;
}

// ReadWaveD, which converts straight from the block images into doubles,
// against the two-step path (ReadWaveF, then widening), bit for bit: every
// 16-bit sample value under several scales and offsets, and float samples,
// in both formats.
TEST(WaveDoubles, EveryValueIsTheFloatOfTheTwoStepReadWidened) {
  for (bool orf : {false, true}) {
    SCOPED_TRACE(orf ? "ORF" : "ORFX");
    TempDir dir;
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
          const int nF = file->ReadWaveF(chan, floats.data() + done, piece, from, kMaxTime64,
                                         &firstF, nullptr);
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
}

// --- Damaged files -------------------------------------------------------------------

TEST(ChannelRead, DamagedBlocksAndIndexBlocksGiveCorrupt) {
  // 260 blocks of 20 events, k * 1000 + 10 * i; a value of `bytes` bytes put
  // at `at` in data block `block`, or in level-0 index block `node` (-1: none).
  const struct {
    const char* what;
    int block, node;
    uint32_t at, bytes;
    int64_t value;
  } faults[] = {
      {"block stamped by an earlier reuse", 100, -1, 10, 2, 7},
      {"block whose times run back into the block before", 100, -1, 16, 8, 99000},
      {"block whose times run on into the next block", 99, -1, 16 + 8 * 19, 8, 100500},
      {"blocks overlapping across a level-1 boundary", 254, -1, 16 + 8 * 19, 8, 255500},
      {"level-1 index block without entries", -1, 1, 12, 4, 0},
      {"index entry times that do not match the blocks", -1, 0, 16 + 16 * 7, 8, 100000},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.what);
    ChannelFile file;
    std::vector<Bytes> images;
    for (int k = 0; k < 260; ++k)
      images.push_back(orfxtest::EventBlock(0, Times(1000 * k, 10, 20)));
    const orfxtest::LaidChannel laid = file.AddChannel(0, Fields(EventA), images);
    uint8_t* at =
        file.image().At((fault.block >= 0 ? laid.blocks[static_cast<size_t>(fault.block)]
                                          : laid.tree.nodes[0][static_cast<size_t>(fault.node)]) +
                        fault.at);
    fault.bytes == 2   ? le::PutU16(at, static_cast<uint16_t>(fault.value))
    : fault.bytes == 4 ? le::PutU32(at, static_cast<uint32_t>(fault.value))
                       : le::PutI64(at, fault.value);
    TempDir dir;
    auto f = OpenBuilt(file, dir);
    std::vector<TSTime64> t(6000);
    for (int attempt = 0; attempt < 2; ++attempt)
      EXPECT_EQ(f->ReadEvents(0, t.data(), 6000, 0, kMaxTime64, nullptr), kErrCorrupt);
    EXPECT_EQ(f->PrevNTime(0, kMaxTime64, 0, 5000, nullptr, false), kErrCorrupt);
  }
}

}  // namespace
}  // namespace vslk64
