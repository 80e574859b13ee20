// The fuzz targets by name, as the fuzzers and the regression suite name them.
#include <cstring>

#include "fuzz/targets.h"

namespace nsv_fuzz {

Target FindTarget(const char* name) {
  struct Named {
    const char* name;
    Target target;
  };
  static const Named kTargets[] = {
      {"ns_open_orfx", NsOpenOrfx}, {"ns_open_orf", NsOpenOrf},   {"kel64_read", Kel64Read},
      {"kel32_read", Kel32Read},    {"kel64_write", Kel64Write}, {"kel32_write", Kel32Write},
      {"string_table", StringTable}, {"lookup_table", LookupTable},
  };
  for (const Named& t : kTargets) {
    if (std::strcmp(t.name, name) == 0) return t.target;
  }
  return nullptr;
}

}  // namespace nsv_fuzz
