// The open-file table and the open and close steps, driven with fake file
// objects registered directly (no recording format is involved).
#include "neuroshare/ns_file_table.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_catalogue.h"
#include "neuroshare/ns_errors.h"
#include "neuroshare/ns_open.h"
#include "tests/neuroshare/fake_kel64_file.h"

namespace nsv {
namespace {

using nsv_test::FakeKel64File;
using nsv_test::FileProbe;

// A record as the open steps leave it: an open file object and one entity
// per listed kind.
TNsFile MakeRecord(const std::shared_ptr<FileProbe>& probe,
                   std::initializer_list<uint32_t> kinds = {vslk64::Adc}) {
  TNsFile record;
  record.file = std::make_unique<FakeKel64File>(probe);
  record.secsPerTick = 1e-6;
  for (uint32_t kind : kinds) {
    auto entity = std::make_unique<TNsEntity>();
    entity->kind = kind;
    entity->id = static_cast<uint32_t>(record.entities.size());
    record.entities.push_back(std::move(entity));
  }
  return record;
}

std::shared_ptr<FileProbe> NewProbe() { return std::make_shared<FileProbe>(); }

uint32_t Register(const std::shared_ptr<FileProbe>& probe,
                  std::initializer_list<uint32_t> kinds = {vslk64::Adc}) {
  TNsFile record = MakeRecord(probe, kinds);
  return NsRegisterFile(record);
}

// Every test starts and ends with an empty table.
class FileTable : public ::testing::Test {
 protected:
  void SetUp() override { NsCloseAllFiles(); }
  void TearDown() override { NsCloseAllFiles(); }
};

TEST_F(FileTable, RegistersInTheLowestFreeSlotAndReusesAFreedOne) {
  auto a = NewProbe(), b = NewProbe(), c = NewProbe();
  TNsFile record = MakeRecord(a);
  EXPECT_EQ(NsRegisterFile(record), 1u);
  EXPECT_EQ(record.file, nullptr) << "the slot owns the file object now";
  EXPECT_TRUE(record.entities.empty());
  EXPECT_EQ(Register(b), 2u);

  EXPECT_EQ(ns_CloseFile(1), ns_OK);
  EXPECT_EQ(a->closeCalls, 1);
  EXPECT_TRUE(a->destroyed);
  EXPECT_EQ(NsFindFile(1), nullptr);

  EXPECT_EQ(Register(c), 1u);
  ASSERT_NE(NsFindFile(2), nullptr);
  EXPECT_FALSE(b->destroyed);
}

TEST_F(FileTable, LookupRejectsHandlesOutsideTheTableAndFreeSlots) {
  auto probe = NewProbe();
  EXPECT_EQ(Register(probe), 1u);
  EXPECT_NE(NsFindFile(1), nullptr);
  EXPECT_EQ(NsFindFile(0), nullptr);
  EXPECT_EQ(NsFindFile(2), nullptr);
  EXPECT_EQ(NsFindFile(kNsMaxFiles + 1), nullptr);
  EXPECT_EQ(NsFindFile(UINT32_MAX), nullptr);
}

TEST_F(FileTable, SixtyFifthFileIsClosedAndDestroyedInsteadOfLost) {
  std::array<std::shared_ptr<FileProbe>, kNsMaxFiles> open;
  for (uint32_t i = 0; i < kNsMaxFiles; ++i) {
    open[i] = NewProbe();
    ASSERT_EQ(Register(open[i]), i + 1);
  }

  auto extra = NewProbe();
  TNsFile record = MakeRecord(extra);
  EXPECT_EQ(NsRegisterFile(record), 0u);
  EXPECT_NE(record.file, nullptr) << "a refused record stays with the caller";

  uint32_t fileId = 0;
  EXPECT_EQ(NsRegisterOpenedFile(record, &fileId), ns_LIBERROR);
  EXPECT_EQ(fileId, 0u);
  EXPECT_EQ(extra->closeCalls, 1);
  EXPECT_TRUE(extra->destroyed);
  EXPECT_STREQ(NsLastMessage(), "Too many open files (limit 64) in function OpenFile");

  // Unload closes and destroys every open file exactly once.
  NsCloseAllFiles();
  for (const auto& probe : open) {
    EXPECT_EQ(probe->closeCalls, 1);
    EXPECT_TRUE(probe->destroyed);
  }
  for (uint32_t h = 1; h <= kNsMaxFiles; ++h) EXPECT_EQ(NsFindFile(h), nullptr);
}

TEST_F(FileTable, CloseReportsAFailingCloseAndFreesTheSlotAllTheSame) {
  auto probe = NewProbe();
  TNsFile record = MakeRecord(probe);
  static_cast<FakeKel64File*>(record.file.get())->closeResult = vslk64::kErrWrite;
  ASSERT_EQ(NsRegisterFile(record), 1u);

  EXPECT_EQ(ns_CloseFile(1), ns_FILEERROR);
  EXPECT_STREQ(NsLastMessage(),
               "File read error occurred in function CloseFile with entity 0d, index 0d");
  EXPECT_TRUE(probe->destroyed);
  EXPECT_EQ(NsFindFile(1), nullptr);

  EXPECT_EQ(ns_CloseFile(1), ns_BADFILE);
  EXPECT_STREQ(NsLastMessage(), "Bad file handle (1d) passed to function CloseFile");
  EXPECT_EQ(probe->closeCalls, 1);
}

TEST_F(FileTable, ResetClosesOnceAndEmptiesTheRecord) {
  auto probe = NewProbe();
  TNsFile record = MakeRecord(probe, {vslk64::Adc, vslk64::Marker});
  static_cast<FakeKel64File*>(record.file.get())->closeResult = vslk64::kErrRead;
  std::strcpy(record.comment, "note");
  record.timeDate.year = 2016;
  record.appId.chID[0] = 'A';
  record.timeSpan = 3.0;

  EXPECT_EQ(NsResetFile(record), vslk64::kErrRead);
  EXPECT_EQ(probe->closeCalls, 1);
  EXPECT_TRUE(probe->destroyed);
  EXPECT_EQ(record.file, nullptr);
  EXPECT_TRUE(record.entities.empty());
  EXPECT_EQ(record.secsPerTick, 0.0);
  EXPECT_EQ(record.comment[0], '\0');
  EXPECT_EQ(record.timeDate.year, 0);
  EXPECT_EQ(record.appId.chID[0], '\0');
  EXPECT_EQ(record.timeSpan, 0.0);

  EXPECT_EQ(NsResetFile(record), 0) << "nothing left to close";
}

TEST_F(FileTable, FileWithoutEntitiesIsClosedAndNotRegistered) {
  auto probe = NewProbe();
  auto file = std::make_unique<FakeKel64File>(probe);
  uint32_t fileId = 0;
  EXPECT_EQ(NsAdoptFile("/data/empty.orfx", std::move(file), &fileId), ns_FILEERROR);
  EXPECT_EQ(fileId, 0u);
  EXPECT_STREQ(NsLastMessage(),
               "File read error occurred in function OpenFile with entity 0d, index 0d");
  EXPECT_EQ(probe->closeCalls, 1);
  EXPECT_TRUE(probe->destroyed);
  EXPECT_EQ(NsFindFile(1), nullptr);
}

TEST(FillFileRecord, TakesTimeBaseDateApplicationAndCommentWithoutTrailingSpaces) {
  auto probe = NewProbe();
  TNsFile record;
  auto file = std::make_unique<FakeKel64File>(probe);
  file->timeBase = 2e-5;
  file->maxTime = 1000;
  file->comment = "  two leading, three trailing   ";
  file->timeDate = {12, 5, 6, 7, 8, 3, 2016};
  std::memcpy(file->appId.chID, "ONDRIXAB", 8);
  record.file = std::move(file);

  EXPECT_EQ(FillFileRecord("/data/a.orfx", record), 0);
  EXPECT_DOUBLE_EQ(record.secsPerTick, 2e-5);
  EXPECT_DOUBLE_EQ(record.timeSpan, 0.02);
  EXPECT_STREQ(record.comment, "  two leading, three trailing");
  EXPECT_EQ(record.timeDate.year, 2016);
  EXPECT_EQ(record.timeDate.hun, 12);
  EXPECT_EQ(std::memcmp(record.appId.chID, "ONDRIXAB", 8), 0);

  static_cast<FakeKel64File*>(record.file.get())->comment = "    ";
  EXPECT_EQ(FillFileRecord("/data/a.orfx", record), 0);
  EXPECT_EQ(std::string(record.comment).rfind("Converted from VSL ORF file /a.orfx on ", 0), 0u)
      << record.comment;
  NsResetFile(record);
}

TEST(OpenFileName, OnlyNamesLongerThanTheExtensionEndingInOrfTryTheOlderFormat) {
  EXPECT_TRUE(NsIsOrfName("a.orf"));
  EXPECT_TRUE(NsIsOrfName("/data/RUN1.ORF"));
  EXPECT_TRUE(NsIsOrfName("x.Orf"));
  EXPECT_FALSE(NsIsOrfName(".orf"));
  EXPECT_FALSE(NsIsOrfName("orf"));
  EXPECT_FALSE(NsIsOrfName("a.orfx"));
  EXPECT_FALSE(NsIsOrfName("a.orf "));
  EXPECT_FALSE(NsIsOrfName("a_orf"));
  EXPECT_FALSE(NsIsOrfName(""));
}

TEST_F(FileTable, FileInfoDescribesTheRecord) {
  auto probe = NewProbe();
  TNsFile record = MakeRecord(probe, {vslk64::Adc, vslk64::WaveMark, kNeuralUnit});
  record.secsPerTick = 2e-6;
  record.timeSpan = 12.5;
  std::memcpy(record.appId.chID, "ONDRIXAB", 8);
  record.timeDate = {12, 5, 6, 7, 8, 3, 2016};
  std::strcpy(record.comment, "  session 4");
  ASSERT_EQ(NsRegisterFile(record), 1u);

  ns_FILEINFO info;
  std::memset(&info, 0xA5, sizeof info);
  ASSERT_EQ(ns_GetFileInfo(1, &info, sizeof info), ns_OK);
  EXPECT_STREQ(info.szFileType, "Ondrix data");
  EXPECT_EQ(info.dwEntityCount, 3u);
  // Packed doubles are read by value; a reference to one would be misaligned.
  const double tick = info.dTimeStampResolution;
  const double span = info.dTimeSpan;
  EXPECT_EQ(tick, 2e-6);
  EXPECT_EQ(span, 12.5);
  EXPECT_STREQ(info.szAppName, "ONDRIXAB") << "eight characters, then zeros";
  EXPECT_EQ(info.dwTime_Year, 2016u);
  EXPECT_EQ(info.dwTime_Month, 3u);
  EXPECT_EQ(info.dwTime_DayofWeek, 0u);
  EXPECT_EQ(info.dwTime_Day, 8u);
  EXPECT_EQ(info.dwTime_Hour, 7u);
  EXPECT_EQ(info.dwTime_Min, 6u);
  EXPECT_EQ(info.dwTime_Sec, 5u);
  EXPECT_EQ(info.dwTime_MilliSec, 120u);
  EXPECT_STREQ(info.szFileComment, "  session 4");
  EXPECT_EQ(info.szFileComment[255], '\0') << "the whole record is zeroed first";

  EXPECT_EQ(ns_GetFileInfo(1, &info, sizeof info - 1), ns_LIBERROR);
  EXPECT_STREQ(NsLastMessage(), "GetFileInfo was given 403d bytes for results, requires 404d");
  EXPECT_EQ(ns_GetFileInfo(2, &info, sizeof info), ns_BADFILE);
  EXPECT_STREQ(NsLastMessage(), "Bad file handle (2d) passed to function GetFileInfo");
}

TEST_F(FileTable, EntityLookupChecksTheIdAndTheClass) {
  auto probe = NewProbe();
  TNsFile record = MakeRecord(probe, {vslk64::Adc, vslk64::EventA, vslk64::Level,
                                       vslk64::TextMark, vslk64::WaveMark, kNeuralUnit,
                                       vslk64::RealWave, 11});
  ASSERT_EQ(NsRegisterFile(record), 1u);
  TNsFile& file = *NsFindFile(1);

  struct Expect {
    uint32_t id;
    NsEntityClass accepted;
  };
  const Expect cases[] = {{0, NsEntityClass::kAnalog}, {1, NsEntityClass::kEvent},
                          {2, NsEntityClass::kEvent},  {3, NsEntityClass::kEvent},
                          {4, NsEntityClass::kSegment}, {5, NsEntityClass::kNeural},
                          {6, NsEntityClass::kAnalog}};
  const NsEntityClass classes[] = {NsEntityClass::kEvent, NsEntityClass::kAnalog,
                                   NsEntityClass::kSegment, NsEntityClass::kNeural};
  for (const Expect& c : cases) {
    EXPECT_EQ(NsFindEntity(file, c.id, NsEntityClass::kAny), file.entities[c.id].get());
    for (NsEntityClass cls : classes) {
      EXPECT_EQ(NsFindEntity(file, c.id, cls) != nullptr, cls == c.accepted) << "entity " << c.id;
    }
  }
  // An entity of unknown kind is reachable only by calls that take any class.
  EXPECT_NE(NsFindEntity(file, 7, NsEntityClass::kAny), nullptr);
  for (NsEntityClass cls : classes) EXPECT_EQ(NsFindEntity(file, 7, cls), nullptr);
  EXPECT_EQ(NsEntityType(11), ns_ENTITY_UNKNOWN);
  EXPECT_EQ(NsFindEntity(file, 8, NsEntityClass::kAny), nullptr) << "ID equal to the count";

  // Through the exports: a wrong class or an ID past the end is a bad entity.
  ns_EVENTINFO info;
  EXPECT_EQ(ns_GetEventInfo(1, 0, &info, sizeof info), ns_BADENTITY);
  EXPECT_STREQ(NsLastMessage(), "Bad entity number (0d) passed to function GetEventInfo");
  double t;
  EXPECT_EQ(ns_GetTimeByIndex(1, 8, 0, &t), ns_BADENTITY);
  EXPECT_STREQ(NsLastMessage(), "Bad entity number (8d) passed to function GetTimeByIndex");
}

}  // namespace
}  // namespace nsv
