// What TKel32File's sources (kel32_file.cc, kel32_data.cc) share to turn
// common-interface values into the ORF library's: its time limits and its
// filter.
#pragma once

#include <cstdint>

#include "filelib/kel64_types.h"
#include "filelib/mark_filter.h"
#include "filelib/orf/kel_lib.h"
#include "filelib/orf/orf_format.h"

namespace vslk64 {

constexpr TSTime64 kTime32Limit = TSTime64(1) << 31;  // first time the format cannot hold
using orf::kMaxTime32;

// The ORF filter for a common filter; null stays null.
inline const TKelFilter* ToOrfFilter(const CMarkFilter* filter, TKelFilter* out) {
  if (filter == nullptr) return nullptr;
  for (int l = 0; l < 4; ++l) filter->GetMask(l, out->layers[l]);
  out->mode = filter->GetMode() != 0 ? kKelFilterAnyCode : 0;
  out->column = filter->GetColumn();
  return out;
}

}  // namespace vslk64
