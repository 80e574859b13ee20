// The open-file table and the open and close steps, driven with in-memory
// file objects that were never opened, registered directly.
#include <gtest/gtest.h>

#include <array>
#include <memory>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_errors.h"
#include "neuroshare/ns_file.h"
#include "neuroshare/ns_file_table.h"
#include "neuroshare/ns_open.h"
#include "tests/neuroshare/watched_file.h"

namespace nsv {
namespace {

using nsv_test::FileProbe;
using nsv_test::WatchedFile;

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

uint32_t Register(const std::shared_ptr<FileProbe>& probe) {
  TNsFile record = MakeRecord(probe);
  return NsRegisterFile(record);
}

class FileTable : public ::testing::Test {
 protected:
  void SetUp() override { NsCloseAllFiles(); }
  void TearDown() override { NsCloseAllFiles(); }
};

TEST_F(FileTable, RegistersInTheLowestFreeSlotAndReusesAFreedOne) {
  auto a = std::make_shared<FileProbe>(), b = std::make_shared<FileProbe>();
  TNsFile record = MakeRecord(a);
  EXPECT_EQ(NsRegisterFile(record), 1u);
  EXPECT_EQ(record.file, nullptr) << "the slot owns the file object now";
  EXPECT_EQ(Register(b), 2u);
  EXPECT_EQ(ns_CloseFile(1), ns_OK);
  EXPECT_EQ(a->closeCalls, 1);
  EXPECT_TRUE(a->destroyed);
  EXPECT_EQ(NsFindFile(1), nullptr);
  EXPECT_EQ(Register(std::make_shared<FileProbe>()), 1u);
  EXPECT_NE(NsFindFile(2), nullptr);
  EXPECT_FALSE(b->destroyed);
}

TEST_F(FileTable, SixtyFifthFileIsClosedAndDestroyedInsteadOfLost) {
  std::array<std::shared_ptr<FileProbe>, kNsMaxFiles> open;
  for (uint32_t i = 0; i < kNsMaxFiles; ++i) {
    open[i] = std::make_shared<FileProbe>();
    ASSERT_EQ(Register(open[i]), i + 1);
  }
  auto extra = std::make_shared<FileProbe>();
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
  EXPECT_EQ(NsFindFile(kNsMaxFiles), nullptr);
}

TEST_F(FileTable, AFailingCloseIsReportedAndFreesTheSlotAllTheSame) {
  auto probe = std::make_shared<FileProbe>();
  TNsFile record = MakeRecord(probe, vslk64::kErrWrite);
  ASSERT_EQ(NsRegisterFile(record), 1u);
  EXPECT_EQ(ns_CloseFile(1), ns_FILEERROR);
  EXPECT_STREQ(NsLastMessage(),
               "File read error occurred in function CloseFile with entity 0d, index 0d");
  EXPECT_TRUE(probe->destroyed);
  EXPECT_EQ(ns_CloseFile(1), ns_BADFILE);
  EXPECT_EQ(probe->closeCalls, 1);

  auto other = std::make_shared<FileProbe>();
  record = MakeRecord(other, vslk64::kErrRead);
  EXPECT_EQ(NsResetFile(record), vslk64::kErrRead);
  EXPECT_TRUE(record.entities.empty());
  EXPECT_EQ(NsResetFile(record), 0) << "nothing left to close";
  EXPECT_EQ(other->closeCalls, 1);
}

TEST_F(FileTable, FileWithoutEntitiesIsClosedAndNotRegistered) {
  auto probe = std::make_shared<FileProbe>();
  uint32_t fileId = 0;
  EXPECT_EQ(NsAdoptFile("/data/empty.orfx", std::make_unique<WatchedFile>(probe), &fileId),
            ns_FILEERROR);
  EXPECT_EQ(fileId, 0u);
  EXPECT_STREQ(NsLastMessage(),
               "File read error occurred in function OpenFile with entity 0d, index 0d");
  EXPECT_EQ(probe->closeCalls, 1);
  EXPECT_TRUE(probe->destroyed);
  EXPECT_EQ(NsFindFile(1), nullptr);
}

// The suffix rule's boundary, which no file path reaches (path_test.cc
// checks the rule on files): the name must be longer than ".orf".
TEST(OpenFileName, OnlyNamesLongerThanTheExtensionTryTheOlderFormat) {
  EXPECT_TRUE(NsIsOrfName("a.orf"));
  EXPECT_FALSE(NsIsOrfName(".orf"));
}

}  // namespace
}  // namespace nsv
