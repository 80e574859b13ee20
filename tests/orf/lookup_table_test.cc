#include "filelib/orf/lookup_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace vslk64 {
namespace {

// Block i of a chain at address 1000 + 10 i, times [100 i, 100 i + 50].
TLookupBlock ChainBlock(int i, int n) {
  auto addr = [](int k) { return 1000 + 10 * k; };
  return {addr(i), i == 0 ? -1 : addr(i - 1), i + 1 == n ? -1 : addr(i + 1), 100 * i, 100 * i + 50};
}

std::vector<int32_t> Addrs(const CKelLookup& t) {
  std::vector<int32_t> v;
  for (int32_t i = 0; i < t.Used(); ++i) v.push_back(t.Entry(i).addr);
  return v;
}

// A loaded, full table of 2048 chain entries with the given gap index.
std::vector<TLookupEntry> LoadFull(CKelLookup* t, int32_t gap, bool roomAfterGap) {
  const int32_t words[7] = {2048, 2048, 1, gap, 0, 0, 0};
  std::vector<TLookupEntry> entries;
  for (int i = 0; i < 2048; ++i) entries.push_back({1000 + 10 * i, 100 * i, 100 * i + 50});
  if (roomAfterGap) entries[static_cast<size_t>(gap) + 1].start += 60;
  EXPECT_TRUE(t->Load(words, entries));
  return entries;
}

TEST(Lookup, SequentialOffersAppendAndThinAt2048) {
  const int n = 5000;
  CKelLookup t;
  for (int i = 0; i < 2048; ++i) t.Offer(ChainBlock(i, n));
  EXPECT_EQ(t.Stride(), 1);
  t.Offer(ChainBlock(2048, n));  // full: thinned to 1025, then appended
  EXPECT_EQ(t.Stride(), 2);
  EXPECT_EQ(t.Used(), 1026);
  EXPECT_EQ(t.Entry(1).addr, 1020);                 // every second block kept
  EXPECT_EQ(t.Entry(1024).addr, 1000 + 10 * 2047);  // and the last
  // With stride 2 consecutive blocks merge into the last entry in pairs.
  t.Offer(ChainBlock(2049, n));
  EXPECT_EQ(t.Used(), 1026);
  EXPECT_EQ(t.Entry(1025).addr, 1000 + 10 * 2049);
  t.Offer(ChainBlock(2050, n));
  EXPECT_EQ(t.Used(), 1027);
  for (int i = 2051; i < n; ++i) t.Offer(ChainBlock(i, n));
  EXPECT_EQ(t.Stride(), 4);
}

TEST(Lookup, ThinningAroundAGap) {
  {
    SCOPED_TRACE("no gap: a block that does not follow the last entry opens one");
    CKelLookup t;
    LoadFull(&t, -1, false);
    t.Offer({900000, 777, -1, 100 * 3000, 100 * 3000 + 5});
    EXPECT_EQ(t.Stride(), 2);
    EXPECT_EQ(t.Used(), 1026);
    EXPECT_EQ(t.GapIndex(), 1024);
    EXPECT_EQ(t.Entry(1025).addr, 900000);
  }
  {
    SCOPED_TRACE("gap after entry 1000: both entries around it are kept");
    CKelLookup t;
    const std::vector<TLookupEntry> e = LoadFull(&t, 1000, true);
    // 1001 entries up to the gap keep 501, the 1047 after it keep 524.
    t.Offer({5, e[1000].addr, -1, 100 * 1000 + 55, 100 * 1000 + 56});
    EXPECT_EQ(t.Stride(), 2);
    EXPECT_EQ(t.GapIndex(), 501);
    EXPECT_EQ(t.Used(), 501 + 524 + 1);
    EXPECT_EQ(t.Entry(500).addr, e[1000].addr);
    EXPECT_EQ(t.Entry(501).addr, 5);
    EXPECT_EQ(t.Entry(502).addr, e[1001].addr);
    EXPECT_EQ(t.Entry(t.Used() - 1).addr, e[2047].addr);
  }
}

// Walks from either side of a gap: a block that continues the entry before
// it or leads into the entry after it is taken (merged into an inner entry
// while the stride's run lasts, never into the first or last), others are
// ignored, and the gap closes when the two sides meet.
TEST(Lookup, WalksFromEitherSideFillTheGap) {
  const struct {
    bool loaded;  // entries 0 and 9 loaded with stride 2, else nothing
    int n;        // blocks in the chain
    std::vector<int> offers;
    std::vector<int32_t> addrs;
    int32_t gap;
  } cases[] = {
      {false, 6, {0, 5}, {1000, 1050}, 0},
      {false, 6, {0, 5, 5}, {1000, 1050}, 0},  // the last block read again
      {false, 6, {0, 5, 1, 2, 3, 4}, {1000, 1010, 1020, 1030, 1040, 1050}, -1},
      {false, 6, {0, 5, 1, 2, 3, 4, 2}, {1000, 1010, 1020, 1030, 1040, 1050}, -1},
      {false, 10, {0, 9, 8, 7}, {1000, 1070, 1080, 1090}, 0},
      {false, 10, {0, 9, 8, 7, 3}, {1000, 1070, 1080, 1090}, 0},
      {true, 10, {1, 8}, {1000, 1010, 1080, 1090}, 1},
      {true, 10, {1, 8, 7}, {1000, 1010, 1070, 1090}, 1},
      {true, 10, {1, 8, 7, 6}, {1000, 1010, 1060, 1070, 1090}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.offers));
    CKelLookup t;
    if (c.loaded) {
      const int32_t words[7] = {32, 2, 2, 0, 0, 0, 0};
      ASSERT_TRUE(t.Load(words, {{1000, 0, 50}, {1090, 900, 950}}));
    }
    for (int i : c.offers) t.Offer(ChainBlock(i, c.n));
    EXPECT_EQ(Addrs(t), c.addrs);
    EXPECT_EQ(t.GapIndex(), c.gap);
  }
}

TEST(Lookup, SavedControlWordsAreValidatedAndSummed) {
  auto valid = [](int32_t cap, int32_t used, int32_t stride, int32_t gap, uint32_t blocks) {
    const int32_t w[7] = {cap, used, stride, gap, 0, 0, 0};
    return LookupControlValid(w, blocks);
  };
  EXPECT_TRUE(valid(128, 64, 1, -1, 64));
  EXPECT_TRUE(valid(2048, 2048, 8, 2047, 100000));
  EXPECT_FALSE(valid(128, 63, 1, -1, 64));   // too few entries to be worth saving
  EXPECT_FALSE(valid(96, 64, 1, -1, 64));    // capacity not a power of two
  EXPECT_FALSE(valid(4096, 64, 1, -1, 64));  // beyond the table's limit
  EXPECT_FALSE(valid(64, 65, 1, -1, 100));   // more used than allocated
  EXPECT_FALSE(valid(128, 64, 3, -1, 64));   // stride
  EXPECT_FALSE(valid(128, 64, 1, 64, 64));   // gap beyond the entries
  EXPECT_FALSE(valid(128, 64, 1, -2, 64));
  EXPECT_FALSE(valid(128, 70, 1, -1, 69));  // more entries than blocks
  // A run counter is below the stride (each is reset on reaching it).
  for (int k = 4; k < 7; ++k) {
    int32_t w[7] = {128, 64, 8, -1, 0, 0, 0};
    w[k] = 7;
    EXPECT_TRUE(LookupControlValid(w, 64)) << k;
    for (int32_t bad : {8, -1, INT32_MAX}) {
      w[k] = bad;
      EXPECT_FALSE(LookupControlValid(w, 64)) << k << " " << bad;
    }
  }

  // The checksum covers `used` words of the entry array (10 and 20), not
  // `used` entries, and the control words.
  const int32_t w[7] = {128, 2, 1, -1, 0, 0, 0};
  EXPECT_EQ(LookupChecksum(w, {{10, 20, 30}, {40, 50, 60}}), 10u + 20u + 128u + 2u + 1u - 1u);
}

}  // namespace
}  // namespace vslk64
