#include "filelib/mark_filter.h"

#include <gtest/gtest.h>

namespace vslk64 {
namespace {

bool Passes(const CMarkFilter& f, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t code[4] = {a, b, c, d};
  return f.Match(code);
}

TEST(MarkFilter, FreshFilterPassesEverything) {
  CMarkFilter f;
  EXPECT_EQ(f.Summary(), CMarkFilter::kAllPass);
  EXPECT_EQ(f.LayerCount(), 4);
  EXPECT_EQ(f.GetColumn(), -1);
  EXPECT_EQ(f.GetMode(), 0);
  EXPECT_TRUE(Passes(f, 0, 255, 17, 3));
}

TEST(MarkFilter, SetItemRangeChecks) {
  CMarkFilter f;
  EXPECT_EQ(f.SetItem(4, 0, 0), -1);
  EXPECT_EQ(f.SetItem(0, 256, 0), -1);
  EXPECT_EQ(f.Summary(), CMarkFilter::kAllPass);  // nothing changed
  EXPECT_EQ(f.SetItem(-1, -1, 0), 0);
  EXPECT_EQ(f.Summary(), CMarkFilter::kNonePass);
  EXPECT_EQ(f.SetItem(-1, -1, 2), 0);  // invert back to all set
  EXPECT_EQ(f.Summary(), CMarkFilter::kAllPass);
}

TEST(MarkFilter, ModeZeroNeedsEveryLayer) {
  CMarkFilter f;
  f.SetItem(1, -1, 0);
  f.SetItem(1, 9, 1);
  EXPECT_EQ(f.Summary(), CMarkFilter::kSomePass);
  EXPECT_TRUE(Passes(f, 4, 9, 0, 0));
  EXPECT_FALSE(Passes(f, 4, 8, 0, 0));
}

TEST(MarkFilter, ModeOneAcceptsAnyNonZeroCodeInLayerZero) {
  CMarkFilter f;
  f.SetMode(1);
  f.SetItem(0, -1, 0);
  f.SetItem(0, 3, 1);
  EXPECT_TRUE(Passes(f, 3, 0, 0, 0));
  EXPECT_TRUE(Passes(f, 1, 3, 0, 0));
  EXPECT_TRUE(Passes(f, 0, 0, 0, 3));
  EXPECT_FALSE(Passes(f, 1, 2, 0, 0));
  // Code 0 in bytes 1 to 3 is never tested, even when layer 0 accepts it.
  f.SetItem(0, -1, 0);
  f.SetItem(0, 0, 1);
  EXPECT_FALSE(Passes(f, 1, 0, 0, 0));
  EXPECT_TRUE(Passes(f, 0, 5, 5, 5));
}

TEST(MarkFilter, SummaryOnlyConsultsLayersInUse) {
  CMarkFilter f;
  f.SetItem(2, 7, 0);  // layer 2 no longer full
  EXPECT_EQ(f.Summary(), CMarkFilter::kSomePass);
  f.SetMode(1);  // mode 1 looks at layer 0 only
  EXPECT_EQ(f.Summary(), CMarkFilter::kAllPass);
  f.SetMode(5);  // unknown modes reject everything
  EXPECT_EQ(f.Summary(), CMarkFilter::kNonePass);
  EXPECT_FALSE(Passes(f, 0, 0, 0, 0));
}

TEST(MarkFilter, NonePassNeedsEveryLayerEmpty) {
  CMarkFilter f;
  f.SetItem(0, -1, 0);
  EXPECT_EQ(f.Summary(), CMarkFilter::kSomePass);  // layer 1 still accepts all
  f.SetItem(-1, -1, 0);
  EXPECT_EQ(f.Summary(), CMarkFilter::kNonePass);
}

TEST(MarkFilter, WholeMaskCopyForFirstFourLayers) {
  CMarkFilter f;
  uint8_t mask[32] = {};
  mask[0] = 0x08;  // value 3
  EXPECT_EQ(f.SetMask(4, mask), -1);
  EXPECT_EQ(f.SetMask(0, mask), 0);
  EXPECT_TRUE(f.GetItem(0, 3));
  EXPECT_FALSE(f.GetItem(0, 4));
  uint8_t out[32];
  EXPECT_EQ(f.GetMask(0, out), 0);
  EXPECT_EQ(out[0], 0x08);
  EXPECT_EQ(f.GetMask(5, out), -1);

  CMarkFilter copy(f);
  EXPECT_TRUE(copy == f);
  copy.SetItem(1, 1, 0);
  EXPECT_FALSE(copy == f);
}

TEST(MarkFilter, ColumnIgnoresValuesBelowMinusOne) {
  CMarkFilter f;
  f.SetColumn(2);
  f.SetColumn(-5);
  EXPECT_EQ(f.GetColumn(), 2);
  f.SetColumn(-1);
  EXPECT_EQ(f.GetColumn(), -1);
}

}  // namespace
}  // namespace vslk64
