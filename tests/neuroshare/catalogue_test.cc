// The file record and the entity catalogue built at open: the file's
// description, the entity list and its order, the chunk index of every kind
// of channel, the read cache, and how unreadable channels are met.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_catalogue.h"
#include "neuroshare/ns_errors.h"
#include "neuroshare/ns_file_table.h"
#include "neuroshare/ns_index.h"
#include "neuroshare/ns_read_cache.h"
#include "tests/neuroshare/watched_file.h"

namespace nsv {
namespace {

using nsv_test::Channel;
using nsv_test::Events;
using nsv_test::Ext;
using nsv_test::ExtMarks;
using nsv_test::Recording;
using nsv_test::WatchedFile;
using nsv_test::Wave;
using vslk64::TSTime64;

std::vector<int64_t> Every(int64_t step, size_t n) {
  std::vector<int64_t> times(n);
  for (size_t i = 0; i < n; ++i) times[i] = step * static_cast<int64_t>(i);
  return times;
}

class Catalogue : public nsv_test::LayerTest {
 protected:
  ns_ENTITYINFO Entity(uint32_t handle, uint32_t id) {
    ns_ENTITYINFO info;
    std::memset(&info, 0xA5, sizeof info);
    EXPECT_EQ(ns_GetEntityInfo(handle, id, &info, sizeof info), ns_OK) << "entity " << id;
    return info;
  }
};

// (Each neural entity's segment entity and code are checked against the
// recording by the comparer, tests/support/ns_compare.cc.)
TEST_F(Catalogue, ListsChannelsInOrderWithEachWaveMarksUnitsAfterIt) {
  Recording rec;
  rec.channels[0] = Wave(1, 10);
  rec.channels[0].title = "adc";
  nsv_test::AddRun(rec.channels[0], 0, {1, 2, 3});
  rec.channels[2] = ExtMarks(6, 4, 1, {Ext(100, {3}), Ext(200, {3, 7}), Ext(300, {0})});
  rec.channels[2].title = "spikes";
  rec.channels[5] = Events(2, {}, "empty");
  rec.channels[6] = Events(2, {5}, std::string(40, 't'));  // cut to 31
  rec.channels[7] = Events(2, {}, "odd");
  // A kind the layer does not know: listed blank.
  const uint32_t h = Open(rec, [](WatchedFile& f) { f.kinds[7] = vslk64::TDataKind(11); });
  ASSERT_NE(h, 0u);
  struct Want {
    uint32_t type;
    std::string label;
    uint32_t items;
  };
  const Want want[] = {{ns_ENTITY_ANALOG, "adc", 3},
                       {ns_ENTITY_SEGMENT, "spikes", 3},
                       {ns_ENTITY_NEURALEVENT, "spikes", 1},
                       {ns_ENTITY_NEURALEVENT, "spikes", 2},
                       {ns_ENTITY_NEURALEVENT, "spikes", 1},
                       {ns_ENTITY_EVENT, "empty", 0},
                       {ns_ENTITY_EVENT, std::string(31, 't'), 1},
                       {ns_ENTITY_UNKNOWN, "", 0}};
  for (uint32_t id = 0; id < 8; ++id) {
    const ns_ENTITYINFO info = Entity(h, id);
    EXPECT_EQ(info.dwEntityType, want[id].type) << id;
    EXPECT_EQ(info.szEntityLabel, want[id].label) << id;
    EXPECT_EQ(info.szEntityLabel[31], 0) << "the label is zero-filled";
    EXPECT_EQ(info.dwItemCount, want[id].items) << id;
  }

  double t;
  EXPECT_EQ(ns_GetTimeByIndex(h, 5, 0, &t), ns_BADINDEX) << "an entity without items";
}

// Item chunks hold a read's worth and never split a run of one time;
// waveform chunks end at a gap or after 32000 samples.
// What the answers do not show (index_model_test.cc checks those): the
// reads a scan takes, sample counts and divides at their limits.
TEST_F(Catalogue, ScansReadOncePerChunkAndCountEachSampleOnce) {
  Recording rec;
  rec.channels[0] = Events(3, Every(10, 8001));
  rec.channels[3] = Wave(1, 100000);
  nsv_test::AddRun(rec.channels[3], 0, std::vector<int16_t>(5, 0));
  rec.channels[4] = Wave(1, 1);
  nsv_test::AddRun(rec.channels[4], 7, std::vector<int16_t>(3, 0));
  // A divide below one tick is taken as one.
  const uint32_t h = Open(rec, [](WatchedFile& f) { f.divides[4] = 0; });
  ASSERT_NE(h, 0u);
  // One read per chunk of 4000, one that finds the end, and after each full
  // read a look at its last time.
  EXPECT_EQ(file_->reads[0], 6);
  EXPECT_EQ(NsFindFile(h)->entities[0]->chunks.size(), 3u);
  EXPECT_EQ(Entity(h, 1).dwItemCount, 5u) << "no sample counted twice";
  double t = 0;
  ASSERT_EQ(ns_GetTimeByIndex(h, 2, 2, &t), ns_OK);
  EXPECT_DOUBLE_EQ(t, 9e-6);
}

// Year, month, day, hour, minute, second and millisecond of a file record.
using Date = std::vector<uint32_t>;
Date DateOf(const ns_FILEINFO& i) {
  return {i.dwTime_Year, i.dwTime_Month, i.dwTime_Day,     i.dwTime_Hour,
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
  struct Case {
    const char* path;
    const char* name;
    double timeBase;
  };
  const Case cases[] = {{"C:\\rec\\day1\\run7.orf", "\\run7.orf", 0.0},
                        {"/data/day1/run8.orfx", "/run8.orfx", -1e-6},
                        {"run9.orfx", "run9.orfx", std::nan("")}};
  for (const Case& c : cases) {
    Recording rec;
    rec.comments = {"   "};
    rec.channels[0] = Events(2, {1});
    const uint32_t h = Open(
        rec, [&](WatchedFile& f) { f.timeBase = c.timeBase; }, c.path);
    ASSERT_NE(h, 0u);
    ns_FILEINFO info;
    ASSERT_EQ(ns_GetFileInfo(h, &info, sizeof info), ns_OK);
    EXPECT_EQ(std::string(info.szFileComment),
              std::string("Converted from VSL ORF file ") + c.name + " on " + TodayText() + ".");
    EXPECT_EQ(DateOf(info), (Date{2020, 1, 2, 3, 4, 5, 0}));
    const double tick = info.dTimeStampResolution;  // packed: copied before it is compared
    EXPECT_EQ(tick, 1e-6) << c.timeBase;
    EXPECT_EQ(ns_CloseFile(h), ns_OK);
  }
}

TEST_F(Catalogue, UnreadableChannelFailsTheOpenButAnUnreadableUnitDoesNot) {
  auto probe = std::make_shared<nsv_test::FileProbe>();
  Recording rec;
  rec.channels[0] = Events(2, {1});
  rec.channels[1] = Events(2, {2});
  EXPECT_EQ(Open(
                rec, [](WatchedFile& f) { f.failAfter[1] = 0; }, "/data/run.orfx", probe),
            0u);
  EXPECT_STREQ(NsLastMessage(),
               "File read error occurred in function OpenFile with entity 0d, index 0d");
  EXPECT_EQ(probe->closeCalls, 1);
  EXPECT_TRUE(probe->destroyed);

  rec.channels.clear();
  // The channel's own scan takes two reads; every unit scan after them fails.
  rec.channels[0] = ExtMarks(6, 2, 1, {Ext(10, {1}), Ext(20, {2})});
  const uint32_t h = Open(rec, [](WatchedFile& f) { f.failAfter[0] = 2; });
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Entity(h, 0).dwItemCount, 2u);
  EXPECT_EQ(Entity(h, 2).dwEntityType, ns_ENTITY_NEURALEVENT);
  EXPECT_EQ(Entity(h, 2).dwItemCount, 0u);
}

// The item-time cache against a model: chunks used are read once while
// their bytes fit the budget, and the least recently used go first. A chunk
// that no longer reads back as it was indexed is a read error and leaves
// nothing cached; closing its file drops the cache too.
TEST_F(Catalogue, ReadCacheKeepsChunksWhileTheirBytesFitAndIsDroppedOnErrorsAndClose) {
  Recording rec;
  rec.channels[0] = Events(2, Every(10, 4000 * 6));
  const uint32_t h = Open(rec);
  ASSERT_NE(h, 0u);
  TNsFile& record = *NsFindFile(h);
  const TNsEntity& entity = *record.entities[0];
  ASSERT_EQ(entity.chunks.size(), 6u);
  constexpr size_t kChunkBytes = 4000 * sizeof(TSTime64);
  struct Case {
    size_t budgetChunks;
    std::vector<int> touches;  // chunk numbers, in order
  };
  const Case cases[] = {
      {6, {0, 1, 2, 3, 4, 5, 5, 4, 3, 2, 1, 0, 3}},
      {2, {0, 1, 0, 2, 1, 0, 0, 2, 2, 1}},
      {1, {0, 0, 1, 0, 1, 1}},
      {3, {0, 1, 2, 0, 3, 1, 2, 4, 0, 5, 5, 4}},
  };
  for (const Case& c : cases) {
    NsDropReadCache();
    NsSetReadCacheBudget(c.budgetChunks * kChunkBytes);
    file_->reads.clear();
    std::vector<int> model;  // most recently used first
    int expectedReads = 0;
    for (int k : c.touches) {
      auto it = std::find(model.begin(), model.end(), k);
      if (it == model.end()) {
        ++expectedReads;
      } else {
        model.erase(it);
      }
      model.insert(model.begin(), k);
      if (model.size() > c.budgetChunks) model.pop_back();
      TSTime64 t;
      ASSERT_EQ(TimeOfIndex(record, entity, 4000 * k + 17, t), 0);
      EXPECT_EQ(t, 10 * (4000 * k + 17));
      EXPECT_LE(NsReadCacheBytes(), c.budgetChunks * kChunkBytes);
      EXPECT_EQ(NsReadCacheOwner(), file_);
    }
    EXPECT_EQ(file_->TotalReads(), expectedReads) << "budget of " << c.budgetChunks << " chunks";
  }
  NsSetReadCacheBudget(kNsReadCacheBytes);
  uint32_t index;
  ASSERT_EQ(IndexOfTime(record, entity, 0.0400449, ns_AFTER, &index), 0);
  EXPECT_EQ(index, 4005u);

  file_->short_[0] = true;
  double seconds;
  EXPECT_EQ(ns_GetTimeByIndex(h, 0, 8600, &seconds), ns_FILEERROR);
  EXPECT_STREQ(NsLastMessage(),
               "File read error occurred in function GetTimeByIndex with entity 0d, index 8600d");
  EXPECT_EQ(NsReadCacheOwner(), nullptr);
  file_->short_[0] = false;
  ASSERT_EQ(ns_GetTimeByIndex(h, 0, 1, &seconds), ns_OK);
  EXPECT_EQ(NsReadCacheOwner(), file_);
  ASSERT_EQ(ns_CloseFile(h), ns_OK);
  EXPECT_EQ(NsReadCacheOwner(), nullptr);
  EXPECT_EQ(NsReadCacheBytes(), 0u);
}

}  // namespace
}  // namespace nsv
