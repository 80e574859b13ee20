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

using namespace nsv_test;  // the recordings and the watched file
using vslk64::TSTime64;

std::vector<int64_t> Every(int64_t step, size_t n) {
  std::vector<int64_t> times(n);
  for (size_t i = 0; i < n; ++i) times[i] = step * static_cast<int64_t>(i);
  return times;
}

class Catalogue : public LayerTest {
 protected:
  ns_ENTITYINFO Entity(uint32_t handle, uint32_t id) {
    ns_ENTITYINFO info;
    std::memset(&info, 0xA5, sizeof info);
    EXPECT_EQ(ns_GetEntityInfo(handle, id, &info, sizeof info), ns_OK) << "entity " << id;
    return info;
  }
};

// What no writer stores: a kind the layer does not know is listed blank and
// empty, also on the last channel number there is, and a title past 31
// characters is cut. (Order, types, labels and counts of every kind, units
// after their wave marks, are the comparer's, tests/support/ns_compare.cc;
// channels left off between others, the index model's.)
TEST_F(Catalogue, ListsUnknownKindsBlankAndCutsLongTitles) {
  Recording rec;
  rec.channels[0] = Events(2, {5}, std::string(40, 't'));
  rec.channels[1] = Events(2, {}, "odd");
  rec.channels[2] = Events(2, {}, "empty");
  const uint32_t h = Open(rec, [](WatchedFile& f) {
    f.kinds[1] = f.kinds[UINT16_MAX] = vslk64::TDataKind(11);
    f.maxChans = 1 << 20;
  });
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Entity(h, 0).szEntityLabel, std::string(31, 't'));
  for (uint32_t odd : {1, 3}) {
    const ns_ENTITYINFO info = Entity(h, odd);
    EXPECT_EQ(info.dwEntityType, ns_ENTITY_UNKNOWN);
    EXPECT_EQ(info.dwItemCount, 0u);
    EXPECT_EQ(std::string(info.szEntityLabel, sizeof info.szEntityLabel), std::string(32, '\0'));
  }
  double t;
  EXPECT_EQ(ns_GetTimeByIndex(h, 2, 0, &t), ns_BADINDEX) << "an entity without items";
}

// Item chunks hold a read's worth and never split a run of one time;
// waveform chunks end at a gap or after 32000 samples.
// What the answers do not show (index_model_test.cc checks those): the
// reads a scan takes, sample counts and divides at their limits.
TEST_F(Catalogue, ScansReadOncePerChunkAndCountEachSampleOnce) {
  Recording rec;
  rec.channels[0] = Events(3, Every(10, 8001));
  rec.channels[3] = Wave(1, 100000);
  AddRun(rec.channels[3], 0, std::vector<int16_t>(5, 0));
  rec.channels[4] = Wave(1, 1);
  AddRun(rec.channels[4], 7, std::vector<int16_t>(3, 0));
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

// A file without a comment or a date is described by its name and creation;
// a clock of zero, below zero or not a number gives way to the default one.
TEST_F(Catalogue, FileWithoutCommentDateOrClockIsDescribedByItsNameAndCreation) {
  const platform::LocalTime now = platform::Now();
  char today[16];
  std::snprintf(today, sizeof today, "%02d/%02d/%02d", now.month, now.day, now.year % 100);
  const struct {
    const char *path, *name;
    double timeBase;
  } cases[] = {{"C:\\rec\\day1\\run7.orf", "\\run7.orf", 0.0},
               {"/data/day1/run8.orfx", "/run8.orfx", -1e-6},
               {"run9.orfx", "run9.orfx", std::nan("")}};
  Recording rec;
  rec.comments = {"   "};
  rec.channels[0] = Events(2, {1});
  for (const auto& c : cases) {
    const uint32_t h = Open(
        rec, [&](WatchedFile& f) { f.timeBase = c.timeBase; }, c.path);
    ns_FILEINFO info;
    ASSERT_EQ(ns_GetFileInfo(h, &info, sizeof info), ns_OK);
    EXPECT_EQ(std::string(info.szFileComment),
              std::string("Converted from VSL ORF file ") + c.name + " on " + today + ".");
    // The file system's creation time (MemoryFiles): 2020-01-02 03:04:05.
    EXPECT_EQ((std::vector<uint32_t>{info.dwTime_Year, info.dwTime_Month, info.dwTime_Day,
                                     info.dwTime_Hour, info.dwTime_Min, info.dwTime_Sec,
                                     info.dwTime_MilliSec}),
              (std::vector<uint32_t>{2020, 1, 2, 3, 4, 5, 0}));
    const double tick = info.dTimeStampResolution;  // packed: copied before it is compared
    EXPECT_EQ(tick, 1e-6) << c.timeBase;
  }
}

// A channel whose scan fails, and a file without a used channel, fail the
// open, and the file is closed and destroyed, not left behind.
TEST_F(Catalogue, UnreadableChannelFailsTheOpenButAnUnreadableUnitDoesNot) {
  for (int channels : {2, 0}) {
    SCOPED_TRACE(channels);
    Recording rec;
    for (int c = 0; c < channels; ++c) rec.channels[c] = Events(2, {c + 1});
    auto probe = std::make_shared<FileProbe>();
    EXPECT_EQ(Open(
                  rec, [](WatchedFile& f) { f.failAfter[1] = 0; }, "/data/run.orfx", probe),
              0u);
    EXPECT_STREQ(NsLastMessage(),
                 "File read error occurred in function OpenFile with entity 0d, index 0d");
    EXPECT_EQ(probe->closeCalls, 1);
    EXPECT_TRUE(probe->destroyed);
  }
  Recording rec;
  // The channel's own scan takes two reads; every unit scan after them fails.
  rec.channels[0] = ExtMarks(6, 2, 1, {Ext(10, {1}), Ext(20, {2})});
  const uint32_t h = Open(rec, [](WatchedFile& f) { f.failAfter[0] = 2; });
  EXPECT_EQ(Entity(h, 0).dwItemCount, 2u);
  EXPECT_EQ(Entity(h, 2).dwEntityType, ns_ENTITY_NEURALEVENT);
  EXPECT_EQ(Entity(h, 2).dwItemCount, 0u);
}

// The item-time cache against a model: chunks used are read once while
// their bytes fit the budget, and the least recently used go first; the
// newest stays even alone over the budget. A chunk that no longer reads back
// as it was indexed is a read error and leaves nothing cached; closing its
// file drops the cache too.
TEST_F(Catalogue, ReadCacheKeepsChunksWhileTheirBytesFitAndIsDroppedOnErrorsAndClose) {
  Recording rec;
  rec.channels[0] = Events(2, Every(10, 4000 * 6));
  const uint32_t h = Open(rec);
  ASSERT_NE(h, 0u);
  TNsFile& record = *NsFindFile(h);
  ASSERT_EQ(record.entities[0]->chunks.size(), 6u);
  constexpr size_t kChunkBytes = 4000 * sizeof(TSTime64);
  const struct {
    size_t budget;             // bytes
    std::vector<int> touches;  // chunk numbers, in order
  } cases[] = {
      {6 * kChunkBytes, {0, 1, 2, 3, 4, 5, 5, 4, 3, 2, 1, 0, 3}},
      {2 * kChunkBytes, {0, 1, 0, 2, 1, 0, 0, 2, 2, 1}},
      {kChunkBytes, {0, 0, 1, 0, 1, 1}},
      {kChunkBytes / 2, {0, 0, 1, 1, 1, 0}},
      {3 * kChunkBytes + 5, {0, 1, 2, 0, 3, 1, 2, 4, 0, 5, 5, 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.budget);
    NsDropReadCache();
    NsSetReadCacheBudget(c.budget);
    file_->reads.clear();
    const size_t kept = std::max<size_t>(1, c.budget / kChunkBytes);
    std::vector<int> model;  // most recently used first
    int expectedReads = 0;
    for (int k : c.touches) {
      auto it = std::find(model.begin(), model.end(), k);
      if (it == model.end()) ++expectedReads;
      if (it != model.end()) model.erase(it);
      model.insert(model.begin(), k);
      if (model.size() > kept) model.pop_back();
      TSTime64 t;
      ASSERT_EQ(TimeOfIndex(record, *record.entities[0], 4000 * k + 17, t), 0);
      EXPECT_EQ(t, 10 * (4000 * k + 17));
      EXPECT_LE(NsReadCacheBytes(), kept * kChunkBytes);
      EXPECT_EQ(NsReadCacheOwner(), file_);
    }
    EXPECT_EQ(file_->TotalReads(), expectedReads);
  }
  NsSetReadCacheBudget(kNsReadCacheBytes);

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
