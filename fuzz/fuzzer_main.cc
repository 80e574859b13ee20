// libFuzzer's entry point for one target, chosen at build time
// (NSV_FUZZ_TARGET, one of the names in find_target.cc).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/targets.h"

namespace {
nsv_fuzz::Target g_target = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_target = nsv_fuzz::FindTarget(NSV_FUZZ_TARGET);
  if (g_target == nullptr) {
    std::fprintf(stderr, "no fuzz target named %s\n", NSV_FUZZ_TARGET);
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_target(data, size);
  return 0;
}
