// Writing through the common interface against raw sequential writes of the
// same number of bytes, both into a fresh file through the platform seam.
//
// (a) 512 MiB of 16-bit samples on one waveform channel, WriteWaveS in calls
//     of 10,000 samples, then Commit(0) and Close;
// (b) 512 MiB of event times on one event channel, WriteEvents in calls of
//     10,000 times, then Commit(0) and Close;
// each against a raw pass that writes the same bytes in 64 KiB pieces. Close
// flushes the file to the disk, so the raw pass ends with Flush too; the
// figures up to Commit are shown beside the raw pass without its Flush.
// Target: throughput at least 0.7 of the raw pass's.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/raw_write.h"
#include "bench/temp_folder.h"
#include "filelib/kel64_file.h"
#include "filelib/status.h"
#include "platform/file.h"

namespace {

using vslk64::TSTime64;

constexpr uint64_t kBytes = uint64_t{512} << 20;
constexpr uint64_t kPerCall = 10000;
constexpr uint32_t kRawPiece = 65536;
constexpr int kRuns = 3;
constexpr double kTarget = 0.7;

using bench::Clock;
using bench::Seconds;
using Pass = bench::WritePass;

// Creates a file with one channel made by `make`, calls `write(file, from,
// n)` for successive pieces of `count` items, commits and closes.
template <class Make, class Write>
Pass LibraryPass(const std::string& path, uint64_t count, Make make, Write write) {
  bench::EmptyFile(path);
  Pass p;
  const auto t0 = Clock::now();
  std::unique_ptr<vslk64::CKel64File> f = vslk64::NewKel64File();
  if (f->Create(path.c_str(), 32, 0) != vslk64::kOk || make(*f) != vslk64::kOk) return p;
  for (uint64_t from = 0; from < count; from += kPerCall) {
    if (!write(*f, from, std::min(kPerCall, count - from))) return p;
  }
  if (f->Commit(0) != vslk64::kOk) return p;
  const auto t1 = Clock::now();
  if (f->Close() != vslk64::kOk) return p;
  const auto t2 = Clock::now();
  p.written = Seconds(t0, t1);
  p.closed = Seconds(t0, t2);
  return p;
}

// Best of kRuns alternating runs of each pass.
template <class Raw, class Library>
void Compare(const char* what, Raw raw, Library library) {
  Pass bestRaw{1e9, 1e9}, bestLib{1e9, 1e9};
  for (int r = 0; r < kRuns; ++r) {
    const Pass a = raw(), b = library();
    if (a.closed < 0 || b.closed < 0) {
      std::fprintf(stderr, "%s: a pass failed\n", what);
      std::exit(1);
    }
    bestRaw = {std::min(bestRaw.written, a.written), std::min(bestRaw.closed, a.closed)};
    bestLib = {std::min(bestLib.written, b.written), std::min(bestLib.closed, b.closed)};
  }
  const double mib = static_cast<double>(kBytes) / 1048576.0;
  std::printf("%s\n", what);
  std::printf("  raw 64 KiB pwrite + Flush: %.3f s (%.0f MiB/s); writes alone %.3f s (%.0f MiB/s)\n",
              bestRaw.closed, mib / bestRaw.closed, bestRaw.written, mib / bestRaw.written);
  std::printf("  library to Close:          %.3f s (%.0f MiB/s); to Commit %.3f s (%.0f MiB/s)\n",
              bestLib.closed, mib / bestLib.closed, bestLib.written, mib / bestLib.written);
  const double ratio = bestRaw.closed / bestLib.closed;
  std::printf("  throughput / raw: %.2f with the flush, %.2f without; target at least %.1f: %s\n",
              ratio, bestRaw.written / bestLib.written, kTarget, ratio >= kTarget ? "met" : "NOT MET");
}

// Reads back the last items of the channel, so a pass that stored less
// than it was given cannot pass for a fast one.
bool Check(const std::string& path, TSTime64 lastTime, int64_t chanBytes) {
  std::unique_ptr<vslk64::CKel64File> f = vslk64::NewKel64File();
  if (f->Open(path.c_str(), 1, 0) != vslk64::kOk) return false;
  return f->ChanMaxTime(0) == lastTime && f->ChanBytes(0) >= chanBytes;
}

}  // namespace

int main() {
  bench::TempFolder dir;
  const std::string rawPath = dir.File("raw.bin"), libPath = dir.File("lib.orfx");
  constexpr TSTime64 kDivide = 1;

  {
    const uint64_t count = kBytes / sizeof(int16_t);
    std::vector<int16_t> samples(count);
    for (uint64_t i = 0; i < count; ++i) samples[i] = static_cast<int16_t>(i * 7 + i / 1000);
    Compare(
        "(a) 16-bit samples, WriteWaveS in calls of 10,000",
        [&] { return bench::RawWritePass(rawPath, samples.data(), kBytes, kRawPiece); },
        [&] {
          return LibraryPass(
              libPath, count,
              [](vslk64::CKel64File& f) { return f.SetWaveChan(0, kDivide, vslk64::Adc, 0, 0); },
              [&](vslk64::CKel64File& f, uint64_t from, uint64_t n) {
                const TSTime64 t = static_cast<TSTime64>(from) * kDivide;
                return f.WriteWaveS(0, samples.data() + from, n, t) ==
                       t + static_cast<TSTime64>(n) * kDivide;
              });
        });
    if (!Check(libPath, static_cast<TSTime64>(count - 1) * kDivide, static_cast<int64_t>(kBytes))) {
      std::fprintf(stderr, "the waveform file does not hold every sample\n");
      return 1;
    }
  }
  {
    const uint64_t count = kBytes / sizeof(TSTime64);
    std::vector<TSTime64> times(count);
    for (uint64_t i = 0; i < count; ++i) times[i] = static_cast<TSTime64>(i * 3 + (i % 7 == 0));
    Compare(
        "(b) event times, WriteEvents in calls of 10,000",
        [&] { return bench::RawWritePass(rawPath, times.data(), kBytes, kRawPiece); },
        [&] {
          return LibraryPass(
              libPath, count,
              [](vslk64::CKel64File& f) { return f.SetEventChan(0, 0, vslk64::EventA, 0); },
              [&](vslk64::CKel64File& f, uint64_t from, uint64_t n) {
                return f.WriteEvents(0, times.data() + from, n) == vslk64::kOk;
              });
        });
    if (!Check(libPath, times.back(), static_cast<int64_t>(kBytes))) {
      std::fprintf(stderr, "the event file does not hold every time\n");
      return 1;
    }
  }
  return 0;
}
