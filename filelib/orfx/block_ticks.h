// Tick arithmetic on values read from a file, for the block classes
// (data_block.cc, wave_block.cc): the results stay inside the 64-bit range
// instead of overflowing. For the data of a validated block they are exact.
#pragma once

#include <cstdint>
#include <limits>

#include "filelib/ceil_div.h"
#include "filelib/kel64_types.h"

namespace vslk64 {
namespace block_ticks {

constexpr TSTime64 kTimeMax = std::numeric_limits<TSTime64>::max();
constexpr TSTime64 kTimeMin = std::numeric_limits<TSTime64>::min();

inline TSTime64 AddSat(TSTime64 a, TSTime64 b) {
  if (b > 0 && a > kTimeMax - b) return kTimeMax;
  if (b < 0 && a < kTimeMin - b) return kTimeMin;
  return a + b;
}
inline TSTime64 SubSat(TSTime64 a, TSTime64 b) {
  if (b > 0 && a < kTimeMin + b) return kTimeMin;
  if (b < 0 && a > kTimeMax + b) return kTimeMax;
  return a - b;
}
// n * d for d >= 1.
inline TSTime64 MulSat(uint64_t n, TSTime64 d) {
  if (n == 0) return 0;
  if (n > static_cast<uint64_t>(kTimeMax / d)) return kTimeMax;
  return static_cast<TSTime64>(n) * d;
}
// hi - lo for hi >= lo; always representable unsigned.
inline uint64_t Span(TSTime64 hi, TSTime64 lo) {
  return static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo);
}

}  // namespace block_ticks
}  // namespace vslk64
