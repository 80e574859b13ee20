// The raw baseline of the write benchmarks: the same bytes written into a
// fresh file in fixed-size positioned writes through the platform file seam
// the library uses, then flushed, as Close flushes a recording.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/file.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Times of one write pass: to the end of the writes (a library's Commit
// included), and to the end of the flush or Close; -1 when it failed.
struct WritePass {
  double written = -1;
  double closed = -1;
};

// Empties a file left by an earlier pass, so that no pass pays for
// truncating another's hundreds of MiB.
inline void EmptyFile(const std::string& path) {
  auto f = platform::Files().Open(path.c_str(), platform::Access::kReadWrite,
                                  platform::Disposition::kCreateAlways, platform::Share::kNone);
  if (f) f->Truncate(0);
}

// Writes `bytes` of `data` into a fresh file at path in `piece`-byte writes,
// then flushes and closes it.
inline WritePass RawWritePass(const std::string& path, const void* data, uint64_t bytes,
                              uint32_t piece) {
  EmptyFile(path);
  WritePass p;
  const auto t0 = Clock::now();
  auto f = platform::Files().Open(path.c_str(), platform::Access::kReadWrite,
                                  platform::Disposition::kCreateAlways, platform::Share::kNone);
  if (!f) return p;
  const auto* at = static_cast<const uint8_t*>(data);
  for (uint64_t pos = 0; pos < bytes; pos += piece) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(piece, bytes - pos));
    if (platform::WriteFully(*f, at + pos, n, static_cast<int64_t>(pos)) !=
        platform::TransferResult::kOk) {
      return p;
    }
  }
  const auto t1 = Clock::now();
  if (!f->Flush()) return p;
  f.reset();
  const auto t2 = Clock::now();
  p.written = Seconds(t0, t1);
  p.closed = Seconds(t0, t2);
  return p;
}

}  // namespace bench
