// Writing ORF files through TKel32File against raw sequential writes of the
// same bytes, both into a fresh file through the platform seam.
//
// (a) 256 MiB of 16-bit samples on one waveform channel, WriteWaveS in calls
//     of 10,000 samples, then Commit(0) and Close;
// (b) 256 MiB of event times as stored (64 Mi 32-bit times) on one event
//     channel, WriteEvents in calls of 10,000 times, then Commit(0) and
//     Close;
// each against raw passes that write the same bytes in 32 KiB pieces (the
// blocks TKel32File's channels use, so the same transfers the library
// makes) and in 64 KiB pieces (as the ORFX benchmark does). Close
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
#include "filelib/orf/kel32_file.h"
#include "filelib/status.h"
#include "platform/file.h"

namespace {

using vslk64::TSTime64;

constexpr uint64_t kBytes = uint64_t{256} << 20;
constexpr uint64_t kPerCall = 10000;
constexpr uint32_t kBlockPiece = 32768;
constexpr uint32_t kWidePiece = 65536;
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
  std::unique_ptr<vslk64::CKel64File> f = std::make_unique<vslk64::TKel32File>(-1);
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
  Pass bestBlock{1e9, 1e9}, bestWide{1e9, 1e9}, bestLib{1e9, 1e9};
  auto keep = [](Pass* best, const Pass& p) {
    *best = {std::min(best->written, p.written), std::min(best->closed, p.closed)};
  };
  for (int r = 0; r < kRuns; ++r) {
    const Pass a = raw(kBlockPiece), b = library(), w = raw(kWidePiece);
    if (a.closed < 0 || b.closed < 0 || w.closed < 0) {
      std::fprintf(stderr, "%s: a pass failed\n", what);
      std::exit(1);
    }
    keep(&bestBlock, a);
    keep(&bestWide, w);
    keep(&bestLib, b);
  }
  const double mib = static_cast<double>(kBytes) / 1048576.0;
  std::printf("%s\n", what);
  for (const auto& [name, raw] : {std::make_pair("raw 32 KiB pwrite + Flush", bestBlock),
                                  std::make_pair("raw 64 KiB pwrite + Flush", bestWide)}) {
    std::printf("  %s: %.3f s (%.0f MiB/s); writes alone %.3f s (%.0f MiB/s)\n", name, raw.closed,
                mib / raw.closed, raw.written, mib / raw.written);
  }
  std::printf("  library to Close:          %.3f s (%.0f MiB/s); to Commit %.3f s (%.0f MiB/s)\n",
              bestLib.closed, mib / bestLib.closed, bestLib.written, mib / bestLib.written);
  const double ratio = bestBlock.closed / bestLib.closed;
  std::printf("  throughput / raw 32 KiB: %.2f with the flush, %.2f without; target at least %.1f: %s\n",
              ratio, bestBlock.written / bestLib.written, kTarget, ratio >= kTarget ? "met" : "NOT MET");
  std::printf("  throughput / raw 64 KiB: %.2f with the flush, %.2f without\n",
              bestWide.closed / bestLib.closed, bestWide.written / bestLib.written);
}

// Reads back the last items of the channel, so a pass that stored less
// than it was given cannot pass for a fast one.
bool Check(const std::string& path, TSTime64 lastTime, int64_t chanBytes) {
  std::unique_ptr<vslk64::CKel64File> f = vslk64::NewKel32File();
  if (f->Open(path.c_str(), 1, 0) != vslk64::kOk) return false;
  return f->ChanMaxTime(0) == lastTime && f->ChanBytes(0) >= chanBytes;
}

}  // namespace

int main() {
  bench::TempFolder dir;
  const std::string rawPath = dir.File("raw.bin"), libPath = dir.File("lib.orf");
  constexpr TSTime64 kDivide = 1;

  {
    const uint64_t count = kBytes / sizeof(int16_t);
    std::vector<int16_t> samples(count);
    for (uint64_t i = 0; i < count; ++i) samples[i] = static_cast<int16_t>(i * 7 + i / 1000);
    Compare(
        "(a) 16-bit samples, WriteWaveS in calls of 10,000",
        [&](uint32_t piece) { return bench::RawWritePass(rawPath, samples.data(), kBytes, piece); },
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
    // The file stores 4-byte times; the caller hands over 8-byte ones.
    const uint64_t count = kBytes / sizeof(int32_t);
    std::vector<TSTime64> times(count);
    std::vector<int32_t> stored(count);
    for (uint64_t i = 0; i < count; ++i) {
      times[i] = static_cast<TSTime64>(i * 3 + (i % 7 == 0));
      stored[i] = static_cast<int32_t>(times[i]);
    }
    Compare(
        "(b) event times, WriteEvents in calls of 10,000",
        [&](uint32_t piece) { return bench::RawWritePass(rawPath, stored.data(), kBytes, piece); },
        [&] {
          return LibraryPass(
              libPath, count,
              [](vslk64::CKel64File& f) { return f.SetEventChan(0, 0, vslk64::EventA, 0); },
              [&](vslk64::CKel64File& f, uint64_t from, uint64_t n) {
                return f.WriteEvents(0, times.data() + from, n) == vslk64::kOk;
              });
        });
    if (!Check(libPath, times.back(), static_cast<int64_t>(kBytes) * 9 / 10)) {
      std::fprintf(stderr, "the event file does not hold every time\n");
      return 1;
    }
  }
  return 0;
}
