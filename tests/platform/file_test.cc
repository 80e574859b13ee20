#include "platform/file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/temp_dir.h"

namespace platform {
namespace {

// A file that fails its first `failures` reads with the given status.
class FlakyFile : public File {
 public:
  FlakyFile(int failures, IoStatus how) : failures_(failures), how_(how) {}
  IoResult ReadAt(void* buf, uint32_t n, int64_t) override {
    ++calls;
    if (failures_ > 0) {
      --failures_;
      return {how_, 0};
    }
    std::memset(buf, 0x5A, n);
    return {IoStatus::kOk, n};
  }
  IoResult WriteAt(const void*, uint32_t n, int64_t) override { return {IoStatus::kOk, n}; }
  int64_t Length() override { return 0; }
  bool Flush() override { return true; }
  bool Truncate(int64_t) override { return true; }
  int calls = 0;

 private:
  int failures_;
  IoStatus how_;
};

TEST(ReadFully, RetriesTransientFailuresUpToTheBound) {
  char buf[8];
  FlakyFile recovers(kReadAttempts - 1, IoStatus::kTransient);
  EXPECT_EQ(ReadFully(recovers, buf, sizeof buf, 0), TransferResult::kOk);
  EXPECT_EQ(recovers.calls, kReadAttempts);

  FlakyFile never(kReadAttempts, IoStatus::kTransient);
  EXPECT_EQ(ReadFully(never, buf, sizeof buf, 0), TransferResult::kFailed);
  EXPECT_EQ(never.calls, kReadAttempts);
}

TEST(ReadFully, HardFailureIsNotRetried) {
  char buf[8];
  FlakyFile hard(1, IoStatus::kFailed);
  EXPECT_EQ(ReadFully(hard, buf, sizeof buf, 0), TransferResult::kFailed);
  EXPECT_EQ(hard.calls, 1);
}

TEST(NativeFiles, PositionedTransfersLengthAndTruncate) {
  testing_support::TempDir dir;
  const std::string path = dir.File("a.bin");
  auto f = NativeFiles().Open(path.c_str(), Access::kReadWrite, Disposition::kCreateAlways,
                              Share::kNone);
  ASSERT_TRUE(f);
  const char text[] = "abcdef";
  EXPECT_EQ(WriteFully(*f, text, 6, 100), TransferResult::kOk);
  EXPECT_EQ(f->Length(), 106);
  char back[6];
  EXPECT_EQ(ReadFully(*f, back, 6, 100), TransferResult::kOk);
  EXPECT_EQ(std::memcmp(back, text, 6), 0);
  EXPECT_EQ(ReadFully(*f, back, 6, 103), TransferResult::kShort);
  EXPECT_TRUE(f->Truncate(50));
  EXPECT_EQ(f->Length(), 50);
  EXPECT_TRUE(f->Flush());
}

TEST(NativeFiles, SharingFollowsTheOpenModes) {
  testing_support::TempDir dir;
  const std::string path = dir.File("s.bin");
  ASSERT_TRUE(testing_support::WriteFileBytes(path, "x", 1));
  auto r1 = NativeFiles().Open(path.c_str(), Access::kRead, Disposition::kOpenExisting,
                               Share::kReaders);
  auto r2 = NativeFiles().Open(path.c_str(), Access::kRead, Disposition::kOpenExisting,
                               Share::kReaders);
  ASSERT_TRUE(r1);
  ASSERT_TRUE(r2);  // readers share
  EXPECT_FALSE(NativeFiles().Open(path.c_str(), Access::kReadWrite, Disposition::kOpenExisting,
                                  Share::kReaders));
  r1.reset();
  r2.reset();
  auto w = NativeFiles().Open(path.c_str(), Access::kReadWrite, Disposition::kOpenExisting,
                              Share::kReaders);
  ASSERT_TRUE(w);
  EXPECT_FALSE(NativeFiles().Open(path.c_str(), Access::kRead, Disposition::kOpenExisting,
                                  Share::kReaders));
}

TEST(NativeFiles, MissingFilesAndDirectories) {
  testing_support::TempDir dir;
  EXPECT_FALSE(NativeFiles().Open(dir.File("none").c_str(), Access::kRead,
                                  Disposition::kOpenExisting, Share::kReaders));
  EXPECT_FALSE(NativeFiles().Open(dir.path().c_str(), Access::kRead,
                                  Disposition::kOpenExisting, Share::kReaders));
  EXPECT_FALSE(NativeFiles().Exists(dir.File("none").c_str()));
  EXPECT_TRUE(NativeFiles().Exists(dir.path().c_str()));
  LocalTime t{};
  EXPECT_TRUE(NativeFiles().CreationTime(dir.path().c_str(), &t));
  EXPECT_GE(t.year, 2020);
  EXPECT_FALSE(NativeFiles().CreationTime(dir.File("none").c_str(), &t));
}

}  // namespace
}  // namespace platform
