// Stored samples straight to doubles, for the whole-recording waveform reads
// of both formats (ReadWaveD). A 16-bit sample s becomes the float of
// s * factor + offset worked out in double precision, then widened: exactly
// the value the float reads give, widened, and nothing more precise. The
// loops are built for wider vector units too where the processor has them;
// the arithmetic is the same multiply, add and rounding on every path.
#pragma once

#include <cstdint>

namespace vslk64 {

// A stored 16-bit sample s of a scaled channel stands for
// s * scale / kStepsPerUnit + offset: full scale (32768 steps) is five units.
constexpr double kStepsPerUnit = 6553.6;
constexpr double kUnitsPerStep = 1.0 / kStepsPerUnit;
static_assert(kUnitsPerStep == 0.000152587890625, "one step is exactly 5 / 32768 units");

// n little-endian 16-bit samples, packed, from in.
void ShortsToDoubles(double* out, const uint8_t* in, uint64_t n, double factor, double offset);

// n little-endian 32-bit float samples, packed, from in.
void FloatsToDoubles(double* out, const uint8_t* in, uint64_t n);

}  // namespace vslk64
