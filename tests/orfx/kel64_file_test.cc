#include "filelib/orfx/kel64_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filelib/le.h"
#include "platform/file.h"
#include "tests/builder/orfx/orfx_file_builder.h"
#include "tests/support/seam_files.h"
#include "tests/support/temp_dir.h"

namespace vslk64 {
namespace {

using orfx_test::OrfxFileBuilder;
using testing_support::SeamFiles;
using testing_support::TempDir;
using testing_support::WriteFileBytes;
namespace fh = orfx_test::fh;

std::string Built(OrfxFileBuilder& b, const TempDir& dir, const char* name = "f.orfx",
                  int64_t tail = 0) {
  std::vector<uint8_t> bytes = b.Bytes();
  bytes.resize(static_cast<size_t>(static_cast<int64_t>(bytes.size()) + tail), 0);
  const std::string path = dir.File(name);
  EXPECT_TRUE(WriteFileBytes(path, bytes.data(), bytes.size()));
  return path;
}

TEST(Kel64Open, AnswersTheHeaderOperationsAndCloses) {
  TempDir dir;
  OrfxFileBuilder b(40, 100);
  b.SetHeadI64(fh::kMaxTime, 5000);
  std::vector<uint8_t> extra(100);
  for (size_t i = 0; i < extra.size(); ++i) extra[i] = static_cast<uint8_t>(i * 7);
  b.PutHeaderSpace(2048, extra.data(), extra.size());
  const std::string path = Built(b, dir);

  TKel64File f;
  uint8_t got[60];
  EXPECT_EQ(f.ReadRaw(got, 4, -1), kErrNegativePos);
  EXPECT_EQ(f.ReadRaw(got, 4, 0), kErrNoFile);
  EXPECT_EQ(f.WriteRaw(got, 4, 0), kErrNoFile);
  ASSERT_EQ(f.Open(path.c_str(), 1, 0), kOk);
  EXPECT_FALSE(f.CanWrite());
  EXPECT_EQ(f.MaxTime(false), 5000);
  EXPECT_EQ(f.GetExtraData(got, 60, 40), kOk);
  EXPECT_TRUE(std::equal(got, got + 60, extra.begin() + 40));
  EXPECT_EQ(f.ReadRaw(got, 4, INT64_MAX - 1), kErrRead);
  EXPECT_EQ(f.ReadRaw(got, 4, 65534), kErrRead);  // runs past the end
  EXPECT_EQ(f.Open(path.c_str(), 1, 0), kErrAlreadyOpen);
  EXPECT_EQ(f.Close(), kOk);
  EXPECT_EQ(f.Close(), kErrNoFile);
}

// Each header check has its own test at the header level; here one bad
// header fails the open. A file may run on less than a block past its last
// block; one shorter than the header says is fine.
TEST(Kel64Open, RefusesBadFilesAndFallsBackToReadingOnly) {
  TempDir dir;
  OrfxFileBuilder b(32, 64);
  std::vector<uint8_t> bytes = b.Bytes();
  bytes[3] = 'q';
  const std::string bad = dir.File("bad.orfx");
  ASSERT_TRUE(WriteFileBytes(bad, bytes.data(), bytes.size()));
  const std::string tiny = dir.File("tiny.orfx");
  ASSERT_TRUE(WriteFileBytes(tiny, "K64pl", 5));
  const std::string good = Built(b, dir), over = Built(b, dir, "over.orfx", 61441);
  const std::string fits = Built(b, dir, "fits.orfx", 61440);
  b.SetHeadI64(fh::kNextBlock, 5 * 65536);
  const std::string shorter = Built(b, dir, "short.orfx");
  SeamFiles files;
  platform::ScopedFileSystem seam(&files);
  const struct {
    const char* what;
    const std::string& path;
    int mode, want;
    bool failReads, refuseWriters;
  } cases[] = {
      {"bad header", bad, 1, kErrBadHeader, false, false},
      {"too long", over, 1, kErrTooLong, false, false},
      {"tail under a block", fits, 1, kOk, false, false},
      {"shorter than its header says", shorter, 0, kOk, false, false},
      {"missing", dir.File("missing.orfx"), 1, kErrNoFile, false, false},
      {"too short for its header", tiny, 1, kErrRead, false, false},
      {"a failed read", good, 1, kErrRead, true, false},
      {"no writing allowed", good, 0, kErrNoFile, false, true},
      {"mode -1 falls back to reading", good, -1, kOk, false, true},
      {"mode 2 reads only", good, 2, kOk, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    files.failReads = c.failReads;
    files.refuseWriters = c.refuseWriters;
    TKel64File f;
    EXPECT_EQ(f.Open(c.path.c_str(), c.mode, 0), c.want);
    EXPECT_TRUE(c.want != kOk || f.CanWrite() == (c.mode == 0));
    EXPECT_EQ(f.Close(), c.want == kOk ? kOk : kErrNoFile);
  }
  files.failReads = files.refuseWriters = false;
  // Flag 2 keeps the handle of a failed open, which answers from what was read.
  TKel64File f;
  EXPECT_EQ(f.Open(bad.c_str(), 1, 2), kErrBadHeader);
  EXPECT_EQ(f.Open(bad.c_str(), 1, 0), kErrAlreadyOpen);
  uint8_t head[16];
  EXPECT_EQ(f.ReadRaw(head, 8, 0), kOk);
  EXPECT_EQ(f.Close(), kOk);
  EXPECT_EQ(f.Open(over.c_str(), 1, 2), kErrTooLong);
  EXPECT_EQ(f.MaxChans(), 32);
  EXPECT_EQ(f.Close(), kOk);
  ASSERT_EQ(f.Open(good.c_str(), 1, 0), kOk);
  files.failReads = true;
  EXPECT_EQ(f.GetExtraData(head, 16, 0), kErrRead);
  EXPECT_EQ(f.ReadRaw(head, 16, 0), kErrRead);
}

TEST(Kel64HeaderSpace, ReadsMapAcrossTheFirstBlock) {
  TempDir dir;
  OrfxFileBuilder b(32, 70000);  // the extra-data area runs past 65536
  // A data block allocated first puts the continuation block at 131072, so
  // only a mapping that follows headBlockPos finds the bytes.
  b.AppendBlock(std::vector<uint8_t>(65536, 0xEE));
  std::vector<uint8_t> extra(70000);
  for (size_t i = 0; i < extra.size(); ++i) extra[i] = static_cast<uint8_t>(i % 251);
  b.PutHeaderSpace(2048, extra.data(), extra.size());
  TKel64File f;
  ASSERT_EQ(f.Open(Built(b, dir).c_str(), 1, 0), kOk);
  std::vector<uint8_t> got(1000);
  const uint32_t at = 65536 - 2048 - 500;  // 500 bytes before the boundary
  ASSERT_EQ(f.GetExtraData(got.data(), 1000, at), kOk);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), extra.begin() + at));
  EXPECT_EQ(f.ReadHeaderSpace(got.data(), 16, 65536 + 65520 - 8), kErrOutOfRange);

  // A continuation block outside the allocated blocks (here: the header).
  std::vector<uint8_t> bytes = OrfxFileBuilder(32, 70000).Bytes();
  le::PutI64(&bytes[fh::kHeadBlockPos], 0);
  const std::string bad = dir.File("bad.orfx");
  ASSERT_TRUE(WriteFileBytes(bad, bytes.data(), bytes.size()));
  TKel64File g;
  EXPECT_EQ(g.Open(bad.c_str(), 0, 0), kErrCorrupt);
}

// The setters' rules, and the changes reaching the disk at close (time base,
// application and date are held against the byte builder's file by the
// library writer test).
TEST(Kel64Header, AccessorRulesAndChangesReachTheDiskAtClose) {
  TempDir dir;
  OrfxFileBuilder b(32, 10);
  b.SetHeadI64(fh::kMaxTime, 5000);
  const std::string path = Built(b, dir);
  {
    TKel64File f;
    ASSERT_EQ(f.Open(path.c_str(), 0, 0), kOk);
    f.SetTimeBase(0);
    f.SetTimeBase(-1e-6);
    f.SetTimeBase(1e-6);
    EXPECT_FALSE(f.IsModified());
    EXPECT_EQ(f.GetTimeBase(), 1e-6);

    f.ExtendMaxTime(-1);
    EXPECT_EQ(f.MaxTime(false), -1);
    f.ExtendMaxTime(100);
    f.ExtendMaxTime(50);
    EXPECT_EQ(f.MaxTime(false), 100);
    EXPECT_TRUE(f.IsModified());

    uint8_t buf[16] = {};
    EXPECT_EQ(f.GetExtraData(buf, 0, 10), kOk);
    EXPECT_EQ(f.GetExtraData(buf, 1, 10), kErrExtraRange);
    EXPECT_EQ(f.SetExtraData(buf, 4, 0xFFFFFFFEu), kErrExtraRange);

    const TTimeDate good = {0, 0, 30, 9, 1, 3, 2016};
    TTimeDate old;
    EXPECT_EQ(f.TimeDate(&old, &good), 0);  // the old record was not set
    TTimeDate bad = good;
    bad.mon = 13;
    EXPECT_EQ(f.TimeDate(nullptr, &bad), kErrBadArg);
    const TTimeDate zero = {};
    EXPECT_EQ(f.TimeDate(&old, &zero), 1);
    EXPECT_EQ(old.mon, 3);

    EXPECT_EQ(f.SetFileComment(8, "x"), kErrBadArg);
    EXPECT_EQ(f.SetFileComment(-1, "x"), kErrBadArg);
    const uint8_t extra[3] = {7, 8, 9};
    EXPECT_EQ(f.SetExtraData(extra, 3, 7), kOk);
    EXPECT_EQ(f.SetFileComment(3, "third comment"), kOk);
    // Big enough to take the string table past block 0.
    EXPECT_EQ(f.SetFileComment(7, std::string(70000, 'q').c_str()), kOk);
    EXPECT_EQ(f.Close(), kOk);
  }
  TKel64File f;
  ASSERT_EQ(f.Open(path.c_str(), 1, 0), kOk);
  uint8_t extra[3];
  EXPECT_EQ(f.GetExtraData(extra, 3, 7), kOk);
  EXPECT_EQ(extra[2], 9);
  char text[32];
  EXPECT_EQ(f.GetFileComment(3, sizeof text, text), 14);
  EXPECT_STREQ(text, "third comment");
  EXPECT_EQ(f.GetFileComment(7, 0, nullptr), 70001);
  EXPECT_EQ(f.FileSize(), 2 * 65536);  // one continuation block for the strings
}

TEST(Kel64Alloc, IndexBlocksFillOneDataBlockAtATimeAndHeaderSpaceGrowsToItsEnd) {
  TempDir dir;
  OrfxFileBuilder b;
  TKel64File f;
  ASSERT_EQ(f.Open(Built(b, dir).c_str(), 0, 0), kOk);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(f.AllocIndexBlock(), 65536 + 4096 * i);
  EXPECT_EQ(f.AllocBlock(), 131072);
  EXPECT_EQ(f.AllocIndexBlock(), 196608);
  EXPECT_EQ(f.FileSize(), 262144);
  // Header space grows up to the last continuation block.
  const uint8_t mark[4] = {1, 2, 3, 4};
  EXPECT_EQ(f.WriteHeaderSpace(mark, 4, kMaxHeadSpace - 3), kErrOutOfRange);
  EXPECT_EQ(f.FileSize(), 262144);  // nothing was allocated for the refused write
  ASSERT_EQ(f.WriteHeaderSpace(mark, 4, kMaxHeadSpace - 4), kOk);
  EXPECT_EQ(f.FileSize(), 262144 + 128 * 65536);
  ASSERT_EQ(f.Close(), kOk);
  std::string file;
  ASSERT_TRUE(testing_support::ReadFileBytes(dir.File("f.orfx"), &file));
  const uint8_t* p = reinterpret_cast<const uint8_t*>(file.data());
  EXPECT_EQ(le::GetU32(p + fh::kHeadBlocks), 128u);
  const int64_t lastBlock = le::GetI64(p + fh::kHeadBlockPos + 8 * 127);
  EXPECT_EQ(le::GetU16(p + lastBlock + 8), 0xFFFF);
  EXPECT_EQ(std::memcmp(p + lastBlock + 65532, mark, 4), 0);

  // A damaged allocator has nothing to give.
  b.SetHeadI64(fh::kNextBlock, INT64_MAX - 100);
  TKel64File g;
  ASSERT_EQ(g.Open(Built(b, dir, "g.orfx").c_str(), 0, 0), kOk);
  EXPECT_EQ(g.AllocBlock(), 0);
  EXPECT_EQ(g.AllocIndexBlock(), 0);
  const uint8_t one = 1;
  EXPECT_EQ(g.WriteHeaderSpace(&one, 1, 70000), kErrOutOfRange);
}

}  // namespace
}  // namespace vslk64
