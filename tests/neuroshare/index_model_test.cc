// Index, time and data of every kind of entity through the exports. First
// waveform and item entities against a model: seeded random recordings in
// both formats (runs with and without gaps, runs of one time, enough items
// and samples to cross blocks and the layer's chunks, whose waveform chunks
// come from the run heads) and random calls, each answer checked against the
// times and values written, searched by brute force. Then the edges a random
// time seldom meets: times that are not numbers, below zero or past the span,
// the floor of a time's ticks, failed and large reads. Then the item-based
// entities: event data of every event kind cut to the area given, segments
// with one and two traces cut to the buffer, a unit's times across chunks,
// and item sizes that do not fit. (Whole items and every record against the
// recording are the comparer's, tests/support/ns_compare.cc; wrong entity
// types are host_api_test.cc's.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_errors.h"
#include "tests/neuroshare/watched_file.h"
#include "tests/support/temp_dir.h"

namespace nsv_test {
namespace {

// What one entity holds: every item's or sample's time and, for waveforms,
// value; for markers each item's first code.
struct Model {
  std::vector<int64_t> times;
  std::vector<double> values;
  std::vector<uint8_t> codes;
  int64_t divide = 0;  // waveforms
};

// The written time the rule picks for ticks, or -1 when there is none.
int64_t Pick(const std::vector<int64_t>& times, int64_t ticks, int32_t rule) {
  int64_t before = -1, after = -1;
  for (int64_t t : times) {
    if (t <= ticks) before = t;
    if (t >= ticks && after < 0) after = t;
  }
  if (after < 0) return -1;  // past the last item
  if (before < 0 || rule == ns_AFTER) return after;
  if (rule == ns_BEFORE) return before;
  return ticks - before < after - ticks ? before : after;  // equally near: the later
}

// Times from 0 with steps of minStep to maxStep ticks (0: a run of one time).
std::vector<int64_t> RandomTimes(std::mt19937& rng, size_t n, int minStep, int maxStep) {
  std::vector<int64_t> times;
  int64_t t = rng() % 50;
  for (size_t i = 0; i < n; ++i) times.push_back(t += minStep + rng() % (maxStep - minStep + 1));
  return times;
}

// The channel of the n-th entity: every other one is left off, which lists
// no entity.
int Slot(size_t n) { return static_cast<int>(2 * n + 1); }

// Events and markers with runs of one time, which cross blocks.
Recording RandomRecording(std::mt19937& rng, std::vector<Model>* models) {
  Recording rec;
  // Long runs of 16-bit samples, of floats, and many short runs whose heads
  // reach far into their blocks; runs end where blocks end (32752 16-bit
  // samples or 16376 floats of one run fill an ORFX block) and around the
  // layer's chunks of 32000.
  for (int shape = 0; shape < 3; ++shape) {
    const int kind = shape == 1 ? 9 : 1;
    Channel c = Wave(kind, 1 + rng() % 20, kind == 1 ? 6553.6 : 1.0);
    Model m;
    m.divide = c.divide;
    int64_t t = rng() % 100;
    const size_t lengths[] = {1, 50, 16376, 31999, 32001, 32752, 40000};
    for (int r = shape == 2 ? 1500 : rng() % 5; r >= 0; --r) {
      std::vector<int16_t> samples(shape == 2 ? 1 + rng() % 23 : lengths[rng() % 7]);
      for (int16_t& s : samples) s = static_cast<int16_t>(rng() % 60001) - 30000;
      AddRun(c, t, samples);
      for (size_t i = 0; i < samples.size(); ++i) {
        m.times.push_back(t + static_cast<int64_t>(i) * c.divide);
        m.values.push_back(samples[i]);
      }
      // The next run follows at once (no gap) or after a gap.
      t += (static_cast<int64_t>(samples.size()) + rng() % 3 * (1 + rng() % 100)) * c.divide;
    }
    rec.channels[Slot(models->size())] = c;
    models->push_back(m);
  }
  Model events, markers, levels;
  events.times = RandomTimes(rng, rng() % 9000, 0, 3);
  rec.channels[Slot(3)] = Events(2, events.times);
  markers.times = RandomTimes(rng, 4000 + rng() % 1000, 0, 2);
  Channel& mark = rec.channels[Slot(4)] = Events(5, {});
  for (size_t i = 0; i < markers.times.size(); ++i) {
    markers.codes.push_back(static_cast<uint8_t>(rng()));
    mark.markers.push_back({markers.times[i], {markers.codes.back(), 0, 0, 0}});
  }
  levels.times = RandomTimes(rng, rng() % 100, 1, 9);
  rec.channels[Slot(5)] = Events(4, levels.times);
  models->insert(models->end(), {events, markers, levels});
  return rec;
}

TEST(IndexModel, RandomCallsAnswerAsTheWrittenRecording) {
  testing_support::TempDir dir;
  for (unsigned run = 2; run <= 9; ++run) {
    // Both formats, ORF with small blocks so that runs cross many of them.
    const bool orf = run % 2 != 0;
    SCOPED_TRACE(testing::Message() << "seed " << run / 2 << (orf ? " ORF" : " ORFX"));
    nsv::NsCloseAllFiles();
    std::mt19937 rng(run / 2);
    std::vector<Model> models;
    const Recording rec = RandomRecording(rng, &models);
    const std::string path = dir.File(orf ? "model.orf" : "model.orfx");
    ASSERT_TRUE(orf ? recording_test::WriteOrf(rec, path, 9, 2048)
                    : recording_test::WriteOrfx(rec, path));
    uint32_t h = 0;
    ASSERT_EQ(ns_OpenFile(path.c_str(), &h), ns_OK);
    // Times past the recording's last are the edge test's.
    int64_t end = 0;
    for (const Model& m : models) end = std::max(end, m.times.empty() ? 0 : m.times.back());
    for (int op = 0; op < 3000; ++op) {
      const uint32_t e = rng() % models.size();
      const Model& m = models[e];
      const uint32_t n = static_cast<uint32_t>(m.times.size());
      // Any index, or one next to where the layer's chunks of 32000 samples
      // or 4000 items end.
      uint32_t i = rng() % (n + 2);
      if (rng() % 2) {
        i = std::min<uint32_t>(n + 1, (1 + rng() % 2) * (m.divide ? 32000 : 4000) + rng() % 5 - 2);
      }
      SCOPED_TRACE(testing::Message() << "op " << op << " entity " << e << " index " << i);
      double t = -1;
      switch (rng() % 3) {
        case 0: {
          // Item counts show here too: the index past the last is refused.
          ASSERT_EQ(ns_GetTimeByIndex(h, e, i, &t), i < n ? ns_OK : ns_BADINDEX);
          if (i >= n) break;
          EXPECT_DOUBLE_EQ(t, m.times[i] * 1e-6);
          if (m.codes.empty()) break;
          uint8_t code[4] = {};
          uint32_t size = 0;
          ASSERT_EQ(ns_GetEventData(h, e, i, &t, code, sizeof code, &size), ns_OK);
          EXPECT_EQ(code[0], m.codes[i]);
          EXPECT_DOUBLE_EQ(t, m.times[i] * 1e-6);
          break;
        }
        case 1: {
          // A time near an item's, or anywhere up to past the last.
          const int64_t last = n ? m.times.back() : 0;
          const int64_t ticks = i < n && rng() % 4 ? m.times[i] + static_cast<int>(rng() % 7) - 3
                                                   : static_cast<int64_t>(rng() % (last + 20));
          if (ticks < 0 || ticks >= end) break;
          const int32_t rule = static_cast<int32_t>(rng() % 3);
          const int64_t want = Pick(m.times, ticks, rule);
          uint32_t index = 0;
          ASSERT_EQ(ns_GetIndexByTime(h, e, (ticks + 0.5) * 1e-6, rule, &index),
                    want < 0 ? ns_BADINDEX : ns_OK)
              << "ticks " << ticks << " rule " << rule;
          EXPECT_EQ(want < 0 ? want : m.times.at(index), want)
              << "ticks " << ticks << " rule " << rule;
          break;
        }
        default: {
          if (m.divide == 0) break;
          const uint32_t count = 1 + rng() % 50000;
          // The samples up to the first gap, at most count of them.
          uint32_t want = 0;
          while (i + want < n && want < count &&
                 (want == 0 || m.times[i + want] == m.times[i + want - 1] + m.divide)) {
            ++want;
          }
          std::vector<double> data(count, -1e9);
          uint32_t got = 77;
          ASSERT_EQ(ns_GetAnalogData(h, e, i, count, &got, data.data()),
                    i < n ? ns_OK : ns_BADINDEX);
          ASSERT_EQ(got, want);
          for (uint32_t k = 0; k < want; ++k) ASSERT_EQ(data[k], m.values[i + k]) << k;
          EXPECT_EQ(want < count ? data[want] : -1e9, -1e9) << "nothing past the gap";
        }
      }
    }
  }
  nsv::NsCloseAllFiles();
}

// Entities of the recording below (1 us ticks).
enum : uint32_t {
  kOneRun,  // 100 samples at 1000, 1010, ..., 1990
  kLong,    // 2^18 samples, one large read of the layer, at 0, 1, ..., then 20 after a
            // gap, the last in the file
  kEvents,  // 100 events every 10 ticks
};

TEST_F(LayerTest, EdgesOfIndexTimeAndData) {
  // A span whose seconds divide back to just below its last tick still ends
  // at that tick, so each rule finds the last item.
  Recording last;
  last.channels[0] = Events(2, {100, 500, 510});
  const uint32_t h2 = Open(
      last, [](WatchedFile&) {}, "/data/last.orfx");
  constexpr uint32_t kRead = 1 << 18;
  Recording rec;
  rec.channels[0] = Wave(1, 10);
  AddRun(rec.channels[0], 1000, std::vector<int16_t>(100, 1));
  rec.channels[1] = Wave(1, 1);
  AddRun(rec.channels[1], 0, std::vector<int16_t>(kRead, 2));
  AddRun(rec.channels[1], kRead + 50, std::vector<int16_t>(20, 3));
  rec.channels[2] = Events(2, Every(10, 100));
  const uint32_t h = Open(rec);
  ASSERT_NE(h, 0u);

  const int64_t bad = ns_BADINDEX;
  const struct {
    uint32_t file, entity;
    double seconds;
    std::vector<int64_t> want;  // before, closest, after
  } cases[] = {
      // 510 × 1e-6 s divided by 1e-6 s falls just below 510: tick 509 is taken.
      {h, kEvents, 510 * 1e-6, {50, 51, 51}},
      // Past the span: taken as its end, the last sample of kLong.
      {h, kLong, 1e6, {kRead + 19, kRead + 19, kRead + 19}},
      {h2, 0, 1e6, {2, 2, 2}},
      {h, kEvents, 1e6, {bad, bad, bad}},
      {h, kOneRun, std::nan(""), {bad, bad, bad}},
      {h, kOneRun, -1.5, {bad, bad, bad}},
  };
  file_->reads.clear();
  for (const auto& c : cases) {
    std::vector<int64_t> found;
    for (int32_t rule : {ns_BEFORE, ns_CLOSEST, ns_AFTER}) {
      uint32_t index = 12345;
      const ns_RESULT r = ns_GetIndexByTime(c.file, c.entity, c.seconds, rule, &index);
      found.push_back(r == ns_OK ? static_cast<int64_t>(index) : r);
    }
    EXPECT_EQ(found, c.want) << c.entity << " at " << c.seconds;
  }
  EXPECT_EQ(file_->reads[0] + file_->reads[1], 0) << "sample times need no read";
  EXPECT_STREQ(nsv::NsLastMessage(),
               "Bad index or time (4294967295d) for entity 0d passed to function GetIndexByTime");

  // A gap where one large read ends still ends the run; the read is one.
  std::vector<double> data(kRead + 100, -99);
  uint32_t count = 0;
  ASSERT_EQ(ns_GetAnalogData(h, kLong, 0, kRead + 100, &count, data.data()), ns_OK);
  EXPECT_EQ(count, kRead);
  EXPECT_EQ(file_->reads[1], 2) << "one large read, and one that finds the gap";

  // A failed read leaves no count.
  file_->failAfter[0] = 0;
  count = 77;
  EXPECT_EQ(ns_GetAnalogData(h, kOneRun, 3, 8, &count, data.data()), ns_FILEERROR);
  EXPECT_EQ(count, 0u);
  EXPECT_STREQ(nsv::NsLastMessage(),
               "File read error occurred in function GetAnalogData with entity 0d, index 3d");
}

using nsv::NsLastMessage;

// Entities of the recording below.
enum : uint32_t {
  kLevel,          // Level starting low, changes at 100, 200, 300
  kMarkers,        // codes (1,2,3,4) at 100, (9,0,0,0) and (8,0,0,0) both at 500
  kReals,          // RealMark, 2 values: (1.5, -2) at 1000
  kTexts,          // TextMark, 8 characters: "hello" at 2000
  kTwoTraces,      // WaveMark, 32 points of 2 traces; codes (3,5,0,40) and (3,0,0,0)
  kOneTrace = 8,   // WaveMark, 4 points of 1 trace, after the units 3, 5 and 40
  kBadSizes = 10,  // 4 RealMarks of 4 values, after kOneTrace's unit 1
  kUnitOne = 16,   // unit 1 of 9000 spikes, after the spikes and unit 0
};

TEST_F(LayerTest, EventDataOfEachKindFillsTheAreaAsFarAsItFits) {
  Recording rec;
  rec.channels[1] = Events(4, {100, 200, 300});
  rec.channels[1].initLevel = true;  // low before the first change
  rec.channels[2] = Events(5, {});
  rec.channels[2].markers = {{100, {1, 2, 3, 4}}, {500, {9}}, {500, {8}}};
  rec.channels[3] = ExtMarks(7, 2, 1, {Ext(1000, {})});
  rec.channels[3].extMarks[0].values = {1.5f, -2.0f};
  rec.channels[4] = ExtMarks(8, 8, 1, {Ext(2000, {})});
  rec.channels[4].extMarks[0].text = "hello";
  // Trace 0 holds j, trace 1 holds 100 + j, point by point; one step is 1.0.
  ExtMarker spike = Ext(3000, {3, 5, 0, 40}), later = Ext(4000, {3}), one = Ext(6000, {1});
  for (int16_t j = 0; j < 32; ++j) spike.wave.insert(spike.wave.end(), {j, int16_t(100 + j)});
  later.wave = spike.wave;
  one.wave = {7, 8, 9, 10};
  rec.channels[5] = ExtMarks(6, 32, 2, {spike, later}, 5, 6553.6, 0.5);
  rec.channels[6] = ExtMarks(6, 4, 1, {one}, 5);
  // Real markers whose item size does not fit: too small for 4 floats,
  // larger than any file holds, not a whole number of words; the last keeps
  // its own.
  ExtMarker four = Ext(10, {1});
  four.values = {1, 2, 3, 4};
  for (int c = 7; c < 11; ++c) rec.channels[c] = ExtMarks(7, 4, 1, {four});
  // Spikes of units 0 and 1 by turns, enough to cross the layer's chunks.
  std::vector<ExtMarker> spikes;
  for (int i = 0; i < 9000; ++i) spikes.push_back(Ext(10 * i, {static_cast<uint8_t>(i % 2)}));
  rec.channels[11] = ExtMarks(6, 1, 1, spikes);
  const uint32_t h = Open(rec, [](WatchedFile& f) {
    f.itemSizes = {{7, 24}, {8, 1 << 24}, {9, 36}};
  });
  ASSERT_NE(h, 0u);
  const struct {
    uint32_t entity, index, areaSize;
    bool area;
    std::string bytes;
    uint32_t size;
    double ticks;
  } cases[] = {
      // A level change gives the level before it.
      {kLevel, 0, 4, true, std::string(1, '\0'), 1, 100},
      {kLevel, 1, 4, true, "\1", 1, 200},
      {kLevel, 2, 4, true, std::string(1, '\0'), 1, 300},
      {kLevel, 2, 0, false, "", 0, 300},
      {kMarkers, 0, 4, true, "\1\2\3\4", 4, 100},
      {kMarkers, 0, 16, true, "\1\2\3\4", 8, 100},
      {kMarkers, 0, 16, false, "", 8, 100},
      {kMarkers, 2, 4, true, "\x08", 4, 500},
      // Float markers: comma-separated text, cut at a value.
      {kReals, 0, 26, true, "1.5,-2", 7, 1000},
      {kReals, 0, 13, true, "1.5", 4, 1000},
      {kReals, 0, 5, true, "1.5", 4, 1000},
      {kReals, 0, 3, true, "1.", 3, 1000},
      {kReals, 0, 0, false, "", 4, 1000},
      {kTexts, 0, 16, true, "hello", 8, 2000},
      {kTexts, 0, 3, true, "hel", 3, 2000},
      {kTexts, 0, 0, false, "", 0, 2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "entity " << c.entity << " index " << c.index << " area "
                                    << c.areaSize << (c.area ? "" : " (none)"));
    char area[32];
    std::memset(area, 'x', sizeof area);
    uint32_t size = 77;
    double t = 0;
    ASSERT_EQ(ns_GetEventData(h, c.entity, c.index, &t, c.area ? area : nullptr, c.areaSize, &size),
              ns_OK);
    EXPECT_EQ(size, c.size);
    EXPECT_DOUBLE_EQ(t, c.ticks * 1e-6);
    EXPECT_EQ(std::string(area, c.areaSize + 1),
              (c.area ? c.bytes + std::string(c.areaSize - c.bytes.size(), '\0')
                      : std::string(c.areaSize, 'x')) +
                  'x');
  }
  double data[80], t = 0;
  uint32_t count = 0, unit = 0;
  EXPECT_EQ(ns_GetEventData(h, kLevel, 3, &t, nullptr, 0, &count), ns_BADINDEX);
  EXPECT_STREQ(NsLastMessage(),
               "Bad index or time (3d) for entity 0d passed to function GetEventData");

  // Segments with one and two traces: data trace after trace as far as the
  // buffer holds. (Whole traces and their descriptions are the comparer's,
  // tests/support/ns_compare.cc.)
  ns_SEGSOURCEINFO source;
  EXPECT_EQ(ns_GetSegmentSourceInfo(h, kTwoTraces, 2, &source, sizeof source), ns_BADSOURCE);
  EXPECT_STREQ(NsLastMessage(),
               "Bad segment source index (2d) for entity 4d passed to function "
               "GetSegmentSourceInfo");
  std::fill(std::begin(data), std::end(data), -99);
  ASSERT_EQ(ns_GetSegmentData(h, kTwoTraces, 0, &t, data, 512, &count, &unit), ns_OK);
  EXPECT_EQ(unit, 0x28u) << "bits 3 and 5; codes 0 and 40 set none";
  EXPECT_EQ(data[64], -99) << "nothing past the traces";
  // 264 bytes hold 16 points of each trace, then the rest of the area is
  // cleared and nothing past it written.
  ASSERT_EQ(ns_GetSegmentData(h, kTwoTraces, 1, &t, data, 264, &count, &unit), ns_OK);
  EXPECT_EQ(
      (std::vector<double>{double(count), double(unit), data[15], data[16], data[32], data[33]}),
      (std::vector<double>{16, 0x08, 15.5, 100.5, 0, 101.5}));
  ASSERT_EQ(ns_GetSegmentData(h, kOneTrace, 0, &t, data, 24, &count, nullptr), ns_OK);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(ns_GetSegmentData(h, kOneTrace, 0, &t, nullptr, 64, &count, &unit), ns_OK);
  EXPECT_EQ(count, 4u);
  char text[64];
  for (uint32_t entity = kBadSizes; entity < kBadSizes + 3; ++entity) {
    EXPECT_EQ(ns_GetEventData(h, entity, 0, &t, text, sizeof text, &count), ns_FILEERROR);
    EXPECT_EQ(count, 0u);
  }
  EXPECT_STREQ(NsLastMessage(),
               "File read error occurred in function GetEventData with entity 12d, index 0d");
  ASSERT_EQ(ns_GetEventData(h, kBadSizes + 3, 0, &t, text, sizeof text, &count), ns_OK);
  EXPECT_STREQ(text, "1,2,3,4");

  // A unit's times from any index, across the layer's chunks; only the times
  // the unit has are written.
  file_->reads.clear();
  std::fill(std::begin(data), std::end(data), -1);
  // Unit 1 holds items 1, 3, 5, ...: its chunks end after 4000 of them.
  ASSERT_EQ(ns_GetNeuralData(h, kUnitOne, 3995, 10, data), ns_OK);
  for (int k = 0; k < 10; ++k) EXPECT_DOUBLE_EQ(data[k], (2 * (3995 + k) + 1) * 10e-6) << k;
  EXPECT_EQ(file_->reads[11], 2) << "one read per chunk";
  ASSERT_EQ(ns_GetNeuralData(h, kUnitOne, 4498, 10, data), ns_OK);
  EXPECT_DOUBLE_EQ(data[1], 89990 * 1e-6);
  EXPECT_DOUBLE_EQ(data[2], (2 * 3997 + 1) * 10e-6) << "only the times the unit has are written";
  EXPECT_EQ(ns_GetNeuralData(h, kUnitOne, 4500, 1, data), ns_BADINDEX) << "past the end";
}

// A unit's times from any index, across the layer's chunks; only the times
// the unit has are written.
}  // namespace
}  // namespace nsv_test
