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

TFileHead DecodeBuilt(OrfxFileBuilder& b) {
  const std::vector<uint8_t> bytes = b.Bytes();
  TFileHead h;
  h.Decode(bytes.data());
  return h;
}

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
  EXPECT_EQ(h.timeDate.hun, 12);
  EXPECT_EQ(h.timeDate.sec, 30);
  EXPECT_EQ(h.timeDate.min, 45);
  EXPECT_EQ(h.timeDate.hour, 13);
  EXPECT_EQ(h.timeDate.day, 28);
  EXPECT_EQ(h.timeDate.mon, 2);
  EXPECT_EQ(h.timeDate.year, 2016);
  EXPECT_EQ(h.timeBase, 2.5e-5);
  EXPECT_EQ(h.extraBytes, 100u);
  EXPECT_EQ(h.extraOffset, 2048u);
  EXPECT_EQ(h.chanOffset, 2148u);
  EXPECT_EQ(h.stringsOffset, 2148u + 40 * 272);
  EXPECT_EQ(h.maxChans, 40u);
  EXPECT_EQ(h.chanHeadSize, 272u);
  EXPECT_EQ(h.commentIds[7], 9u);
  EXPECT_EQ(h.nextBlock, 65536);
  EXPECT_EQ(h.nextIndexBlock, 4096 * 3);
  EXPECT_EQ(h.maxTime, 123456789012LL);
  EXPECT_EQ(h.Version(), 256);
  EXPECT_EQ(FirstFailedHeadCheck(h), 0);

  std::vector<uint8_t> again(kFileHeadSize);
  h.Encode(again.data());
  EXPECT_TRUE(std::equal(again.begin(), again.end(), bytes.begin()));
}

TEST(FileHead, NewFileHeaderIsTheFormatsEmptyFile) {
  for (const auto& shape : {std::pair<uint32_t, uint32_t>{32, 0}, {100, 10}}) {
    OrfxFileBuilder b(shape.first, shape.second);
    const std::vector<uint8_t> want = b.Bytes();
    std::vector<uint8_t> got(kFileHeadSize);
    TFileHead::NewFile(shape.first, shape.second).Encode(got.data());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin())) << shape.first;
  }
}

// Each change makes exactly one check fail, the check of the same number,
// when applied to a valid header on its own.
const std::vector<std::function<void(TFileHead&)>>& Breakers() {
  static const std::vector<std::function<void(TFileHead&)>> breakers = {
      [](TFileHead& h) { h.chan = 0; },
      [](TFileHead& h) { h.ident[7] = 2; },
      [](TFileHead& h) { h.ident[3] = 'q'; },
      [](TFileHead& h) { h.extraOffset = 2047; },
      [](TFileHead& h) { h.extraBytes = 1; },
      [](TFileHead& h) { h.maxChans = 31; },
      [](TFileHead& h) { h.chanHeadSize = 273; },
      [](TFileHead& h) { h.nextIndexBlock = h.nextBlock + 4096; },
      [](TFileHead& h) { h.headBlocks = 129; },
      [](TFileHead& h) { h.stringsOffset = 65536; },
  };
  return breakers;
}

TEST(FileHead, EachCheckCatchesItsFault) {
  for (size_t i = 0; i < Breakers().size(); ++i) {
    TFileHead h;
    Breakers()[i](h);
    EXPECT_EQ(FirstFailedHeadCheck(h), static_cast<int>(i + 1));
  }
}

TEST(FileHead, ChecksRunInOrder) {
  // With the faults of checks k to 10 all present, check k is the one named.
  for (size_t k = 0; k < Breakers().size(); ++k) {
    TFileHead h;
    for (size_t i = k; i < Breakers().size(); ++i) Breakers()[i](h);
    EXPECT_EQ(FirstFailedHeadCheck(h), static_cast<int>(k + 1));
  }
}

TEST(FileHead, VersionAndSlotLimits) {
  for (uint8_t major : {0, 1}) {
    TFileHead h;
    h.ident[7] = major;
    h.ident[6] = 9;
    EXPECT_EQ(FirstFailedHeadCheck(h), 0);
    EXPECT_EQ(h.Version(), major * 256 + 9);
  }
  for (uint32_t slots : {32u, 2000u}) {
    OrfxFileBuilder b(slots, 0);
    EXPECT_EQ(FirstFailedHeadCheck(DecodeBuilt(b)), 0) << slots;
  }
  TFileHead big = TFileHead::NewFile(2001, 0);
  big.headBlocks = 128;
  EXPECT_EQ(FirstFailedHeadCheck(big), 6);
}

TEST(FileHead, AreaSumsDoNotWrapRound) {
  // Sums that wrap at 32 bits would let these through.
  TFileHead extra;
  extra.extraBytes = 0xFFFFFFFFu;
  EXPECT_EQ(FirstFailedHeadCheck(extra), 5);
  TFileHead table;
  table.chanOffset = 0xFFFFF000u;
  table.stringsOffset = 0x2000;
  EXPECT_EQ(FirstFailedHeadCheck(table), 7);
}

TEST(TimeDate, Validity) {
  TTimeDate zero = {};
  EXPECT_EQ(TimeDateValidity(zero), 0);
  const TTimeDate good = {99, 59, 59, 23, 31, 12, 2200};
  EXPECT_EQ(TimeDateValidity(good), 1);
  const TTimeDate first = {0, 0, 0, 0, 1, 1, 1980};
  EXPECT_EQ(TimeDateValidity(first), 1);
  const std::vector<std::function<void(TTimeDate&)>> faults = {
      [](TTimeDate& t) { t.hun = 100; },   [](TTimeDate& t) { t.sec = 60; },
      [](TTimeDate& t) { t.min = 60; },    [](TTimeDate& t) { t.hour = 24; },
      [](TTimeDate& t) { t.day = 0; },     [](TTimeDate& t) { t.day = 32; },
      [](TTimeDate& t) { t.mon = 0; },     [](TTimeDate& t) { t.mon = 13; },
      [](TTimeDate& t) { t.year = 1979; }, [](TTimeDate& t) { t.year = 2201; },
  };
  for (const auto& fault : faults) {
    TTimeDate t = good;
    fault(t);
    EXPECT_EQ(TimeDateValidity(t), -1);
  }
  TTimeDate onlyHundredths = {};
  onlyHundredths.hun = 5;
  EXPECT_EQ(TimeDateValidity(onlyHundredths), -1);
}

}  // namespace
}  // namespace vslk64
