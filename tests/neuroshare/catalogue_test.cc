// The file record and the entity catalogue built at open: the file's
// description, the entity list and its order, the chunk index of every kind
// of channel, the read cache, and how unreadable channels are met.
#include "neuroshare/ns_catalogue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_errors.h"
#include "neuroshare/ns_file_table.h"
#include "neuroshare/ns_index.h"
#include "neuroshare/ns_read_cache.h"
#include "platform/file.h"
#include "tests/neuroshare/memory_recording.h"

namespace nsv {
namespace {

using nsv_test::MemItem;
using nsv_test::MemoryRecording;
constexpr auto Item = &MemoryRecording::Item;
using nsv_test::OpenInLayer;
using vslk64::TSTime64;

std::vector<TSTime64> Every(TSTime64 step, size_t n, TSTime64 first = 0) {
  std::vector<TSTime64> times(n);
  for (size_t i = 0; i < n; ++i) times[i] = first + step * static_cast<TSTime64>(i);
  return times;
}

using Chunks = std::vector<TNsChunk>;
Chunks ChunksOf(uint32_t handle, uint32_t entity) {
  return NsFindFile(handle)->entities.at(entity)->chunks;
}

class Catalogue : public ::testing::Test {
 protected:
  void SetUp() override { NsCloseAllFiles(); }
  void TearDown() override { NsCloseAllFiles(); }

  // Opens rec and keeps a pointer to it (the table owns it).
  uint32_t Open(std::unique_ptr<MemoryRecording> rec, const char* path = "/data/run.orfx") {
    file_ = rec.get();
    return OpenInLayer(std::move(rec), path);
  }

  ns_ENTITYINFO Entity(uint32_t handle, uint32_t id) {
    ns_ENTITYINFO info;
    std::memset(&info, 0xA5, sizeof info);
    EXPECT_EQ(ns_GetEntityInfo(handle, id, &info, sizeof info), ns_OK) << "entity " << id;
    return info;
  }

  MemoryRecording* file_ = nullptr;
};

TEST_F(Catalogue, ListsChannelsInOrderWithEachWaveMarksUnitsAfterIt) {
  auto rec = std::make_unique<MemoryRecording>();
  rec->AddWave(0, vslk64::Adc, 10).title = "adc";
  rec->AddRun(0, 0, {1, 2, 3});
  rec->AddItems(2, vslk64::WaveMark, 4, 1, {Item(100, {3}, {}), Item(200, {3, 7}, {}),
                                            Item(300, {0}, {})}).title = "spikes";
  rec->AddItems(3, vslk64::Marker, 0, 1, {Item(50, {1}, {})}).title = "keys";
  rec->AddEvents(5, vslk64::EventA, {}).title = "empty";
  rec->AddEvents(6, vslk64::EventA, {5}).title = std::string(40, 't');  // cut to 31
  rec->AddEvents(7, static_cast<vslk64::TDataKind>(11), {}).title = "odd";  // unknown: blank
  const uint32_t h = Open(std::move(rec));
  ASSERT_NE(h, 0u);

  struct Want {
    uint32_t type;
    std::string label;
    uint32_t items;
  };
  const Want want[] = {{ns_ENTITY_ANALOG, "adc", 3},       {ns_ENTITY_SEGMENT, "spikes", 3},
                       {ns_ENTITY_NEURALEVENT, "spikes", 1}, {ns_ENTITY_NEURALEVENT, "spikes", 2},
                       {ns_ENTITY_NEURALEVENT, "spikes", 1}, {ns_ENTITY_EVENT, "keys", 1},
                       {ns_ENTITY_EVENT, "empty", 0},
                       {ns_ENTITY_EVENT, std::string(31, 't'), 1},
                       {ns_ENTITY_UNKNOWN, "", 0}};
  for (uint32_t id = 0; id < 9; ++id) {
    const ns_ENTITYINFO info = Entity(h, id);
    EXPECT_EQ(info.dwEntityType, want[id].type) << id;
    EXPECT_EQ(info.szEntityLabel, want[id].label) << id;
    EXPECT_EQ(info.szEntityLabel[31], 0) << "the label is zero-filled";
    EXPECT_EQ(info.dwItemCount, want[id].items) << id;
  }
  ns_FILEINFO file;
  ASSERT_EQ(ns_GetFileInfo(h, &file, sizeof file), ns_OK);
  EXPECT_EQ(file.dwEntityCount, 9u);

  // Units 0, 3 and 7, in that order, each naming its segment entity.
  const uint32_t codes[] = {0, 3, 7};
  for (uint32_t k = 0; k < 3; ++k) {
    ns_NEURALINFO unit;
    ASSERT_EQ(ns_GetNeuralInfo(h, 2 + k, &unit, sizeof unit), ns_OK);
    EXPECT_EQ(unit.dwSourceEntityID, 1u);
    EXPECT_EQ(unit.dwSourceUnitID, codes[k]);
    EXPECT_STREQ(unit.szProbeInfo, "spikes");
  }
  double t;
  EXPECT_EQ(ns_GetTimeByIndex(h, 6, 0, &t), ns_BADINDEX) << "an entity without items";
}

// Item chunks hold a read's worth and never split a run of one time;
// waveform chunks end at a gap or after 32000 samples.
TEST_F(Catalogue, ChunksEndAfterAReadsWorthOrAtAGap) {
  auto rec = std::make_unique<MemoryRecording>();
  rec->AddEvents(0, vslk64::EventB, Every(10, 8001));
  // Markers 3998 to 4000 share one time, across the end of the first read.
  std::vector<MemItem> marks;
  for (int i = 0; i < 4002; ++i) {
    const TSTime64 t = i < 3998 ? i * 10 : i <= 4000 ? 40000 : 50000;
    marks.push_back(Item(t, {static_cast<uint8_t>(i % 250)}, {}));
  }
  rec->AddItems(1, vslk64::Marker, 0, 1, marks);
  rec->AddWave(2, vslk64::Adc, 10);
  rec->AddRun(2, 0, std::vector<float>(70000, 1));
  rec->AddRun(2, 800000, std::vector<float>(10, 2));
  rec->AddWave(3, vslk64::Adc, 100000);
  rec->AddRun(3, 0, std::vector<float>(5, 0));
  rec->AddWave(4, vslk64::Adc, 0);  // a divide below one tick is taken as one
  rec->AddRun(4, 7, std::vector<float>(3, 0));
  const uint32_t h = Open(std::move(rec));
  ASSERT_NE(h, 0u);
  // One read per chunk, one that finds the end, and after each full item
  // read a look at its last time.
  EXPECT_EQ(file_->Chan(0).reads, 6);
  EXPECT_EQ(file_->Chan(2).reads, 5);

  EXPECT_EQ(ChunksOf(h, 0),
            (Chunks{{0, 39990, 0, 4000}, {40000, 79990, 4000, 4000}, {80000, 80000, 8000, 1}}));
  EXPECT_EQ(ChunksOf(h, 1), (Chunks{{0, 39970, 0, 3998}, {40000, 50000, 3998, 4}}));
  EXPECT_EQ(ChunksOf(h, 2), (Chunks{{0, 319990, 0, 32000}, {320000, 639990, 32000, 32000},
                                    {640000, 699990, 64000, 6000}, {800000, 800090, 70000, 10}}));
  EXPECT_EQ(Entity(h, 1).dwItemCount, 4002u) << "every item of the run is indexed";
  EXPECT_EQ(Entity(h, 3).dwItemCount, 5u) << "no sample counted twice";

  // Each item of the run is its own: the data call steps over the earlier ones.
  for (uint32_t index = 3998; index <= 4000; ++index) {
    uint8_t codes[4];
    uint32_t size = 0;
    double t = 0;
    ASSERT_EQ(ns_GetEventData(h, 1, index, &t, codes, sizeof codes, &size), ns_OK);
    EXPECT_EQ(codes[0], index % 250);
    EXPECT_DOUBLE_EQ(t, 0.04);
  }
  double t = 0;
  ASSERT_EQ(ns_GetTimeByIndex(h, 3, 4, &t), ns_OK);
  EXPECT_DOUBLE_EQ(t, 0.4);
  ASSERT_EQ(ns_GetTimeByIndex(h, 4, 2, &t), ns_OK);
  EXPECT_DOUBLE_EQ(t, 9e-6);
}

// A file system whose files were all created at one moment.
class FixedBirthFiles : public platform::FileSystem {
 public:
  std::unique_ptr<platform::File> Open(const char*, platform::Access, platform::Disposition,
                                       platform::Share) override {
    return nullptr;
  }
  bool Exists(const char*) override { return true; }
  bool CreationTime(const char*, platform::LocalTime* out) override {
    *out = {2015, 11, 28, 17, 45, 9, 6};
    return true;
  }
};

// Year, month, day, hour, minute, second and millisecond of a file record.
using Date = std::vector<uint32_t>;
Date DateOf(const ns_FILEINFO& i) {
  return {i.dwTime_Year, i.dwTime_Month, i.dwTime_Day,    i.dwTime_Hour,
          i.dwTime_Min,  i.dwTime_Sec,   i.dwTime_MilliSec};
}

std::string TodayText() {
  const platform::LocalTime now = platform::Now();
  char text[16];
  std::snprintf(text, sizeof text, "%02d/%02d/%02d", now.month, now.day, now.year % 100);
  return text;
}

// A file without a comment or a date is described by its name and creation;
// a clock of zero, below zero or not a number gives way to the default one.
TEST_F(Catalogue, FileWithoutCommentDateOrClockIsDescribedByItsNameAndCreation) {
  FixedBirthFiles files;
  platform::ScopedFileSystem scoped(&files);
  struct Case {
    const char* path;
    const char* name;
    double timeBase;
  };
  const Case cases[] = {{"C:\\rec\\day1\\run7.orf", "\\run7.orf", 0.0},
                        {"/data/day1/run8.orfx", "/run8.orfx", -1e-6},
                        {"run9.orfx", "run9.orfx", std::nan("")}};
  for (const Case& c : cases) {
    auto rec = std::make_unique<MemoryRecording>();
    rec->comment = "   ";
    rec->timeBase = c.timeBase;
    rec->AddEvents(0, vslk64::EventA, {1});
    const uint32_t h = Open(std::move(rec), c.path);
    ASSERT_NE(h, 0u);
    ns_FILEINFO info;
    ASSERT_EQ(ns_GetFileInfo(h, &info, sizeof info), ns_OK);
    EXPECT_EQ(std::string(info.szFileComment),
              std::string("Converted from VSL ORF file ") + c.name + " on " + TodayText() + ".");
    EXPECT_EQ(DateOf(info), (Date{2015, 11, 28, 17, 45, 9, 0}));
    const double tick = info.dTimeStampResolution;  // packed: copied before it is compared
    EXPECT_EQ(tick, 1e-6) << c.timeBase;
    EXPECT_EQ(ns_CloseFile(h), ns_OK);
  }
}

TEST_F(Catalogue, UnreadableChannelFailsTheOpenButAnUnreadableUnitDoesNot) {
  auto probe = std::make_shared<nsv_test::FileProbe>();
  auto rec = std::make_unique<MemoryRecording>(32, probe);
  rec->AddEvents(0, vslk64::EventA, {1});
  rec->AddEvents(1, vslk64::EventA, {2}).failAfterReads = 0;
  EXPECT_EQ(Open(std::move(rec)), 0u);
  EXPECT_STREQ(NsLastMessage(),
               "File read error occurred in function OpenFile with entity 0d, index 0d");
  EXPECT_EQ(probe->closeCalls, 1);
  EXPECT_TRUE(probe->destroyed);

  rec = std::make_unique<MemoryRecording>();
  // The channel's own scan takes two reads; every unit scan after them fails.
  rec->AddItems(0, vslk64::WaveMark, 2, 1, {Item(10, {1}, {}), Item(20, {2}, {})})
      .failAfterReads = 2;
  const uint32_t h = Open(std::move(rec));
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Entity(h, 0).dwItemCount, 2u);
  EXPECT_EQ(Entity(h, 2).dwEntityType, ns_ENTITY_NEURALEVENT);
  EXPECT_EQ(Entity(h, 2).dwItemCount, 0u);
}

// How many reads the cache saves is the budget test's (wave_index_test.cc);
// here, which file owns it and what drops it.
TEST_F(Catalogue, ReadCacheIsDroppedOnAReadErrorAndWhenItsFileCloses) {
  auto rec = std::make_unique<MemoryRecording>();
  rec->AddEvents(0, vslk64::EventA, Every(10, 9000));
  const uint32_t h = Open(std::move(rec));
  ASSERT_NE(h, 0u);
  MemoryRecording* file = file_;
  TNsFile& record = *NsFindFile(h);
  const TNsEntity& entity = *record.entities[0];

  TSTime64 t;
  ASSERT_EQ(TimeOfIndex(record, entity, 4005, t), 0);
  EXPECT_EQ(t, 40050);
  EXPECT_EQ(NsReadCacheOwner(), file);
  uint32_t index;
  ASSERT_EQ(IndexOfTime(record, entity, 0.0400449, ns_AFTER, &index), 0);
  EXPECT_EQ(index, 4005u);

  // A chunk that no longer reads back as it was indexed is a read error,
  // and leaves nothing cached.
  file->Chan(0).times.erase(file->Chan(0).times.begin() + 8500);
  double seconds;
  EXPECT_EQ(ns_GetTimeByIndex(h, 0, 8600, &seconds), ns_FILEERROR);
  EXPECT_STREQ(NsLastMessage(),
               "File read error occurred in function GetTimeByIndex with entity 0d, index 8600d");
  EXPECT_EQ(NsReadCacheOwner(), nullptr);

  ASSERT_EQ(TimeOfIndex(record, entity, 1, t), 0);
  EXPECT_EQ(NsReadCacheOwner(), file);
  ASSERT_EQ(ns_CloseFile(h), ns_OK);
  EXPECT_EQ(NsReadCacheOwner(), nullptr);
}

}  // namespace
}  // namespace nsv
