// The raw baseline every benchmark measures itself against: one sequential
// pass over a whole file in fixed-size positioned reads, through the same
// platform file seam the library uses.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"

namespace bench {

// Seconds for one pass over the file in `chunk`-byte reads; -1 when the file
// cannot be opened or read.
inline double RawPass(const std::string& path, uint32_t chunk) {
  auto f = platform::NativeFiles().Open(path.c_str(), platform::Access::kRead,
                                        platform::Disposition::kOpenExisting,
                                        platform::Share::kReaders);
  if (!f) return -1;
  const int64_t length = f->Length();
  std::vector<char> buf(chunk);
  const auto t0 = std::chrono::steady_clock::now();
  for (int64_t pos = 0; pos < length; pos += chunk) {
    const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(chunk, length - pos));
    if (platform::ReadFully(*f, buf.data(), n, pos) != platform::TransferResult::kOk) return -1;
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace bench
