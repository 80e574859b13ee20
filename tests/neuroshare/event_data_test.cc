// The item-based entities through the exports: event information and data
// of every event kind, segments with one and two traces, neural units, and
// how each call meets bad indices, sources, entities and item sizes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_errors.h"
#include "neuroshare/ns_file_table.h"
#include "tests/neuroshare/memory_recording.h"

namespace nsv {
namespace {

using nsv_test::MemItem;
using nsv_test::MemoryRecording;
using nsv_test::OpenInLayer;
using vslk64::TSTime64;

MemItem Item(TSTime64 time, std::vector<uint8_t> codes, std::vector<unsigned char> payload = {}) {
  MemItem item;
  item.time = time;
  for (size_t k = 0; k < codes.size() && k < 4; ++k) item.code[k] = codes[k];
  item.payload = std::move(payload);
  return item;
}

// Entities of the recording below.
enum : uint32_t {
  kEvents,     // EventA at 100, 200, 300
  kLevel,      // Level starting low, changes at 100, 200, 300
  kMarkers,    // codes (1,2,3,4) at 100, (9,0,0,0) and (8,0,0,0) both at 500
  kReals,      // RealMark, 2 values: (1.5, -2) at 1000
  kTexts,      // TextMark, 8 characters: "hello" at 2000
  kTwoTraces,  // WaveMark, 32 points of 2 traces; codes (3,5,0,40) and (3,0,0,0)
  kUnit3,
  kUnit5,
  kUnit40,
  kOneTrace,  // WaveMark, 4 points of 1 trace
  kUnit1,
};

class ItemEntities : public ::testing::Test {
 protected:
  void SetUp() override {
    NsCloseAllFiles();
    auto rec = std::make_unique<MemoryRecording>();
    rec->AddEvents(0, vslk64::EventA, {100, 200, 300}).comment = "taps";
    rec->AddLevel(1, false, {100, 200, 300});
    rec->AddMarkers(2, {Item(100, {1, 2, 3, 4}), Item(500, {9}), Item(500, {8})});
    rec->AddRealMarks(3, 2, {Item(1000, {}, MemoryRecording::Floats({1.5f, -2.0f}))})
        .comment = "force,torque";
    rec->AddTextMarks(4, 8, {Item(2000, {}, MemoryRecording::Text("hello"))});
    // Trace 0 holds j, trace 1 holds 100 + j, point by point.
    std::vector<int16_t> samples;
    for (int16_t j = 0; j < 32; ++j) {
      samples.push_back(j);
      samples.push_back(static_cast<int16_t>(100 + j));
    }
    auto& wave = rec->AddWaveMarks(5, 32, 2, 5,
                                   {Item(3000, {3, 5, 0, 40}, MemoryRecording::Shorts(samples)),
                                    Item(4000, {3}, MemoryRecording::Shorts(samples))});
    wave.title = "tetrode";
    wave.units = "uV";
    wave.scale = 6553.6;  // one step is 1.0
    wave.offset = 0.5;
    wave.comment = "probe 2";
    wave.yLow = -10;
    wave.yHigh = 20;
    rec->AddWaveMarks(6, 4, 1, 5, {Item(6000, {1}, MemoryRecording::Shorts({7, 8, 9, 10}))});
    handle_ = OpenInLayer(std::move(rec));
    ASSERT_NE(handle_, 0u);
  }
  void TearDown() override { NsCloseAllFiles(); }

  uint32_t handle_ = 0;
};

TEST_F(ItemEntities, EventInfoDescribesTheDataOfEachKind) {
  struct Want {
    uint32_t entity;
    uint32_t type;
    uint32_t length;
  };
  const Want want[] = {{kEvents, ns_EVENT_BYTE, 0}, {kLevel, ns_EVENT_BYTE, 1},
                       {kMarkers, ns_EVENT_DWORD, 4}, {kReals, ns_EVENT_CSV, 26},
                       {kTexts, ns_EVENT_TEXT, 8}};
  for (const Want& w : want) {
    ns_EVENTINFO info;
    std::memset(&info, 0xA5, sizeof info);
    ASSERT_EQ(ns_GetEventInfo(handle_, w.entity, &info, sizeof info), ns_OK);
    EXPECT_EQ(info.dwEventType, w.type) << w.entity;
    EXPECT_EQ(info.dwMinDataLength, w.length) << w.entity;
    EXPECT_EQ(info.dwMaxDataLength, w.length) << w.entity;
  }
  ns_EVENTINFO info;
  ASSERT_EQ(ns_GetEventInfo(handle_, kReals, &info, sizeof info), ns_OK);
  EXPECT_STREQ(info.szCSVDesc, "force,torque");
  EXPECT_EQ(ns_GetEventInfo(handle_, kTwoTraces, &info, sizeof info), ns_BADENTITY);
}

TEST_F(ItemEntities, EventsAndLevelsGiveTheirTimeAndTheLevelBeforeEachChange) {
  double t = 0;
  uint32_t size = 77;
  unsigned char data[4] = {9, 9, 9, 9};
  ASSERT_EQ(ns_GetEventData(handle_, kEvents, 1, &t, data, sizeof data, &size), ns_OK);
  EXPECT_DOUBLE_EQ(t, 200e-6);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(data[0], 0) << "the data area is cleared";

  const uint8_t levels[] = {0, 1, 0};
  for (uint32_t i = 0; i < 3; ++i) {
    ASSERT_EQ(ns_GetEventData(handle_, kLevel, i, &t, data, sizeof data, &size), ns_OK);
    EXPECT_EQ(data[0], levels[i]) << i;
    EXPECT_EQ(size, 1u);
  }
  size = 77;
  ASSERT_EQ(ns_GetEventData(handle_, kLevel, 2, &t, nullptr, 0, &size), ns_OK);
  EXPECT_DOUBLE_EQ(t, 300e-6);
  EXPECT_EQ(size, 0u);

  EXPECT_EQ(ns_GetEventData(handle_, kLevel, 3, &t, data, sizeof data, &size), ns_BADINDEX);
  EXPECT_STREQ(NsLastMessage(),
               "Bad index or time (3d) for entity 1d passed to function GetEventData");
  EXPECT_EQ(ns_GetEventData(handle_, kUnit3, 0, &t, data, sizeof data, &size), ns_BADENTITY);
  EXPECT_EQ(ns_GetEventData(handle_ + 1, kLevel, 0, &t, data, sizeof data, &size), ns_BADFILE);
}

TEST_F(ItemEntities, MarkersGiveAsManyCodeBytesAsFit) {
  unsigned char data[20];
  std::memset(data, 0xEE, sizeof data);
  uint32_t size = 0;
  double t = 0;
  ASSERT_EQ(ns_GetEventData(handle_, kMarkers, 0, &t, data, 4, &size), ns_OK);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(std::vector<unsigned char>(data, data + 5),
            (std::vector<unsigned char>{1, 2, 3, 4, 0xEE}));

  std::memset(data, 0xEE, sizeof data);
  ASSERT_EQ(ns_GetEventData(handle_, kMarkers, 0, &t, data, 16, &size), ns_OK);
  EXPECT_EQ(size, 8u);
  const std::vector<unsigned char> want = {1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xEE};
  EXPECT_EQ(std::vector<unsigned char>(data, data + 17), want);

  ASSERT_EQ(ns_GetEventData(handle_, kMarkers, 0, &t, nullptr, 16, &size), ns_OK);
  EXPECT_EQ(size, 8u) << "the size that would fit, with no area given";

  // Two markers at one time: each index gives its own item.
  ASSERT_EQ(ns_GetEventData(handle_, kMarkers, 1, &t, data, 4, &size), ns_OK);
  EXPECT_EQ(data[0], 9);
  ASSERT_EQ(ns_GetEventData(handle_, kMarkers, 2, &t, data, 4, &size), ns_OK);
  EXPECT_EQ(data[0], 8);
  EXPECT_DOUBLE_EQ(t, 500e-6);
}

TEST_F(ItemEntities, FloatMarkersAreCommaSeparatedTextCutToTheArea) {
  struct Case {
    uint32_t dataSize;
    const char* text;
    uint32_t size;
  };
  const Case cases[] = {{26, "1.5,-2", 7}, {13, "1.5", 4}, {5, "1.5", 4}, {3, "1.", 3}};
  for (const Case& c : cases) {
    char data[32];
    std::memset(data, 'x', sizeof data);
    uint32_t size = 0;
    double t = 0;
    ASSERT_EQ(ns_GetEventData(handle_, kReals, 0, &t, data, c.dataSize, &size), ns_OK);
    EXPECT_STREQ(data, c.text) << c.dataSize;
    EXPECT_EQ(size, c.size) << c.dataSize;
    EXPECT_EQ(data[c.dataSize], 'x') << "nothing past the area";
    EXPECT_DOUBLE_EQ(t, 1000e-6);
  }
  uint32_t size = 0;
  ASSERT_EQ(ns_GetEventData(handle_, kReals, 0, nullptr, nullptr, 0, &size), ns_OK);
  EXPECT_EQ(size, 4u) << "the first value's text and its terminator";
}

TEST_F(ItemEntities, TextMarkersGiveTheirTextBytesAsFarAsTheyFit) {
  char data[16];
  std::memset(data, 'x', sizeof data);
  uint32_t size = 0;
  double t = 0;
  ASSERT_EQ(ns_GetEventData(handle_, kTexts, 0, &t, data, sizeof data, &size), ns_OK);
  EXPECT_EQ(size, 8u) << "the whole payload";
  EXPECT_EQ(std::string(data, 8), std::string("hello\0\0\0", 8));
  EXPECT_EQ(data[8], 0) << "the rest of the area is cleared";
  ASSERT_EQ(ns_GetEventData(handle_, kTexts, 0, &t, data, 3, &size), ns_OK);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(std::string(data, 3), "hel");
  ASSERT_EQ(ns_GetEventData(handle_, kTexts, 0, &t, nullptr, 0, &size), ns_OK);
  EXPECT_EQ(size, 0u);
  EXPECT_DOUBLE_EQ(t, 2000e-6);
}

TEST_F(ItemEntities, SegmentsDescribeTheirTracesAndEachSource) {
  ns_SEGMENTINFO info;
  ASSERT_EQ(ns_GetSegmentInfo(handle_, kTwoTraces, &info, sizeof info), ns_OK);
  EXPECT_EQ(info.dwSourceCount, 2u);
  EXPECT_EQ(info.dwMinSampleCount, 32u);
  EXPECT_EQ(info.dwMaxSampleCount, 32u);
  const double rate = info.dSampleRate;
  EXPECT_DOUBLE_EQ(rate, 200000.0);
  EXPECT_STREQ(info.szUnits, "uV");

  ns_SEGSOURCEINFO source;
  std::memset(&source, 0xA5, sizeof source);
  ASSERT_EQ(ns_GetSegmentSourceInfo(handle_, kTwoTraces, 1, &source, sizeof source), ns_OK);
  const double low = source.dMinVal, high = source.dMaxVal, step = source.dResolution;
  EXPECT_EQ(low, -10.0);
  EXPECT_EQ(high, 20.0);
  EXPECT_DOUBLE_EQ(step, 1.0);
  const double zero = source.dLowFreqCorner;
  EXPECT_EQ(zero, 0.0);
  EXPECT_EQ(source.dwHighFreqOrder, 0u);
  EXPECT_STREQ(source.szHighFilterType, "unknown");
  EXPECT_STREQ(source.szLowFilterType, "unknown");
  EXPECT_STREQ(source.szProbeInfo, "probe 2");

  EXPECT_EQ(ns_GetSegmentSourceInfo(handle_, kTwoTraces, 2, &source, sizeof source),
            ns_BADSOURCE);
  EXPECT_STREQ(NsLastMessage(),
               "Bad segment source index (2d) for entity 5d passed to function "
               "GetSegmentSourceInfo");
  EXPECT_EQ(ns_GetSegmentInfo(handle_, kUnit3, &info, sizeof info), ns_BADENTITY);
}

TEST_F(ItemEntities, SegmentDataIsTraceAfterTraceAsFarAsTheBufferHolds) {
  double data[80];
  for (double& d : data) d = -99;
  double t = 0;
  uint32_t count = 0;
  uint32_t unit = 0;
  ASSERT_EQ(ns_GetSegmentData(handle_, kTwoTraces, 0, &t, data, 512, &count, &unit), ns_OK);
  EXPECT_DOUBLE_EQ(t, 3000e-6);
  EXPECT_EQ(count, 32u);
  EXPECT_EQ(unit, 0x28u) << "bits 3 and 5; codes 0 and 40 set none";
  for (int j = 0; j < 32; ++j) {
    EXPECT_EQ(data[j], j + 0.5) << j;
    EXPECT_EQ(data[32 + j], 100 + j + 0.5) << j;
  }
  EXPECT_EQ(data[64], -99);

  for (double& d : data) d = -99;
  ASSERT_EQ(ns_GetSegmentData(handle_, kTwoTraces, 1, &t, data, 264, &count, &unit), ns_OK);
  EXPECT_EQ(count, 16u) << "264 bytes hold 16 points of each trace";
  EXPECT_EQ(unit, 0x08u);
  EXPECT_EQ(data[15], 15.5);
  EXPECT_EQ(data[16], 100.5) << "trace 1 follows trace 0's 16 points";
  EXPECT_EQ(data[31], 115.5);
  EXPECT_EQ(data[32], 0.0) << "the rest of the area is cleared";
  EXPECT_EQ(data[33], -99) << "nothing past the buffer";

  ASSERT_EQ(ns_GetSegmentData(handle_, kOneTrace, 0, &t, data, 24, &count, nullptr), ns_OK);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(data[2], 9 * 0.000152587890625) << "scale 1: one step is 1/6553.6";
  EXPECT_EQ(ns_GetSegmentData(handle_, kOneTrace, 0, &t, nullptr, 64, &count, &unit), ns_OK);
  EXPECT_EQ(count, 4u);

  EXPECT_EQ(ns_GetSegmentData(handle_, kTwoTraces, 2, &t, data, 512, &count, &unit), ns_BADINDEX);
  EXPECT_STREQ(NsLastMessage(),
               "Bad index or time (2d) for entity 5d passed to function GetSegmentData");
}

TEST_F(ItemEntities, NeuralUnitsGiveTheTimesOfTheirCode) {
  ns_NEURALINFO info;
  ASSERT_EQ(ns_GetNeuralInfo(handle_, kUnit40, &info, sizeof info), ns_OK);
  EXPECT_EQ(info.dwSourceEntityID, static_cast<uint32_t>(kTwoTraces));
  EXPECT_EQ(info.dwSourceUnitID, 40u);
  EXPECT_STREQ(info.szProbeInfo, "tetrode");
  ASSERT_EQ(ns_GetNeuralInfo(handle_, kUnit1, &info, sizeof info), ns_OK);
  EXPECT_EQ(info.dwSourceEntityID, static_cast<uint32_t>(kOneTrace));

  double times[4] = {-1, -1, -1, -1};
  ASSERT_EQ(ns_GetNeuralData(handle_, kUnit3, 0, 2, times), ns_OK);
  EXPECT_DOUBLE_EQ(times[0], 3000e-6);
  EXPECT_DOUBLE_EQ(times[1], 4000e-6);
  ASSERT_EQ(ns_GetNeuralData(handle_, kUnit3, 1, 4, times), ns_OK);
  EXPECT_DOUBLE_EQ(times[0], 4000e-6);
  EXPECT_EQ(times[1], 4000e-6) << "left from the call before";
  EXPECT_EQ(times[2], -1) << "only the remaining times are written";

  EXPECT_EQ(ns_GetNeuralData(handle_, kUnit5, 1, 1, times), ns_BADINDEX);
  EXPECT_STREQ(NsLastMessage(),
               "Bad index or time (1d) for entity 7d passed to function GetNeuralData");
  EXPECT_EQ(ns_GetNeuralData(handle_, kTwoTraces, 0, 1, times), ns_BADENTITY);
  EXPECT_EQ(ns_GetNeuralInfo(handle_, kMarkers, &info, sizeof info), ns_BADENTITY);
  EXPECT_EQ(ns_GetNeuralInfo(handle_, kUnit3, &info, 135), ns_LIBERROR);
}

// Each call that takes an entity refuses entities of another type and
// handles that are not open, with its own name in the message.
TEST_F(ItemEntities, EntityCallsRefuseOtherTypesAndClosedHandles) {
  ns_ENTITYINFO entity;
  ns_EVENTINFO event;
  ns_SEGMENTINFO segment;
  ns_SEGSOURCEINFO source;
  ns_NEURALINFO neural;
  ns_ANALOGINFO analog;
  double values[64];
  double t;
  uint32_t n;
  struct Case {
    const char* op;
    uint32_t wrongEntity;
    std::function<ns_RESULT(uint32_t h, uint32_t e)> call;
  };
  const Case cases[] = {
      {"GetEntityInfo", 12, [&](uint32_t h, uint32_t e) {
         return ns_GetEntityInfo(h, e, &entity, sizeof entity);
       }},
      {"GetEventInfo", kUnit3, [&](uint32_t h, uint32_t e) {
         return ns_GetEventInfo(h, e, &event, sizeof event);
       }},
      {"GetEventData", kTwoTraces, [&](uint32_t h, uint32_t e) {
         return ns_GetEventData(h, e, 0, &t, values, sizeof values, &n);
       }},
      {"GetSegmentInfo", kMarkers, [&](uint32_t h, uint32_t e) {
         return ns_GetSegmentInfo(h, e, &segment, sizeof segment);
       }},
      {"GetSegmentSourceInfo", kUnit5, [&](uint32_t h, uint32_t e) {
         return ns_GetSegmentSourceInfo(h, e, 0, &source, sizeof source);
       }},
      {"GetSegmentData", kTexts, [&](uint32_t h, uint32_t e) {
         return ns_GetSegmentData(h, e, 0, &t, values, sizeof values, &n, &n);
       }},
      {"GetNeuralInfo", kOneTrace, [&](uint32_t h, uint32_t e) {
         return ns_GetNeuralInfo(h, e, &neural, sizeof neural);
       }},
      {"GetNeuralData", kEvents, [&](uint32_t h, uint32_t e) {
         return ns_GetNeuralData(h, e, 0, 1, values);
       }},
      {"GetAnalogInfo", kReals, [&](uint32_t h, uint32_t e) {
         return ns_GetAnalogInfo(h, e, &analog, sizeof analog);
       }},
      {"GetAnalogData", kLevel, [&](uint32_t h, uint32_t e) {
         return ns_GetAnalogData(h, e, 0, 4, &n, values);
       }},
      {"GetTimeByIndex", 99, [&](uint32_t h, uint32_t e) {
         return ns_GetTimeByIndex(h, e, 0, &t);
       }},
      {"GetIndexByTime", 12, [&](uint32_t h, uint32_t e) {
         return ns_GetIndexByTime(h, e, 0.0, ns_CLOSEST, &n);
       }},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(handle_, c.wrongEntity), ns_BADENTITY) << c.op;
    EXPECT_EQ(std::string(NsLastMessage()), "Bad entity number (" +
                                                std::to_string(c.wrongEntity) +
                                                "d) passed to function " + c.op);
    EXPECT_EQ(c.call(handle_ + 1, kEvents), ns_BADFILE) << c.op;
    EXPECT_EQ(std::string(NsLastMessage()), "Bad file handle (" + std::to_string(handle_ + 1) +
                                                "d) passed to function " + c.op);
  }
}

TEST(NeuralUnits, DataRunsAcrossChunks) {
  NsCloseAllFiles();
  auto rec = std::make_unique<MemoryRecording>();
  std::vector<MemItem> items;
  for (int i = 0; i < 9000; ++i) items.push_back(Item(10 * i, {static_cast<uint8_t>(i % 2)}));
  rec->AddWaveMarks(0, 1, 1, 1, items);
  MemoryRecording* file = rec.get();
  const uint32_t h = OpenInLayer(std::move(rec));
  ASSERT_NE(h, 0u);
  file->ResetReads();
  std::vector<double> times(10, -1);
  // Unit 1 holds items 1, 3, 5, ...: its chunks end after 4000 of them.
  ASSERT_EQ(ns_GetNeuralData(h, 2, 3995, 10, times.data()), ns_OK);
  for (int k = 0; k < 10; ++k) EXPECT_DOUBLE_EQ(times[k], (2 * (3995 + k) + 1) * 10e-6) << k;
  EXPECT_EQ(file->TotalReads(), 2) << "one read per chunk";
  NsCloseAllFiles();
}

TEST(ItemSizes, AnItemSizeThatDoesNotFitTheChannelIsARefusedRead) {
  NsCloseAllFiles();
  auto rec = std::make_unique<MemoryRecording>();
  const MemItem item = Item(10, {1}, MemoryRecording::Floats({1, 2, 3, 4}));
  rec->AddRealMarks(0, 4, {item}).itemSizeOverride = 24;      // too small for 4 floats
  rec->AddRealMarks(1, 4, {item}).itemSizeOverride = 1 << 24;  // no file holds such items
  rec->AddRealMarks(2, 4, {item}).itemSizeOverride = 36;       // not a whole number of words
  rec->AddRealMarks(3, 4, {item});
  const uint32_t h = OpenInLayer(std::move(rec));
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
  NsCloseAllFiles();
}

}  // namespace
}  // namespace nsv
