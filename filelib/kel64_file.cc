// The whole-recording reads of CKel64File as any implementation can serve
// them: through ReadWaveF and ReadWaveS. The formats replace both.
#include "filelib/kel64_file.h"

#include "filelib/corruption.h"

#include <algorithm>
#include <vector>

namespace vslk64 {
namespace {

// Samples per read of the walk below.
constexpr int kRunWalkSamples = 32768;

}  // namespace

int CKel64File::ReadWaveD(uint16_t chan, double* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                          TSTime64* tFirst) {
  if (max < 1) return 0;
  std::vector<float> values(static_cast<size_t>(max));
  const int n = ReadWaveF(chan, values.data(), max, tFrom, tUpto, tFirst, nullptr);
  for (int i = 0; i < n; ++i) data[i] = values[static_cast<size_t>(i)];
  return n;
}

// Reads from tFrom to the end of the data. A read that stops before its
// buffer is full stopped at a gap; one that filled it is continued by the
// next read when that starts at the very next sample time.
int CKel64File::ReadWaveRuns(uint16_t chan, TSTime64 tFrom, CWaveRunSink& sink) {
  const TSTime64 divide = std::max<TSTime64>(ChanDivide(chan), 1);
  std::vector<int16_t> samples(kRunWalkSamples);
  bool open = false;
  bool full = false;
  TSTime64 first = 0;
  uint64_t count = 0;
  TSTime64 next = 0;  // time of the sample after the open stretch
  TSTime64 from = tFrom;
  for (;;) {
    TSTime64 t = 0;
    const int n = ReadWaveS(chan, samples.data(), kRunWalkSamples, from, kMaxTime64, &t, nullptr);
    if (n < 0) return n;
    if (n == 0) break;
    // A read that went back before where it was asked to start would make
    // the walk go round in circles.
    if (n > kRunWalkSamples || t < from) return KEL_CORRUPT("n > kRunWalkSamples || t < from");
    if (open && full && t == next) {
      count += static_cast<uint64_t>(n);
    } else {
      if (open && !sink.Put(first, count)) return kOk;
      first = t;
      count = static_cast<uint64_t>(n);
      open = true;
    }
    full = n == kRunWalkSamples;
    TSTime64 span;
    if (__builtin_mul_overflow(static_cast<TSTime64>(n), divide, &span) ||
        __builtin_add_overflow(t, span, &next)) {
      break;  // nothing lies beyond the range of tick times
    }
    from = next;
  }
  if (open) sink.Put(first, count);
  return kOk;
}

}  // namespace vslk64
