#include "filelib/orfx/file_head.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "tests/builder/orfx/orfx_file_builder.h"

namespace vslk64 {
namespace {

using orfx_test::OrfxFileBuilder;
namespace fh = orfx_test::fh;

TEST(FileHead, DecodesEveryFieldFromItsOffsetAndEncodesBack) {
  OrfxFileBuilder b(40, 100);
  const char app[8] = {'R', 'e', 'c', 'o', 'r', 'd', 'e', 'r'};
  b.PutHeaderSpace(fh::kAppId, app, 8);
  const uint8_t date[8] = {12, 30, 45, 13, 28, 2, 0xE0, 0x07};  // 2016-02-28 13:45:30.12
  b.PutHeaderSpace(fh::kTimeDate, date, 8);
  b.SetHeadF64(fh::kTimeBase, 2.5e-5);
  b.SetHeadU32(fh::kCommentIds + 4 * 7, 9);
  b.SetHeadI64(fh::kNextIndexBlock, 4096 * 3);
  b.SetHeadI64(fh::kMaxTime, 123456789012LL);
  b.SetHeadU8(1500, 0x5A);  // a reserved byte, kept as found
  const std::vector<uint8_t> bytes = b.Bytes();

  TFileHead h;
  h.Decode(bytes.data());
  EXPECT_EQ(std::memcmp(h.appID.chID, app, 8), 0);
  const TTimeDate& td = h.timeDate;
  EXPECT_EQ(std::vector<int>({td.hun, td.sec, td.min, td.hour, td.day, td.mon, td.year}),
            std::vector<int>({12, 30, 45, 13, 28, 2, 2016}));
  EXPECT_EQ(h.timeBase, 2.5e-5);
  EXPECT_EQ(h.extraBytes, 100u);
  EXPECT_EQ(h.chanOffset, 2148u);
  EXPECT_EQ(h.stringsOffset, 2148u + 40 * 272);
  EXPECT_EQ(h.maxChans, 40u);
  EXPECT_EQ(h.commentIds[7], 9u);
  EXPECT_EQ(h.nextBlock, 65536);
  EXPECT_EQ(h.nextIndexBlock, 4096 * 3);
  EXPECT_EQ(h.maxTime, 123456789012LL);
  EXPECT_EQ(FirstFailedHeadCheck(h), 0);

  std::vector<uint8_t> again(kFileHeadSize);
  h.Encode(again.data());
  EXPECT_TRUE(std::equal(again.begin(), again.end(), bytes.begin()));
  // A new file's header is the builder's empty file.
  TFileHead::NewFile(40, 100).Encode(again.data());
  const std::vector<uint8_t> empty = OrfxFileBuilder(40, 100).Bytes();
  EXPECT_TRUE(std::equal(again.begin(), again.end(), empty.begin()));
}

TEST(FileHead, EachCheckCatchesItsFault) {
  const struct {
    std::function<void(TFileHead&)> fault;
    int check;  // 0: the header is accepted
  } cases[] = {
      {[](TFileHead& h) { h.chan = 0; }, 1},
      {[](TFileHead& h) { h.ident[7] = 2; }, 2},
      {[](TFileHead& h) { h.ident[7] = 0, h.ident[6] = 9; }, 0},  // older versions still open
      {[](TFileHead& h) { h.ident[3] = 'q'; }, 3},
      {[](TFileHead& h) { h.extraOffset = 2047; }, 4},
      {[](TFileHead& h) { h.extraBytes = 1; }, 5},
      {[](TFileHead& h) { h.extraBytes = 0xFFFFFFFFu; }, 5},  // a sum that wraps at 32 bits
      {[](TFileHead& h) { h.maxChans = 31; }, 6},
      {[](TFileHead& h) { h = TFileHead::NewFile(2000, 0), h.headBlocks = 128; }, 0},
      {[](TFileHead& h) { h = TFileHead::NewFile(2001, 0), h.headBlocks = 128; }, 6},
      {[](TFileHead& h) { h.chanHeadSize = 273; }, 7},
      {[](TFileHead& h) { h.chanOffset = 0xFFFFF000u, h.stringsOffset = 0x2000; }, 7},
      {[](TFileHead& h) { h.nextIndexBlock = h.nextBlock + 4096; }, 8},
      {[](TFileHead& h) { h.headBlocks = 129; }, 9},
      {[](TFileHead& h) { h.stringsOffset = 65536; }, 10},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    TFileHead h;
    cases[i].fault(h);
    EXPECT_EQ(FirstFailedHeadCheck(h), cases[i].check) << i;
  }
}

TEST(TimeDate, Validity) {
  EXPECT_EQ(TimeDateValidity(TTimeDate{}), 0);  // not set
  EXPECT_EQ(TimeDateValidity({0, 0, 0, 0, 1, 1, 1980}), 1);
  EXPECT_EQ(TimeDateValidity({5, 0, 0, 0, 0, 0, 0}), -1);
  // The last valid date with one field (hundredths to year) out of range.
  const int faults[][2] = {{-1, 0}, {0, 100}, {1, 60}, {2, 60},   {3, 24},  {4, 0},
                           {4, 32}, {5, 0},   {5, 13}, {6, 1979}, {6, 2201}};
  for (const auto& f : faults) {
    int v[7] = {99, 59, 59, 23, 31, 12, 2200};
    if (f[0] >= 0) v[f[0]] = f[1];
    const TTimeDate t = {uint8_t(v[0]), uint8_t(v[1]), uint8_t(v[2]), uint8_t(v[3]),
                         uint8_t(v[4]), uint8_t(v[5]), uint16_t(v[6])};
    EXPECT_EQ(TimeDateValidity(t), f[0] < 0 ? 1 : -1) << f[0] << " " << f[1];
  }
}

}  // namespace
}  // namespace vslk64
