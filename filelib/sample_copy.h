// Copying runs of stored samples out to a caller's buffer, for the waveform
// reads of both formats. Samples are stored little-endian: on a
// little-endian host a run is already in host order and moves with one block
// copy; elsewhere each sample is decoded. Inline: the analog reads call these
// once per run.
#pragma once

#include <cstdint>
#include <cstring>

#include "filelib/le.h"

namespace vslk64 {

constexpr bool kLittleEndianHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Samples are stored byte-wise: a float read lends the upper half of its
// float buffer to them (CKel64Chan::ReadWaveF), so no int16_t lvalue may touch
// that storage.
inline void StoreSample(int16_t* out, int16_t v) { std::memcpy(out, &v, sizeof v); }

// n packed 16-bit samples from in.
inline void CopySamples(int16_t* out, const uint8_t* in, uint64_t n) {
  if (n == 0) return;  // in may be null then
  if (kLittleEndianHost) {
    std::memcpy(out, in, n * sizeof *out);
  } else {
    for (uint64_t i = 0; i < n; ++i) StoreSample(out + i, le::GetI16(in + 2 * i));
  }
}

// n packed 32-bit float samples from in.
inline void CopySamples(float* out, const uint8_t* in, uint64_t n) {
  if (n == 0) return;
  if (kLittleEndianHost) {
    std::memcpy(out, in, n * sizeof *out);
  } else {
    for (uint64_t i = 0; i < n; ++i) out[i] = le::GetF32(in + 4 * i);
  }
}

}  // namespace vslk64
