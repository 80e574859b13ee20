// The item-based entities through the exports: event data of every event
// kind cut to the area given, segments with one and two traces cut to the
// buffer, a unit's times across chunks, and item sizes that do not fit.
// (Whole items and every record against the recording are the comparer's,
// tests/support/ns_compare.cc; wrong entity types are host_api_test.cc's.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_errors.h"
#include "tests/neuroshare/watched_file.h"

namespace nsv_test {
namespace {

using nsv::NsLastMessage;

// Entities of the recording below.
enum : uint32_t {
  kLevel,         // Level starting low, changes at 100, 200, 300
  kMarkers,       // codes (1,2,3,4) at 100, (9,0,0,0) and (8,0,0,0) both at 500
  kReals,         // RealMark, 2 values: (1.5, -2) at 1000
  kTexts,         // TextMark, 8 characters: "hello" at 2000
  kTwoTraces,     // WaveMark, 32 points of 2 traces; codes (3,5,0,40) and (3,0,0,0)
  kOneTrace = 8,  // WaveMark, 4 points of 1 trace, after the units 3, 5 and 40
};

class ItemEntities : public LayerTest {
 protected:
  void SetUp() override {
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
    handle_ = Open(rec);
    ASSERT_NE(handle_, 0u);
  }

  uint32_t handle_ = 0;
};

// Each kind's data cut to the area given (the rest of the area cleared,
// nothing past it written), the size returned, and the item's time. Without
// an area the size is what would fit in the size given.
TEST_F(ItemEntities, EventDataOfEachKindFillsTheAreaAsFarAsItFits) {
  struct Case {
    uint32_t entity, index, areaSize;
    bool area;
    std::string bytes;
    uint32_t size;
    double ticks;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "entity " << c.entity << " index " << c.index << " area "
                                    << c.areaSize << (c.area ? "" : " (none)"));
    char data[32];
    std::memset(data, 'x', sizeof data);
    uint32_t size = 77;
    double t = 0;
    ASSERT_EQ(
        ns_GetEventData(handle_, c.entity, c.index, &t, c.area ? data : nullptr, c.areaSize, &size),
        ns_OK);
    EXPECT_EQ(size, c.size);
    EXPECT_DOUBLE_EQ(t, c.ticks * 1e-6);
    if (c.area) {
      EXPECT_EQ(std::string(data, c.areaSize + 1),
                c.bytes + std::string(c.areaSize - c.bytes.size(), '\0') + 'x');
    }
  }
  double t;
  uint32_t size;
  EXPECT_EQ(ns_GetEventData(handle_, kLevel, 3, &t, nullptr, 0, &size), ns_BADINDEX);
  EXPECT_STREQ(NsLastMessage(),
               "Bad index or time (3d) for entity 0d passed to function GetEventData");
}

// Segments with one and two traces: data trace after trace as far as the
// buffer holds. (Whole traces and their descriptions are the comparer's,
// tests/support/ns_compare.cc.)
TEST_F(ItemEntities, SegmentsGiveTheirTracesAsFarAsTheBufferHolds) {
  ns_SEGSOURCEINFO source;
  EXPECT_EQ(ns_GetSegmentSourceInfo(handle_, kTwoTraces, 2, &source, sizeof source), ns_BADSOURCE);
  EXPECT_STREQ(NsLastMessage(),
               "Bad segment source index (2d) for entity 4d passed to function "
               "GetSegmentSourceInfo");
  double data[80], t = 0;
  std::fill(std::begin(data), std::end(data), -99);
  uint32_t count = 0, unit = 0;
  ASSERT_EQ(ns_GetSegmentData(handle_, kTwoTraces, 0, &t, data, 512, &count, &unit), ns_OK);
  EXPECT_EQ(unit, 0x28u) << "bits 3 and 5; codes 0 and 40 set none";
  EXPECT_EQ(data[64], -99) << "nothing past the traces";
  // 264 bytes hold 16 points of each trace, then the rest of the area is
  // cleared and nothing past it written.
  ASSERT_EQ(ns_GetSegmentData(handle_, kTwoTraces, 1, &t, data, 264, &count, &unit), ns_OK);
  EXPECT_EQ(
      (std::vector<double>{double(count), double(unit), data[15], data[16], data[32], data[33]}),
      (std::vector<double>{16, 0x08, 15.5, 100.5, 0, 101.5}));
  ASSERT_EQ(ns_GetSegmentData(handle_, kOneTrace, 0, &t, data, 24, &count, nullptr), ns_OK);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(ns_GetSegmentData(handle_, kOneTrace, 0, &t, nullptr, 64, &count, &unit), ns_OK);
  EXPECT_EQ(count, 4u);
}

// A unit's times from any index, across the layer's chunks; only the times
// the unit has are written.
TEST_F(LayerTest, NeuralDataRunsAcrossChunks) {
  std::vector<ExtMarker> items;
  for (int i = 0; i < 9000; ++i) items.push_back(Ext(10 * i, {static_cast<uint8_t>(i % 2)}));
  Recording rec;
  rec.channels[0] = ExtMarks(6, 1, 1, items);
  const uint32_t h = Open(rec);
  ASSERT_NE(h, 0u);
  file_->reads.clear();
  std::vector<double> times(10, -1);
  // Unit 1 holds items 1, 3, 5, ...: its chunks end after 4000 of them.
  ASSERT_EQ(ns_GetNeuralData(h, 2, 3995, 10, times.data()), ns_OK);
  for (int k = 0; k < 10; ++k) EXPECT_DOUBLE_EQ(times[k], (2 * (3995 + k) + 1) * 10e-6) << k;
  EXPECT_EQ(file_->TotalReads(), 2) << "one read per chunk";
  ASSERT_EQ(ns_GetNeuralData(h, 2, 4498, 10, times.data()), ns_OK);
  EXPECT_DOUBLE_EQ(times[1], 89990 * 1e-6);
  EXPECT_DOUBLE_EQ(times[2], (2 * 3997 + 1) * 10e-6) << "only the times the unit has are written";
  EXPECT_EQ(ns_GetNeuralData(h, 2, 4500, 1, times.data()), ns_BADINDEX) << "past the end";
}

TEST_F(LayerTest, AnItemSizeThatDoesNotFitTheChannelIsARefusedRead) {
  ExtMarker item = Ext(10, {1});
  item.values = {1, 2, 3, 4};
  Recording rec;
  for (int c = 0; c < 4; ++c) rec.channels[c] = ExtMarks(7, 4, 1, {item});
  // Too small for 4 floats, larger than any file holds, not a whole number of
  // words; the last channel keeps its own.
  const uint32_t h = Open(rec, [](WatchedFile& f) {
    f.itemSizes = {{0, 24}, {1, 1 << 24}, {2, 36}};
  });
  ASSERT_NE(h, 0u);
  char text[64];
  uint32_t size;
  double t;
  for (uint32_t entity = 0; entity < 3; ++entity) {
    EXPECT_EQ(ns_GetEventData(h, entity, 0, &t, text, sizeof text, &size), ns_FILEERROR);
    EXPECT_EQ(size, 0u);
  }
  EXPECT_STREQ(NsLastMessage(),
               "File read error occurred in function GetEventData with entity 2d, index 0d");
  ASSERT_EQ(ns_GetEventData(h, 3, 0, &t, text, sizeof text, &size), ns_OK);
  EXPECT_STREQ(text, "1,2,3,4");
}

}  // namespace
}  // namespace nsv_test
