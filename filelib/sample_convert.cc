#include "filelib/sample_convert.h"

#include "filelib/le.h"

// Where the toolchain can pick a version by processor at load time, an AVX2
// one doubles the values converted per instruction. AVX2 alone brings no
// fused multiply-add, so the product is rounded before the sum as everywhere.
// Not under ThreadSanitizer: the loader calls the version picker before the
// sanitizer's run time is ready, and the instrumented picker crashes.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(__SANITIZE_THREAD__)
#define VSL_SAMPLE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VSL_SAMPLE_CLONES
#endif

namespace vslk64 {

VSL_SAMPLE_CLONES
void ShortsToDoubles(double* out, const uint8_t* in, uint64_t n, double factor, double offset) {
  for (uint64_t i = 0; i < n; ++i) {
    out[i] = static_cast<float>(le::GetI16(in + 2 * i) * factor + offset);
  }
}

VSL_SAMPLE_CLONES
void FloatsToDoubles(double* out, const uint8_t* in, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) out[i] = le::GetF32(in + 4 * i);
}

}  // namespace vslk64
