// The arithmetic both formats share: CeilDiv on signed and unsigned
// quantities and PartitionPoint, each against a plain model.
#include "filelib/ceil_div.h"
#include "filelib/partition.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace vslk64 {
namespace {

// The smallest q with q * d >= a, found by stepping.
int64_t CeilModel(int64_t a, int64_t d) {
  int64_t q = a / d - 2;
  while (q * d < a) ++q;
  return q;
}

TEST(SharedRules, CeilDivMatchesTheCeilingOnBothSignedness) {
  for (int64_t d : {1, 2, 3, 7, 100}) {
    for (int64_t a = -250; a <= 250; ++a) {
      EXPECT_EQ(CeilDiv(a, d), CeilModel(a, d)) << a << " / " << d;
      if (a >= 0) {
        EXPECT_EQ(CeilDiv(static_cast<uint64_t>(a), static_cast<uint64_t>(d)),
                  static_cast<uint64_t>(CeilModel(a, d)));
      }
    }
  }
  // No a + d - 1 that could wrap at the top of the range.
  EXPECT_EQ(CeilDiv(UINT64_MAX, uint64_t{2}), UINT64_MAX / 2 + 1);
  EXPECT_EQ(CeilDiv(INT64_MAX, int64_t{2}), INT64_MAX / 2 + 1);
}

TEST(SharedRules, PartitionPointMatchesTheStandardOne) {
  std::mt19937 rng(16);
  for (int round = 0; round < 200; ++round) {
    std::vector<int> v(rng() % 20);
    for (int& x : v) x = static_cast<int>(rng() % 10);
    std::sort(v.begin(), v.end());
    const int t = static_cast<int>(rng() % 12) - 1;
    const auto before = [&](size_t i) { return v[i] < t; };
    const size_t want = static_cast<size_t>(
        std::partition_point(v.begin(), v.end(), [&](int x) { return x < t; }) - v.begin());
    EXPECT_EQ(PartitionPoint(size_t{0}, v.size(), before), want);
  }
}

}  // namespace
}  // namespace vslk64
