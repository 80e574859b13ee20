// PartitionPoint: the one bisection every time-ordered lookup of both formats
// uses (items of a block, entries of an index block, a circular buffer, a
// caller's sorted items). Inline: the reads call it once per block.
#pragma once

namespace vslk64 {

// The first position p in [lo, hi) at which before(p) is false, or hi when it
// holds everywhere. `before` must hold for a prefix of the range and for
// nothing after it, as "the item's time is before t" does for ascending times.
template <class Index, class Before>
inline Index PartitionPoint(Index lo, Index hi, Before before) {
  while (lo < hi) {
    const Index mid = lo + (hi - lo) / 2;
    if (before(mid)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

}  // namespace vslk64
