// What the layer builds at open and the records it fills from it. The file
// record and the entity catalogue: the file's description, the entity list
// and its order, the chunk index of every kind of channel, the read cache,
// and how unreadable channels are met. Damaged files fail the open: damage to
// what the waveform chunk index is built from (run heads, block headers) is a
// file error; damage the file's own checks refuse is a type error whose
// message names the check that failed (LastCorruption), as `nsinfo --verbose`
// prints it, and a file that is no recording gets no note. (Whether the index
// answers as the samples do is index_model_test.cc's.) The records whose
// layout depends on how a host packs its structs: a host built with 4-byte
// packing and one built with natural alignment read the same recording
// through the exports and must see the same values, and neither may have a
// byte written outside its record. The open-file table and the open and
// close steps, driven with in-memory file objects that were never opened,
// registered directly; and the last-error message store: the one text no
// export failure shows (the library error with a handle), the codes that
// leave the message alone, the length limit, and the order of the buffer
// check's tests. Each export's own texts are checked through the exports
// (host_api_test.cc, index_model_test.cc).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filelib/corruption.h"
#include "filelib/le.h"
#include "neuroshare/ns_api.h"
#include "neuroshare/ns_catalogue.h"
#include "neuroshare/ns_errors.h"
#include "neuroshare/ns_file.h"
#include "neuroshare/ns_file_table.h"
#include "neuroshare/ns_index.h"
#include "neuroshare/ns_open.h"
#include "neuroshare/ns_read_cache.h"
#include "tests/neuroshare/watched_file.h"
#include "tests/support/temp_dir.h"

namespace nsv {
namespace {

using namespace nsv_test;  // the recordings and the watched file
using vslk64::TSTime64;

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
// empty, also on the last channel number there is; a title past 31
// characters is cut; a divide below one tick is taken as one. (Order, types,
// labels and counts of every kind, units after their wave marks, are the
// comparer's, tests/support/ns_compare.cc; channels left off between others,
// the index model's.) Item chunks hold a read's worth and never split a run
// of one time; waveform chunks end at a gap or after 32000 samples. What the
// answers do not show (index_model_test.cc checks those): the reads a scan
// takes, sample counts and divides at their limits.
TEST_F(Catalogue, ListsUnknownKindsBlankAndScansReadOncePerChunk) {
  Recording rec;
  rec.channels[0] = Events(3, Every(10, 8001), std::string(40, 't'));
  rec.channels[1] = Events(2, {}, "odd");
  rec.channels[2] = Events(2, {}, "empty");
  rec.channels[3] = Wave(1, 100000);
  AddRun(rec.channels[3], 0, std::vector<int16_t>(5, 0));
  rec.channels[4] = Wave(1, 1);
  AddRun(rec.channels[4], 7, std::vector<int16_t>(3, 0));
  const uint32_t h = Open(rec, [](WatchedFile& f) {
    f.kinds[1] = f.kinds[UINT16_MAX] = vslk64::TDataKind(11);
    f.maxChans = 1 << 20;
    f.divides[4] = 0;
  });
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Entity(h, 0).szEntityLabel, std::string(31, 't'));
  for (uint32_t odd : {1, 5}) {
    const ns_ENTITYINFO info = Entity(h, odd);
    EXPECT_EQ(info.dwEntityType, ns_ENTITY_UNKNOWN);
    EXPECT_EQ(info.dwItemCount, 0u);
    EXPECT_EQ(std::string(info.szEntityLabel, sizeof info.szEntityLabel), std::string(32, '\0'));
  }
  double t = 0;
  EXPECT_EQ(ns_GetTimeByIndex(h, 2, 0, &t), ns_BADINDEX) << "an entity without items";
  // One read per chunk of 4000, one that finds the end, and after each full
  // read a look at its last time.
  EXPECT_EQ(file_->reads[0], 6);
  EXPECT_EQ(NsFindFile(h)->entities[0]->chunks.size(), 3u);
  EXPECT_EQ(Entity(h, 3).dwItemCount, 5u) << "no sample counted twice";
  ASSERT_EQ(ns_GetTimeByIndex(h, 4, 2, &t), ns_OK);
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
    EXPECT_EQ(info.dwTime_Year * 10000 + info.dwTime_Month * 100 + info.dwTime_Day, 20200102u);
    EXPECT_EQ(info.dwTime_Hour * 10000000 + info.dwTime_Min * 100000 + info.dwTime_Sec * 1000 +
                  info.dwTime_MilliSec,
              30405000u);
    EXPECT_EQ(double(info.dTimeStampResolution), 1e-6) << c.timeBase;  // packed: copied
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
    const auto failing = [](WatchedFile& f) { f.failAfter[1] = 0; };
    EXPECT_EQ(Open(rec, failing, "/data/run.orfx", probe), 0u);
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
    EXPECT_EQ(file_->reads[0], expectedReads);
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

using Bytes = testing_support::MemoryFiles::Bytes;
using vslk64::le::GetI32;
using vslk64::le::GetU16;
using vslk64::le::GetU32;

// A 16-bit waveform, one tick per sample, of runs of the given lengths with
// gap ticks between them.
Channel Runs(const std::vector<size_t>& counts, int64_t gap) {
  Channel c = Wave(1, 1);
  int64_t t = 5;
  for (size_t n : counts) {
    AddRun(c, t, std::vector<int16_t>(n, 1));
    t += static_cast<int64_t>(n) + gap;
  }
  return c;
}

// Offsets into the files the builders lay out.
constexpr uint32_t kBlock = 65536;
constexpr uint32_t kRunCountAt = 16 + 8;   // in an ORFX block: the first run's count
constexpr uint32_t kStringsOffsetAt = 52;  // ORFX file head: where the string table starts
constexpr uint32_t kMaxChansAt = 56;

// The position of the n-th data block (in file order) of chan in an ORFX
// file: 64 KiB units whose head names the channel at level 0 with items.
int64_t OrfxBlockOf(const Bytes& bytes, uint16_t chan, int n) {
  for (size_t pos = kBlock; pos + kBlock <= bytes.size(); pos += kBlock) {
    const uint8_t* p = bytes.data() + pos;
    if (GetU16(p + 8) == chan && ((vslk64::le::GetU64(p) >> 8) & 7) == 0 && GetU32(p + 12) != 0 &&
        n-- == 0) {
      return static_cast<int64_t>(pos);
    }
  }
  return -1;
}

// The fifth full 1024-byte block of channel 0 in an ORF file.
int64_t OrfBlock(const Bytes& bytes) {
  int seen = 0;
  for (size_t pos = 512; pos + 1024 <= bytes.size(); pos += 512) {
    const uint8_t* p = bytes.data() + pos;
    if (GetU16(p + 16) == 1 && GetU16(p + 18) == (1024 - 20) / 2 &&
        GetI32(p + 12) - GetI32(p + 8) == (1024 - 20) / 2 - 1 && ++seen == 5) {
      return static_cast<int64_t>(pos);
    }
  }
  return -1;
}

TEST_F(Catalogue, AFailedOpenNamesTheCheckThatRefusedTheFile) {
  Recording events, waves, orf;
  events.channels[0] = Events(2, {10, 20, 30});
  waves.channels[0] = Runs({32752, 32752, 32752, 10}, 0);
  waves.channels[1] = Runs(std::vector<size_t>(1500, 3), 1);
  orf.channels[0] = Runs({20000}, 0);
  ASSERT_TRUE(recording_test::WriteOrfx(events, "/events.orfx"));
  ASSERT_TRUE(recording_test::WriteOrfx(waves, "/waves.orfx"));
  // The ORF builder writes through the real file system.
  testing_support::TempDir dir;
  std::string image;
  ASSERT_TRUE(recording_test::WriteOrf(orf, dir.File("waves.orf"), 9, 1024));
  ASSERT_TRUE(testing_support::ReadFileBytes(dir.File("waves.orf"), &image));
  files_.Put("/waves.orf", Bytes(image.begin(), image.end()));
  const Bytes& wave = *files_.Get("/waves.orfx");
  const Bytes& orfWave = *files_.Get("/waves.orf");
  const int64_t orfBlock = OrfBlock(orfWave);
  ASSERT_GE(orfBlock, 0);
  struct Case {
    const char* name;
    const char* file;
    int64_t at;      // the four bytes overwritten
    uint32_t value;  // written there
    ns_RESULT result;
    int code = 0;                  // type errors: the file's own open's
    const char* reason = nullptr;  // type errors: a part of the recorded reason; null: no note
  };
  // Run heads of short runs are 24 bytes apart (16 + 3 samples rounded to
  // 8): head 200 lies beyond the first 4 KiB.
  const int64_t longRuns[] = {OrfxBlockOf(wave, 0, 1), OrfxBlockOf(wave, 0, 2)};
  const int64_t shortRuns = OrfxBlockOf(wave, 1, 0) + 16 + 200 * 24;
  ASSERT_TRUE(longRuns[0] > 0 && longRuns[1] > 0 && shortRuns > 16 + 200 * 24);
  const Case cases[] = {
      {"a run longer than its block", "/waves.orfx", longRuns[0] + kRunCountAt, 40000,
       ns_FILEERROR},
      {"a run of no samples", "/waves.orfx", longRuns[1] + kRunCountAt, 0, ns_FILEERROR},
      {"a run head beyond 4 KiB reaching past the block", "/waves.orfx", shortRuns + 8, 0x40000000,
       ns_FILEERROR},
      {"a run head beyond 4 KiB out of time order", "/waves.orfx", shortRuns, 3, ns_FILEERROR},
      {"an ORF block ending before it starts", "/waves.orf", orfBlock + 12,
       static_cast<uint32_t>(GetI32(orfWave.data() + orfBlock + 8) - 1), ns_FILEERROR},
      {"channel count", "/events.orfx", kMaxChansAt, 1, ns_TYPEERROR, vslk64::kErrBadHeader,
       "channel count"},
      {"string-table words", "/events.orfx",
       GetU32(files_.Get("/events.orfx")->data() + kStringsOffsetAt), 1, ns_TYPEERROR,
       vslk64::kErrCorrupt, "words < 2"},
      {"no recording", "/events.orfx", 0, 0x78787878, ns_TYPEERROR, vslk64::kErrBadHeader},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = *files_.Get(c.file);
    vslk64::le::PutU32(&bytes.at(c.at + 3) - 3, c.value);
    const std::string path = std::string(c.file).insert(1, "damaged-");
    files_.Put(path, bytes);
    vslk64::ClearCorruption();
    if (c.result == ns_TYPEERROR) {
      EXPECT_EQ(vslk64::NewKel64File()->Open(path.c_str(), vslk64::kOpenReadOnly, 0), c.code);
    }
    const vslk64::TCorruption damage = vslk64::LastCorruption();
    uint32_t handle = 0;
    EXPECT_EQ(ns_OpenFile(path.c_str(), &handle), c.result);
    EXPECT_EQ(handle, 0u);
    if (c.result != ns_TYPEERROR) continue;
    char message[256] = {};
    ASSERT_EQ(ns_GetLastErrorMsg(message, sizeof message), ns_OK);
    if (c.reason == nullptr) {
      EXPECT_EQ(std::strstr(message, "(damaged:"), nullptr) << message;
      continue;
    }
    ASSERT_NE(damage.file, nullptr);
    EXPECT_STREQ(damage.file, "filelib/orfx/kel64_file.cc");
    EXPECT_NE(std::strstr(damage.reason, c.reason), nullptr) << damage.reason;
    const std::string note =
        " (damaged: filelib/orfx/kel64_file.cc:" + std::to_string(damage.line) + ": " +
        damage.reason + ")";
    EXPECT_NE(std::string(message).find(note), std::string::npos) << message;
  }
}

// The fields of the four records as a host declares them: F(type, name, array
// suffix). The lists are the API's; only the compiler's packing differs.
// clang-format off
#define FILE_FIELDS(F) F(char, szFileType, [32]) F(uint32_t, dwEntityCount, )                  \
  F(double, dTimeStampResolution, ) F(double, dTimeSpan, ) F(char, szAppName, [64])             \
  F(uint32_t, dwTime_Year, ) F(uint32_t, dwTime_Month, ) F(uint32_t, dwTime_DayofWeek, )         \
  F(uint32_t, dwTime_Day, ) F(uint32_t, dwTime_Hour, ) F(uint32_t, dwTime_Min, )                 \
  F(uint32_t, dwTime_Sec, ) F(uint32_t, dwTime_MilliSec, ) F(char, szFileComment, [256])
#define FILTER_FIELDS(F) F(double, dLocationX, ) F(double, dLocationY, ) F(double, dLocationZ, ) \
  F(double, dLocationUser, ) F(double, dHighFreqCorner, ) F(uint32_t, dwHighFreqOrder, )         \
  F(char, szHighFilterType, [16]) F(double, dLowFreqCorner, ) F(uint32_t, dwLowFreqOrder, )      \
  F(char, szLowFilterType, [16]) F(char, szProbeInfo, [128])
#define ANALOG_FIELDS(F) F(double, dSampleRate, ) F(double, dMinVal, ) F(double, dMaxVal, )     \
  F(char, szUnits, [16]) F(double, dResolution, ) FILTER_FIELDS(F)
#define SEGMENT_FIELDS(F) F(uint32_t, dwSourceCount, ) F(uint32_t, dwMinSampleCount, )          \
  F(uint32_t, dwMaxSampleCount, ) F(double, dSampleRate, ) F(char, szUnits, [32])
#define SOURCE_FIELDS(F) F(double, dMinVal, ) F(double, dMaxVal, ) F(double, dResolution, )     \
  F(double, dSubSampleShift, ) FILTER_FIELDS(F)
#define DECLARE(type, name, array) type name array;
#define NS_HOST_RECORDS struct FileInfo { FILE_FIELDS(DECLARE) };                             \
  struct AnalogInfo { ANALOG_FIELDS(DECLARE) }; struct SegmentInfo { SEGMENT_FIELDS(DECLARE) }; \
  struct SegSourceInfo { SOURCE_FIELDS(DECLARE) };
// clang-format on

namespace natural {
NS_HOST_RECORDS
static_assert(sizeof(FileInfo) == 408 && sizeof(AnalogInfo) == 272 && sizeof(SegmentInfo) == 56 &&
                  sizeof(SegSourceInfo) == 256,
              "natural alignment");
}  // namespace natural

namespace packed {
#pragma pack(push, 4)
NS_HOST_RECORDS
#pragma pack(pop)
static_assert(sizeof(FileInfo) == 404 && sizeof(AnalogInfo) == 264 && sizeof(SegmentInfo) == 52 &&
                  sizeof(SegSourceInfo) == 248,
              "4-byte packing");
}  // namespace packed

// Each field of the natural host's record against the same field of the
// packed host's: texts with all their bytes, numbers bit for bit, padding
// not at all.
#define SAME(type, name, array) EXPECT_EQ(std::memcmp(&n.name, &p.name, sizeof n.name), 0) << #name;
#define COMPARER(Record, FIELDS) \
  void Same(const natural::Record& n, const packed::Record& p) { FIELDS(SAME) }
COMPARER(FileInfo, FILE_FIELDS)
COMPARER(AnalogInfo, ANALOG_FIELDS)
COMPARER(SegmentInfo, SEGMENT_FIELDS)
COMPARER(SegSourceInfo, SOURCE_FIELDS)

// Calls `call` for a host built with natural alignment and one built with
// 4-byte packing: both see the same values (compared field by field) and
// neither has a byte written outside its record. Sizes other than the natural
// one are packed hosts: the packed record is written at the packed offsets
// and nothing past it (sizes below the packed size are host_api_test.cc's).
// Returns the natural host's record.
template <typename N, typename P>
N Hosts(const char* op, const std::function<ns_RESULT(void*, uint32_t)>& call) {
  SCOPED_TRACE(op);
  constexpr size_t kGuard = 16;
  // Each host's record with 0xA5 guard bytes before it and after it.
  alignas(8) unsigned char natural[kGuard + 512], packed[kGuard + 512], got[kGuard + 512];
  std::memset(natural, 0xA5, sizeof natural);
  std::memset(packed, 0xA5, sizeof packed);
  EXPECT_EQ(call(natural + kGuard, sizeof(N)), ns_OK);
  EXPECT_EQ(call(packed + kGuard, sizeof(P)), ns_OK);
  N n;
  P p;
  std::memcpy(&n, natural + kGuard, sizeof n);
  std::memcpy(&p, packed + kGuard, sizeof p);
  Same(n, p);
  for (size_t i = 0; i < kGuard; ++i) {
    EXPECT_EQ((std::vector<int>{natural[i], packed[i], natural[kGuard + sizeof(N) + i],
                                packed[kGuard + sizeof(P) + i]}),
              std::vector<int>(4, 0xA5));
  }
  for (uint32_t size : {sizeof(N) - 1, sizeof(N) + 1, sizeof(P) + 100}) {
    std::memset(got, 0xA5, sizeof got);
    EXPECT_EQ(call(got + kGuard, size), ns_OK) << size;
    EXPECT_EQ(std::memcmp(got, packed, sizeof got), 0) << size;
  }
  return n;
}

using Texts = std::vector<std::string>;

// The values themselves are the comparer's (tests/support/ns_compare.cc),
// which holds the demo recording's records against the recording; here, the
// texts that do not come from it and the span of a file whose stored
// maximum lies behind its data.
TEST_F(Catalogue, NaturalAndPackedHostsSeeTheSameRecords) {
  Recording rec = recording_test::DemoRecording();
  rec.comments[0] = "  layout check  ";  // trailing spaces are dropped
  // A stored maximum behind the data.
  const uint32_t h = Open(rec, [](WatchedFile& f) { f.maxTime = 10; });
  const auto file = Hosts<natural::FileInfo, packed::FileInfo>(
      "GetFileInfo",
      [&](void* a, uint32_t s) { return ns_GetFileInfo(h, static_cast<ns_FILEINFO*>(a), s); });
  EXPECT_DOUBLE_EQ(file.dTimeSpan, 9.9999);
  EXPECT_STREQ(file.szFileComment, "  layout check");
  const auto analog =
      Hosts<natural::AnalogInfo, packed::AnalogInfo>("GetAnalogInfo", [&](void* a, uint32_t s) {
        return ns_GetAnalogInfo(h, 0, static_cast<ns_ANALOGINFO*>(a), s);
      });
  EXPECT_EQ((Texts{analog.szHighFilterType, analog.szLowFilterType}), (Texts{"unknown", ""}));
  EXPECT_EQ(analog.dLowFreqCorner, 0);
  EXPECT_EQ(static_cast<uint8_t>(analog.szLowFilterType[1]), 0xA5) << "only its first byte";
  Hosts<natural::SegmentInfo, packed::SegmentInfo>("GetSegmentInfo", [&](void* a, uint32_t s) {
    return ns_GetSegmentInfo(h, 2, static_cast<ns_SEGMENTINFO*>(a), s);
  });
  const auto source = Hosts<natural::SegSourceInfo, packed::SegSourceInfo>(
      "GetSegmentSourceInfo", [&](void* a, uint32_t s) {
        return ns_GetSegmentSourceInfo(h, 2, 1, static_cast<ns_SEGSOURCEINFO*>(a), s);
      });
  EXPECT_EQ((Texts{source.szHighFilterType, source.szLowFilterType}),
            (Texts{"unknown", "unknown"}));
}

// A record as the open steps leave it: a file object and one entity.
TNsFile MakeRecord(const std::shared_ptr<FileProbe>& probe, int closeResult = 0) {
  TNsFile record;
  auto file = std::make_unique<WatchedFile>(probe);
  file->closeResult = closeResult;
  record.file = std::move(file);
  record.secsPerTick = 1e-6;
  record.entities.push_back(std::make_unique<TNsEntity>());
  record.entities.back()->kind = vslk64::Adc;
  return record;
}

// Slots are taken lowest first; the 65th file is closed and destroyed, not
// lost; a freed slot is reused; unload closes every file exactly once.
TEST_F(Catalogue, FillsTheLowestFreeSlotsAndClosesWhatItCannotHold) {
  std::vector<std::shared_ptr<FileProbe>> open;
  for (uint32_t i = 0; i <= kNsMaxFiles; ++i) {
    open.push_back(std::make_shared<FileProbe>());
    TNsFile record = MakeRecord(open.back());
    if (i < kNsMaxFiles) {
      ASSERT_EQ(NsRegisterFile(record), i + 1);
      EXPECT_EQ(record.file, nullptr) << "the slot owns the file object now";
      continue;
    }
    EXPECT_EQ(NsRegisterFile(record), 0u);
    EXPECT_NE(record.file, nullptr) << "a refused record stays with the caller";
    uint32_t fileId = 0;
    EXPECT_EQ(NsRegisterOpenedFile(record, &fileId), ns_LIBERROR);
    EXPECT_EQ(fileId, 0u);
    EXPECT_STREQ(NsLastMessage(), "Too many open files (limit 64) in function OpenFile");
  }
  EXPECT_EQ(ns_CloseFile(1), ns_OK);
  EXPECT_TRUE(open[0]->destroyed);
  EXPECT_EQ(NsFindFile(1), nullptr);
  EXPECT_FALSE(open[1]->destroyed);
  TNsFile record = MakeRecord(open[0] = std::make_shared<FileProbe>());
  EXPECT_EQ(NsRegisterFile(record), 1u);
  NsCloseAllFiles();
  for (const auto& probe : open) EXPECT_TRUE(probe->closeCalls == 1 && probe->destroyed);
  EXPECT_EQ(NsFindFile(kNsMaxFiles), nullptr);

  // A failing close is reported and frees the slot all the same.
  auto probe = std::make_shared<FileProbe>();
  record = MakeRecord(probe, vslk64::kErrWrite);
  ASSERT_EQ(NsRegisterFile(record), 1u);
  EXPECT_EQ(ns_CloseFile(1), ns_FILEERROR);
  EXPECT_STREQ(NsLastMessage(),
               "File read error occurred in function CloseFile with entity 0d, index 0d");
  EXPECT_TRUE(probe->destroyed);
  EXPECT_EQ(ns_CloseFile(1), ns_BADFILE);
  EXPECT_EQ(probe->closeCalls, 1);

  record = MakeRecord(probe = std::make_shared<FileProbe>(), vslk64::kErrRead);
  EXPECT_EQ(NsResetFile(record), vslk64::kErrRead);
  EXPECT_TRUE(record.entities.empty());
  EXPECT_EQ(NsResetFile(record), 0) << "nothing left to close";
  EXPECT_EQ(probe->closeCalls, 1);
}

TEST(NsReport, FormatsMessagesAndKeepsTheLastFailureForOtherCodes) {
  EXPECT_EQ(NsReport("Op", ns_LIBERROR, 4, 5, 6), ns_LIBERROR);
  EXPECT_STREQ(NsLastMessage(), "Memory allocation error in function Op, hFile 4d");
  const std::string path = "/" + std::string(300, 'p');
  NsReport(path.c_str(), ns_TYPEERROR, 0, 0, 0);
  EXPECT_EQ(NsLastMessage(), ("Bad file " + path).substr(0, 255)) << "cut to 255 characters";
  // The buffer check tests the size before the area; a check that passes
  // and codes that are no failures leave the message.
  char area[8];
  EXPECT_FALSE(NsCheckBuffer("Op", nullptr, 0, 40));
  EXPECT_STREQ(NsLastMessage(), "Op was given zero byte size area for results");
  EXPECT_FALSE(NsCheckBuffer("Op", nullptr, 39, 40));
  EXPECT_STREQ(NsLastMessage(), "Op was given 39d bytes for results, requires 40d");
  EXPECT_TRUE(NsCheckBuffer("Op", area, sizeof area, sizeof area));
  for (ns_RESULT code : {ns_OK, 1, 1000, -8, -100}) {
    EXPECT_EQ(NsReport("Op", code, 1, 2, 3), code);
    EXPECT_STREQ(NsLastMessage(), "Op was given 39d bytes for results, requires 40d");
  }
}

// The suffix rule's boundary, which no file path reaches (library_writer_test.cc
// checks the rule on files): the name must be longer than ".orf".
TEST(OpenFileName, OnlyNamesLongerThanTheExtensionTryTheOlderFormat) {
  EXPECT_TRUE(NsIsOrfName("a.orf"));
  EXPECT_FALSE(NsIsOrfName(".orf"));
}

}  // namespace
}  // namespace nsv
