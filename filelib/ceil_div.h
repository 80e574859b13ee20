// CeilDiv: the number of whole steps of d needed to cover a, i.e. the first
// sample index at or after a time offset. Both formats' waveform reads use it,
// ORF on signed 32-bit time differences (which may be zero or negative), ORFX
// on unsigned 64-bit spans. Inline: it sits on the analog read path.
#pragma once

#include <type_traits>

namespace vslk64 {

template <class T>
struct TSameType {
  using type = T;
};

// ceil(a / d) for d >= 1, exact for every a of T (no a + d - 1 that could
// overflow); for a <= 0 it is the quotient truncated toward zero. The divisor
// takes a's type, so a call's signedness is that of the quantity divided.
template <class T>
inline T CeilDiv(T a, typename TSameType<T>::type d) {
  static_assert(std::is_integral<T>::value, "CeilDiv divides integers");
  return a / d + (a % d > 0 ? 1 : 0);
}

}  // namespace vslk64
