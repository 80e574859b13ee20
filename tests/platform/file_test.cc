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

// A second open of a file already held open succeeds only when each open's
// sharing allows the other's access, as Windows decides it; a refused create
// leaves the file as it was.
TEST(NativeFiles, SharingFollowsTheOpenModes) {
  struct Open {
    Access access;
    Disposition disposition;
    Share share;
  };
  const Open reader{Access::kRead, Disposition::kOpenExisting, Share::kReaders};
  const Open loneReader{Access::kRead, Disposition::kOpenExisting, Share::kNone};
  const Open writer{Access::kReadWrite, Disposition::kOpenExisting, Share::kReaders};
  const Open creator{Access::kReadWrite, Disposition::kCreateAlways, Share::kNone};
  struct Case {
    const char* what;
    Open held, second;
    bool opens;
  };
  const Case cases[] = {
      {"readers share", reader, reader, true},
      {"a reader keeps writers out", reader, writer, false},
      {"a reader keeps a create out", reader, creator, false},
      {"a reader keeps an unshared reader out", reader, loneReader, false},
      {"a writer keeps readers out that share no writing", writer, reader, false},
      {"a creator keeps readers out", creator, reader, false},
      {"a creator keeps a second creator out", creator, creator, false},
  };
  for (const Case& c : cases) {
    testing_support::TempDir dir;
    const std::string path = dir.File("s.bin");
    ASSERT_TRUE(testing_support::WriteFileBytes(path, "xyz", 3));
    auto held = NativeFiles().Open(path.c_str(), c.held.access, c.held.disposition, c.held.share);
    ASSERT_TRUE(held) << c.what;
    auto second =
        NativeFiles().Open(path.c_str(), c.second.access, c.second.disposition, c.second.share);
    EXPECT_EQ(second != nullptr, c.opens) << c.what;
    second.reset();
    EXPECT_EQ(held->Length(), c.held.disposition == Disposition::kCreateAlways ? 0 : 3) << c.what;
    held.reset();
    // Once the first is closed, the second open goes through.
    EXPECT_TRUE(
        NativeFiles().Open(path.c_str(), c.second.access, c.second.disposition, c.second.share))
        << c.what;
  }
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
