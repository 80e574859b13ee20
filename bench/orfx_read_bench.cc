// Reading a large 64-bit format waveform through the common interface,
// against raw sequential reads of the same file, with a warm cache.
//
// The file holds one 16-bit waveform channel of 512 MiB of blocks (8192
// blocks of 32752 samples in one run) and its two-level index.
// Figures: every sample read by ReadWaveS and by ReadWaveF in 32000-sample
// calls, each against a raw sequential read of the whole file in 64 KiB
// pieces (target for ReadWaveS: at most 1.5 times its time); and 10,000
// ReadWaveS calls of 1000 samples at random times (target: at least 50,000
// calls per second).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/raw_read.h"
#include "bench/temp_folder.h"
#include "filelib/kel64_file.h"
#include "filelib/status.h"
#include "platform/file.h"

namespace {

using Clock = std::chrono::steady_clock;
using vslk64::TSTime64;

constexpr int kBlocks = 8192;
constexpr int kSamplesPerBlock = 32752;
constexpr int64_t kDivide = 2;
constexpr int kSeqCall = 32000;
constexpr int kRandomCalls = 10000;
constexpr int kRandomSamples = 1000;
constexpr int kRuns = 3;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

int16_t SampleAt(int64_t i) { return static_cast<int16_t>(i * 7 + i / 1000); }

// Writes the file through the library's writer in calls of a block's worth
// of samples, one run throughout, so the blocks lie contiguous but for the
// index blocks the writer places among them. Returns the file's length, or
// -1.
int64_t BuildFile(const std::string& path) {
  std::unique_ptr<vslk64::CKel64File> file = vslk64::NewKel64File();
  // One unit per step, so floats read back as the samples.
  if (file->Create(path.c_str(), 32, 0) != vslk64::kOk ||
      file->SetWaveChan(0, kDivide, vslk64::Adc, 0, 0) != vslk64::kOk ||
      file->SetChanScale(0, 6553.6) != vslk64::kOk) {
    return -1;
  }
  bool ok = true;
  std::vector<int16_t> samples(kSamplesPerBlock);
  for (int b = 0; ok && b < kBlocks; ++b) {
    const int64_t first = static_cast<int64_t>(b) * kSamplesPerBlock;
    for (int i = 0; i < kSamplesPerBlock; ++i) samples[static_cast<size_t>(i)] = SampleAt(first + i);
    const TSTime64 t = first * kDivide;
    ok = file->WriteWaveS(0, samples.data(), kSamplesPerBlock, t) == t + kSamplesPerBlock * kDivide;
  }
  ok = file->Commit(0) == vslk64::kOk && ok;
  ok = file->Close() == vslk64::kOk && ok;
  if (!ok) return -1;
  auto in = platform::NativeFiles().Open(path.c_str(), platform::Access::kRead,
                                         platform::Disposition::kOpenExisting,
                                         platform::Share::kReaders);
  return in ? in->Length() : -1;
}

// Every sample in 32000-sample calls, each continuing after the last; checks
// the samples too (outside the timing it would cost a second pass).
template <typename T, typename Read>
double WavePass(const std::string& path, Read read, int64_t* got, int64_t* bad) {
  std::unique_ptr<vslk64::CKel64File> k = vslk64::NewKel64File();
  if (k->Open(path.c_str(), 1, 0) != 0) return -1;
  std::vector<T> buf(kSeqCall);
  *got = 0;
  const auto t0 = Clock::now();
  for (;;) {
    TSTime64 first = 0;
    const int n = read(*k, buf.data(), *got * kDivide, &first);
    if (n <= 0) break;
    if (first != *got * kDivide || buf[0] != static_cast<T>(SampleAt(*got)) ||
        buf[static_cast<size_t>(n) - 1] != static_cast<T>(SampleAt(*got + n - 1))) {
      ++*bad;
    }
    *got += n;
  }
  return Seconds(t0, Clock::now());
}

double RandomPass(const std::string& path, int64_t total, unsigned seed, int* bad) {
  std::unique_ptr<vslk64::CKel64File> k = vslk64::NewKel64File();
  if (k->Open(path.c_str(), 1, 0) != 0) return -1;
  std::mt19937_64 rng(seed);
  std::vector<int16_t> buf(kRandomSamples);
  const auto t0 = Clock::now();
  for (int i = 0; i < kRandomCalls; ++i) {
    const int64_t at = static_cast<int64_t>(rng() % static_cast<uint64_t>(total - kRandomSamples));
    TSTime64 first = 0;
    const int n = k->ReadWaveS(0, buf.data(), kRandomSamples, at * kDivide, vslk64::kMaxTime64,
                               &first, nullptr);
    if (n != kRandomSamples || first != at * kDivide || buf[999] != SampleAt(at + 999)) ++*bad;
  }
  return kRandomCalls / Seconds(t0, Clock::now());
}

}  // namespace

int main() {
  bench::TempFolder dir;
  const std::string path = dir.File("bench.orfx");
  const int64_t length = BuildFile(path);
  if (length < 0) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  const int64_t total = static_cast<int64_t>(kBlocks) * kSamplesPerBlock;
  std::printf("file: %.1f MiB, %lld samples in %d blocks\n", length / 1048576.0,
              static_cast<long long>(total), kBlocks);

  bench::RawPass(path, 1 << 20);  // warm the cache
  double raw = 1e9, shorts = 1e9, floats = 1e9;
  int64_t bad = 0;
  for (int r = 0; r < kRuns; ++r) {
    raw = std::min(raw, bench::RawPass(path, 65536));
    int64_t got = 0;
    shorts = std::min(shorts, WavePass<int16_t>(
                                  path,
                                  [](vslk64::CKel64File& k, int16_t* b, TSTime64 t, TSTime64* first) {
                                    return k.ReadWaveS(0, b, kSeqCall, t, vslk64::kMaxTime64, first,
                                                       nullptr);
                                  },
                                  &got, &bad));
    if (got != total) bad += 1000000;
    floats = std::min(floats, WavePass<float>(
                                  path,
                                  [](vslk64::CKel64File& k, float* b, TSTime64 t, TSTime64* first) {
                                    return k.ReadWaveF(0, b, kSeqCall, t, vslk64::kMaxTime64, first,
                                                       nullptr);
                                  },
                                  &got, &bad));
    if (got != total) bad += 1000000;
  }
  if (bad != 0) {
    std::fprintf(stderr, "sequential reads returned wrong samples (%lld)\n", static_cast<long long>(bad));
    return 1;
  }
  std::printf("raw sequential pread in 64 KiB pieces: %.3f s (%.0f MiB/s)\n", raw,
              length / 1048576.0 / raw);
  std::printf("(a) ReadWaveS, %d-sample calls: %.3f s; (a)/(c) = %.2f, target at most 1.5: %s\n",
              kSeqCall, shorts, shorts / raw, shorts / raw <= 1.5 ? "met" : "NOT MET");
  std::printf("(b) ReadWaveF, %d-sample calls: %.3f s; (b)/(c) = %.2f\n", kSeqCall, floats,
              floats / raw);

  double best = 0;
  int wrong = 0;
  for (int r = 0; r < kRuns; ++r) best = std::max(best, RandomPass(path, total, 1234 + r, &wrong));
  if (wrong != 0) {
    std::fprintf(stderr, "%d random reads returned the wrong samples\n", wrong);
    return 1;
  }
  std::printf("random %d-sample ReadWaveS: %.0f calls/s (best of %d runs of %d); target at least "
              "50000: %s\n",
              kRandomSamples, best, kRuns, kRandomCalls, best >= 50000 ? "met" : "NOT MET");
  return 0;
}
