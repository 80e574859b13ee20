#include "filelib/orf/lookup_table.h"

#include <gtest/gtest.h>

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

TEST(Lookup, SequentialOffersAppendAndThinAt2048) {
  const int n = 5000;
  CKelLookup t;
  for (int i = 0; i < 2048; ++i) t.Offer(ChainBlock(i, n));
  EXPECT_EQ(t.Used(), 2048);
  EXPECT_EQ(t.Capacity(), 2048);
  EXPECT_EQ(t.Stride(), 1);
  EXPECT_EQ(t.GapIndex(), -1);

  t.Offer(ChainBlock(2048, n));  // full: thinned to 1025, then appended
  EXPECT_EQ(t.Stride(), 2);
  EXPECT_EQ(t.Used(), 1026);
  EXPECT_EQ(t.Entry(0).addr, 1000);
  EXPECT_EQ(t.Entry(1).addr, 1020);          // every second block kept
  EXPECT_EQ(t.Entry(1024).addr, 1000 + 10 * 2047);  // and the last
  EXPECT_EQ(t.Entry(1025).addr, 1000 + 10 * 2048);

  // With stride 2 consecutive blocks merge into the last entry in pairs.
  t.Offer(ChainBlock(2049, n));
  EXPECT_EQ(t.Used(), 1026);
  EXPECT_EQ(t.Entry(1025).addr, 1000 + 10 * 2049);
  t.Offer(ChainBlock(2050, n));
  EXPECT_EQ(t.Used(), 1027);

  for (int i = 2051; i < n; ++i) t.Offer(ChainBlock(i, n));
  EXPECT_LE(t.Used(), CKelLookup::kMaxEntries);
  EXPECT_EQ(t.Stride(), 4);
  for (int32_t i = 1; i < t.Used(); ++i) EXPECT_LT(t.Entry(i - 1).start, t.Entry(i).start);
}

TEST(Lookup, ThinningAFullTableWithoutGapKeeps1025) {
  CKelLookup t;
  const int32_t words[7] = {2048, 2048, 1, -1, 0, 0, 0};
  std::vector<TLookupEntry> entries;
  for (int i = 0; i < 2048; ++i) entries.push_back({1000 + 10 * i, 100 * i, 100 * i + 50});
  ASSERT_TRUE(t.Load(words, entries));
  // A block that does not follow the last entry opens a gap and forces room.
  t.Offer({900000, 777, -1, 100 * 3000, 100 * 3000 + 5});
  EXPECT_EQ(t.Stride(), 2);
  EXPECT_EQ(t.Used(), 1026);
  EXPECT_EQ(t.GapIndex(), 1024);
  EXPECT_EQ(t.Entry(1025).addr, 900000);
}

TEST(Lookup, ThinningKeepsBothEntriesAroundTheGap) {
  CKelLookup t;
  const int32_t words[7] = {2048, 2048, 1, 1000, 0, 0, 0};
  std::vector<TLookupEntry> entries;
  for (int i = 0; i < 2048; ++i) entries.push_back({1000 + 10 * i, 100 * i, 100 * i + 50});
  entries[1001].start = 100 * 1001 + 60;  // room between entries 1000 and 1001
  ASSERT_TRUE(t.Load(words, entries));
  // A block continuing entry 1000 into the gap: 1001 entries up to the gap
  // keep 501, the 1047 after it keep 524.
  t.Offer({5, entries[1000].addr, -1, 100 * 1000 + 55, 100 * 1000 + 56});
  EXPECT_EQ(t.Stride(), 2);
  EXPECT_EQ(t.GapIndex(), 501);
  EXPECT_EQ(t.Used(), 501 + 524 + 1);
  EXPECT_EQ(t.Entry(500).addr, entries[1000].addr);
  EXPECT_EQ(t.Entry(501).addr, 5);
  EXPECT_EQ(t.Entry(502).addr, entries[1001].addr);
  EXPECT_EQ(t.Entry(t.Used() - 1).addr, entries[2047].addr);
}

TEST(Lookup, ForwardWalkFillsTheGapAndClosesIt) {
  const int n = 6;
  CKelLookup t;
  t.Offer(ChainBlock(0, n));
  t.Offer(ChainBlock(5, n));
  EXPECT_EQ(t.GapIndex(), 0);
  for (int i = 1; i < 5; ++i) t.Offer(ChainBlock(i, n));
  EXPECT_EQ(Addrs(t), (std::vector<int32_t>{1000, 1010, 1020, 1030, 1040, 1050}));
  EXPECT_EQ(t.GapIndex(), -1);
}

TEST(Lookup, BackwardWalkInsertsBeforeTheLaterEntry) {
  const int n = 10;
  CKelLookup t;
  t.Offer(ChainBlock(0, n));
  t.Offer(ChainBlock(9, n));
  t.Offer(ChainBlock(8, n));  // leads into the last entry
  t.Offer(ChainBlock(7, n));  // leads into entry 1 (block 8)
  EXPECT_EQ(Addrs(t), (std::vector<int32_t>{1000, 1070, 1080, 1090}));
  EXPECT_EQ(t.GapIndex(), 0);
  t.Offer(ChainBlock(3, n));  // neither continues entry 0 nor leads into entry 1
  EXPECT_EQ(t.Used(), 4);
}

TEST(Lookup, MergingNeverReplacesTheFirstOrLastEntry) {
  const int n = 10;
  auto entry = [](const TLookupBlock& b) { return TLookupEntry{b.addr, b.start, b.end}; };
  CKelLookup t;
  const int32_t words[7] = {32, 2, 2, 0, 0, 0, 0};  // stride 2, gap after entry 0
  ASSERT_TRUE(t.Load(words, {entry(ChainBlock(0, n)), entry(ChainBlock(9, n))}));
  t.Offer(ChainBlock(1, n));  // continues entry 0: inserted, entry 0 stays
  t.Offer(ChainBlock(8, n));  // leads into the last entry: inserted, the last stays
  EXPECT_EQ(Addrs(t), (std::vector<int32_t>{1000, 1010, 1080, 1090}));
  t.Offer(ChainBlock(7, n));  // an inner entry takes the block's place
  EXPECT_EQ(Addrs(t), (std::vector<int32_t>{1000, 1010, 1070, 1090}));
  t.Offer(ChainBlock(6, n));  // the stride's second block gets an entry
  EXPECT_EQ(Addrs(t), (std::vector<int32_t>{1000, 1010, 1060, 1070, 1090}));
}

TEST(Lookup, BlocksAtOrBeforeKnownStartsAreIgnored) {
  const int n = 4;
  CKelLookup t;
  for (int i = 0; i < n; ++i) t.Offer(ChainBlock(i, n));
  t.Offer(ChainBlock(2, n));
  t.Offer(ChainBlock(1, n));
  EXPECT_EQ(t.Used(), 4);
}

TEST(Lookup, LocateFindsTheLastEntryStartingAtOrBeforeT) {
  const int n = 40;
  CKelLookup t;
  for (int i = 0; i < n; ++i) t.Offer(ChainBlock(i, n));
  EXPECT_EQ(t.Locate(-5), -1);
  EXPECT_EQ(t.Locate(0), 0);
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(t.Locate(100 * i + 25), i);
    EXPECT_EQ(t.Locate(100 * i + 75), i);  // between blocks: the one before
  }
  EXPECT_EQ(t.Locate(1000000), n - 1);
  EXPECT_EQ(CKelLookup().Locate(5), -1);
}

TEST(Lookup, ControlValidity) {
  auto valid = [](int32_t cap, int32_t used, int32_t stride, int32_t gap, uint32_t blocks) {
    const int32_t w[7] = {cap, used, stride, gap, 0, 0, 0};
    return LookupControlValid(w, blocks);
  };
  EXPECT_TRUE(valid(128, 64, 1, -1, 64));
  EXPECT_TRUE(valid(2048, 2048, 8, 2047, 100000));
  EXPECT_FALSE(valid(128, 63, 1, -1, 64));      // too few entries to be worth saving
  EXPECT_FALSE(valid(96, 64, 1, -1, 64));       // capacity not a power of two
  EXPECT_FALSE(valid(4096, 64, 1, -1, 64));     // beyond the table's limit
  EXPECT_FALSE(valid(64, 65, 1, -1, 100));      // more used than allocated
  EXPECT_FALSE(valid(128, 64, 3, -1, 64));      // stride
  EXPECT_FALSE(valid(128, 64, 1, 64, 64));      // gap beyond the entries
  EXPECT_FALSE(valid(128, 64, 1, -2, 64));
  EXPECT_FALSE(valid(128, 70, 1, -1, 69));      // more entries than blocks
}

TEST(Lookup, ChecksumSumsUsedWordsNotEntries) {
  const int32_t w[7] = {128, 2, 1, -1, 0, 0, 0};
  const std::vector<TLookupEntry> e = {{10, 20, 30}, {40, 50, 60}};
  // Two words of the entry array (10 and 20) and the control words.
  EXPECT_EQ(LookupChecksum(w, e), 10u + 20u + 128u + 2u + 1u - 1u);
}

}  // namespace
}  // namespace vslk64
