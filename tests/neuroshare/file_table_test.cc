// The open-file table and the open and close steps, driven with in-memory
// file objects that were never opened, registered directly; and the
// last-error message store: the one text no export failure shows (the
// library error with a handle), the codes that leave the message alone, the
// length limit, and the order of the buffer check's tests. Each export's own
// texts are checked through the exports (host_api_test.cc, index_model_test.cc).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

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

class FileTable : public ::testing::Test {
 protected:
  void SetUp() override { NsCloseAllFiles(); }
  void TearDown() override { NsCloseAllFiles(); }
};

// Slots are taken lowest first; the 65th file is closed and destroyed, not
// lost; a freed slot is reused; unload closes every file exactly once.
TEST_F(FileTable, FillsTheLowestFreeSlotsAndClosesWhatItCannotHold) {
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
  EXPECT_EQ(open.back()->closeCalls, 1);
  EXPECT_TRUE(open.back()->destroyed);
  EXPECT_EQ(ns_CloseFile(1), ns_OK);
  EXPECT_TRUE(open[0]->destroyed);
  EXPECT_EQ(NsFindFile(1), nullptr);
  EXPECT_FALSE(open[1]->destroyed);
  TNsFile record = MakeRecord(open[0] = std::make_shared<FileProbe>());
  EXPECT_EQ(NsRegisterFile(record), 1u);
  NsCloseAllFiles();
  for (const auto& probe : open) EXPECT_TRUE(probe->closeCalls == 1 && probe->destroyed);
  EXPECT_EQ(NsFindFile(kNsMaxFiles), nullptr);
}

// A failing close is reported and frees the slot all the same. (A file
// without entities is catalogue_test.cc's.)
TEST_F(FileTable, FailingClosesAndEmptyFilesLeaveNoSlot) {
  auto probe = std::make_shared<FileProbe>();
  TNsFile record = MakeRecord(probe, vslk64::kErrWrite);
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

// The suffix rule's boundary, which no file path reaches (library_writer_test.cc
// checks the rule on files): the name must be longer than ".orf".
TEST(OpenFileName, OnlyNamesLongerThanTheExtensionTryTheOlderFormat) {
  EXPECT_TRUE(NsIsOrfName("a.orf"));
  EXPECT_FALSE(NsIsOrfName(".orf"));
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

}  // namespace
}  // namespace nsv
