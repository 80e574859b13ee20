// Buffered recording against the unbuffered write path, in one run.
//
// (a) 512 MiB of 16-bit samples on one waveform channel (100 kHz), WriteWaveS
//     in calls of 10,000 samples with saving on throughout, Commit and Close:
//     a channel with a buffer of 10 s against the same channel without one.
//     Target: the buffered throughput is at least 0.8 of the unbuffered.
// (b) A read of the newest 10 s of that recording while the buffer holds its
//     newest 5 s, so that the read spans disk and buffer, against the same
//     read once everything is on disk. Target: at most twice the time.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/temp_folder.h"
#include "filelib/kel64_file.h"
#include "filelib/status.h"
#include "platform/file.h"

namespace {

using Clock = std::chrono::steady_clock;
using vslk64::TSTime64;

constexpr uint64_t kBytes = uint64_t{512} << 20;
constexpr uint64_t kCount = kBytes / sizeof(int16_t);
constexpr uint64_t kPerCall = 10000;
constexpr TSTime64 kDivide = 10;  // 100 kHz at the default 1 µs tick
constexpr uint64_t kRate = 100000;
constexpr int kRuns = 3;
constexpr int kReads = 20;
constexpr double kWriteTarget = 0.8;
constexpr double kReadTarget = 2.0;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

void Empty(const std::string& path) {
  auto f = platform::Files().Open(path.c_str(), platform::Access::kReadWrite,
                                  platform::Disposition::kCreateAlways, platform::Share::kNone);
  if (f) f->Truncate(0);
}

// Writes the recording with a buffer of bufferSamples (0: none) and returns
// the seconds to Close, or -1. Before closing, `atEnd` may look at the file.
template <class AtEnd>
double Record(const std::string& path, const std::vector<int16_t>& samples, uint64_t bufferSamples,
              AtEnd atEnd) {
  Empty(path);
  const auto t0 = Clock::now();
  std::unique_ptr<vslk64::CKel64File> f = vslk64::NewKel64File();
  if (f->Create(path.c_str(), 32, 0) != vslk64::kOk ||
      f->SetWaveChan(0, kDivide, vslk64::Adc, 0, 0) != vslk64::kOk) {
    return -1;
  }
  if (bufferSamples != 0) f->SetBuffering(0, bufferSamples * sizeof(int16_t), 0.0);
  for (uint64_t from = 0; from < kCount; from += kPerCall) {
    const uint64_t n = std::min(kPerCall, kCount - from);
    const TSTime64 t = static_cast<TSTime64>(from) * kDivide;
    if (f->WriteWaveS(0, samples.data() + from, n, t) != t + static_cast<TSTime64>(n) * kDivide) {
      return -1;
    }
  }
  atEnd(*f);
  if (f->Close() != vslk64::kOk) return -1;
  const double s = Seconds(t0, Clock::now());
  // Everything reached the file.
  f = vslk64::NewKel64File();
  if (f->Open(path.c_str(), 1, 0) != vslk64::kOk ||
      f->ChanMaxTime(0) != static_cast<TSTime64>(kCount - 1) * kDivide) {
    return -1;
  }
  return s;
}

// Best time of kReads reads of the newest 10 s; -1 when a read falls short.
double ReadNewest(vslk64::CKel64File& f, const std::vector<int16_t>& samples) {
  const uint64_t n = 10 * kRate;
  std::vector<int16_t> out(n);
  const TSTime64 end = static_cast<TSTime64>(kCount) * kDivide;
  const TSTime64 from = end - static_cast<TSTime64>(n) * kDivide;
  double best = 1e9;
  for (int r = 0; r < kReads; ++r) {
    TSTime64 first = -1;
    const auto t0 = Clock::now();
    const int got = f.ReadWaveS(0, out.data(), static_cast<int>(n), from, end, &first, nullptr);
    best = std::min(best, Seconds(t0, Clock::now()));
    if (got != static_cast<int>(n) || first != from ||
        !std::equal(out.begin(), out.end(), samples.end() - static_cast<std::ptrdiff_t>(n))) {
      return -1;
    }
  }
  return best;
}

}  // namespace

int main() {
  bench::TempFolder dir;
  const std::string path = dir.File("rec.orfx");
  std::vector<int16_t> samples(kCount);
  for (uint64_t i = 0; i < kCount; ++i) samples[i] = static_cast<int16_t>(i * 7 + i / 1000);

  double plain = 1e9, buffered = 1e9, merged = -1, disk = -1;
  for (int r = 0; r < kRuns; ++r) {
    const double a = Record(path, samples, 0, [](vslk64::CKel64File&) {});
    const double b = Record(path, samples, 10 * kRate, [](vslk64::CKel64File&) {});
    if (a < 0 || b < 0) {
      std::fprintf(stderr, "a write pass failed\n");
      return 1;
    }
    plain = std::min(plain, a);
    buffered = std::min(buffered, b);
  }
  // A buffer of 5 s: at the end it holds about the newest 5 s, and the
  // newest 10 s lie half on disk, half in the buffer.
  if (Record(path, samples, 5 * kRate, [&](vslk64::CKel64File& f) {
        merged = ReadNewest(f, samples);
        f.SetBuffering(0, 0, 0.0);  // written out: the same data on disk alone
        disk = ReadNewest(f, samples);
      }) < 0 ||
      merged < 0 || disk < 0) {
    std::fprintf(stderr, "the read pass failed\n");
    return 1;
  }
  const double mib = static_cast<double>(kBytes) / 1048576.0;
  const double writeRatio = plain / buffered;
  std::printf("(a) 16-bit samples, WriteWaveS in calls of 10,000, saving on, to Close\n");
  std::printf("  unbuffered: %.3f s (%.0f MiB/s)\n", plain, mib / plain);
  std::printf("  buffered (10 s): %.3f s (%.0f MiB/s)\n", buffered, mib / buffered);
  std::printf("  buffered / unbuffered throughput: %.2f; target at least %.1f: %s\n", writeRatio,
              kWriteTarget, writeRatio >= kWriteTarget ? "met" : "NOT MET");
  const double readRatio = merged / disk;
  std::printf("(b) read of the newest 10 s (1,000,000 samples)\n");
  std::printf("  spanning disk and buffer: %.2f ms; disk alone: %.2f ms\n", merged * 1e3,
              disk * 1e3);
  std::printf("  time / disk alone: %.2f; target at most %.1f: %s\n", readRatio, kReadTarget,
              readRatio <= kReadTarget ? "met" : "NOT MET");
  return 0;
}
