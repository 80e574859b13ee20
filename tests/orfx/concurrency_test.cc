// Several threads reading one open file at once must see exactly what a
// single reader sees: channels share the file's handle and locks, and the
// readers of one channel share its cursor and read block.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <memory>
#include <vector>

#include "filelib/status.h"
#include "tests/orfx/chan_file_util.h"

namespace vslk64 {
namespace {

using namespace chantest;  // NOLINT
using testing_support::TempDir;

// One channel of each layout; the event channel needs a two-level index.
ChannelFile MixedFile() {
  ChannelFile file;
  std::vector<Bytes> adc, real, events, markers, marks;
  for (int k = 0; k < 40; ++k) {
    orfxtest::ShortRun a{100000 * k, std::vector<int16_t>(3000 + 500 * (k % 3))};
    for (size_t i = 0; i < a.samples.size(); ++i) a.samples[i] = static_cast<int16_t>(k * 7 + i);
    // Every fourth block continues the one before; the others leave a gap.
    if (k % 4 == 1) a.start = 100000 * (k - 1) + 2 * static_cast<int64_t>(3000 + 500 * ((k - 1) % 3));
    adc.push_back(orfxtest::AdcBlock(0, {a}));
    orfxtest::FloatRun r{10000 * k, std::vector<float>(2000, static_cast<float>(k) / 3)};
    real.push_back(orfxtest::RealWaveBlock(1, {r}));
    file.AddForeignBlocks(1);
  }
  for (int k = 0; k < 300; ++k) events.push_back(orfxtest::EventBlock(2, Times(1000 * k, 7, 100)));
  for (int k = 0; k < 20; ++k) {
    std::vector<orfxtest::MarkerItem> m;
    for (int i = 0; i < 50; ++i) m.push_back(Mark(1000 * k + 3 * i, static_cast<uint8_t>(i % 5)));
    markers.push_back(orfxtest::MarkerBlock(3, m));
  }
  const ChanFields wm = Fields(WaveMark, 2, 16, 2);
  for (int k = 0; k < 10; ++k) {
    std::vector<orfxtest::ExtMarkItem> items;
    for (int i = 0; i < 40; ++i) {
      orfxtest::ExtMarkItem e;
      e.time = 10000 * k + 32 * i;
      e.code[0] = static_cast<uint8_t>(i % 3);
      std::vector<std::vector<int16_t>> traces(2, std::vector<int16_t>(16, static_cast<int16_t>(i + k)));
      e.payload = orfxtest::WaveMarkPayload(traces);
      items.push_back(e);
    }
    marks.push_back(orfxtest::ExtMarkBlock(4, wm.itemSize, items));
  }
  file.AddChannel(0, Fields(Adc, 2), adc);
  file.AddChannel(1, Fields(RealWave, 3), real);
  file.AddChannel(2, Fields(EventA), events);
  file.AddChannel(3, Fields(Marker), markers);
  file.AddChannel(4, wm, marks);
  return file;
}

// Everything a reader gets from one channel, as one sequence of numbers:
// a scan in pieces, reads at scattered times and backward searches.
std::vector<int64_t> ReadAll(CKel64File& f, uint16_t chan) {
  std::vector<int64_t> log;
  const TDataKind kind = f.ChanKind(chan);
  const TSTime64 end = f.ChanMaxTime(chan);
  std::mt19937_64 rng(chan);
  const bool wave = kind == Adc || kind == RealWave || kind == WaveMark;
  if (wave) {
    const TSTime64 divide = kind == WaveMark ? 2 : f.ChanDivide(chan);
    std::vector<int16_t> s(1000);
    std::vector<float> v(777);
    for (TSTime64 t = 0;;) {
      TSTime64 first = 0;
      const int n = f.ReadWaveS(chan, s.data(), 1000, t, kMaxTime64, &first, nullptr);
      log.push_back(n);
      if (n <= 0) break;
      log.push_back(first);
      log.insert(log.end(), s.begin(), s.begin() + n);
      t = first + n * divide;
    }
    for (int i = 0; i < 30; ++i) {
      TSTime64 first = 0;
      const TSTime64 t = static_cast<TSTime64>(rng() % static_cast<uint64_t>(end + 1));
      const int n = f.ReadWaveF(chan, v.data(), 777, t, kMaxTime64, &first, nullptr);
      log.push_back(n);
      for (int k = 0; k < n; ++k) log.push_back(static_cast<int64_t>(v[static_cast<size_t>(k)] * 1000));
      log.push_back(f.PrevNTime(chan, t, 0, 1 + static_cast<uint32_t>(rng() % 5000), nullptr,
                                kind == WaveMark));
    }
  }
  if (kind != Adc && kind != RealWave) {
    std::vector<TSTime64> t(500);
    for (TSTime64 from = 0;;) {
      const int n = f.ReadEvents(chan, t.data(), 500, from, kMaxTime64, nullptr);
      log.push_back(n);
      if (n <= 0) break;
      log.insert(log.end(), t.begin(), t.begin() + n);
      from = t[static_cast<size_t>(n) - 1] + 1;
    }
    std::vector<TMarker> m(300);
    for (int i = 0; i < 30; ++i) {
      const TSTime64 at = static_cast<TSTime64>(rng() % static_cast<uint64_t>(end + 1));
      if (kind == EventA) {
        const int n = f.ReadEvents(chan, t.data(), 300, at, kMaxTime64, nullptr);
        log.push_back(n);
        log.insert(log.end(), t.begin(), t.begin() + std::max(n, 0));
      } else {
        const int n = f.ReadMarkers(chan, m.data(), 300, at, kMaxTime64, nullptr);
        log.push_back(n);
        for (int k = 0; k < n; ++k) {
          log.push_back(m[static_cast<size_t>(k)].time * 256 + m[static_cast<size_t>(k)].code[0]);
        }
      }
      log.push_back(f.PrevNTime(chan, at, 0, 1 + static_cast<uint32_t>(rng() % 3000), nullptr, false));
    }
  }
  return log;
}

TEST(Concurrency, FourThreadsReadAllChannelsAsOneDoes) {
  TempDir dir;
  auto f = OpenBuilt(MixedFile(), dir);
  constexpr uint16_t kChans = 5;
  std::vector<std::vector<int64_t>> want;
  for (uint16_t c = 0; c < kChans; ++c) {
    want.push_back(ReadAll(*f, c));
    // Every number logged is a count, time, sample or -1 (nothing found).
    ASSERT_GT(want.back().size(), 1000u) << c;
    ASSERT_GE(*std::min_element(want.back().begin(), want.back().end()), -1);
  }
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      // Each thread visits the channels in its own order, so that at times
      // all four read one channel and at times four different ones.
      // The channels' properties change meanwhile (a read-only file keeps
      // them for the session): no lock may wait on a reader.
      for (int round = 0; round < 2 * kChans; ++round) {
        char title[32];
        f->SetChanTitle(static_cast<uint16_t>(round % kChans), round % 2 ? "odd" : "even");
        f->GetChanTitle(static_cast<uint16_t>(t), sizeof title, title);
        f->SetFileComment(t, "comment");
        f->MaxTime(true);
        const uint16_t c = static_cast<uint16_t>(round < kChans ? (t + round) % kChans : round % kChans);
        if (ReadAll(*f, c) != want[c]) ++mismatches;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// A recording in progress: one thread writes a buffered event channel and a
// buffered waveform channel while three read them and search back from their
// end. The writer's items move out of the small buffers to the disk all the
// while; every read must give a prefix of what is being written, in order.
TEST(Concurrency, ReadersOfABufferedChannelSeePrefixesOfTheWrites) {
  TempDir dir;
  std::unique_ptr<CKel64File> f = NewKel64File();
  ASSERT_EQ(f->Create(dir.File("live.orfx").c_str(), 32, 0), kOk);
  ASSERT_EQ(f->SetEventChan(0, 1000, EventA, 0), kOk);
  ASSERT_EQ(f->SetWaveChan(1, 4, Adc, 0, 0), kOk);
  f->SetBuffering(0, 500 * 8, 0.0);
  f->SetBuffering(1, 2000 * 2, 0.0);
  constexpr int kEvents = 60000, kSamples = 200000;
  const auto eventTime = [](int64_t i) { return 5 + 3 * i - (i % 7 == 3 ? 3 : 0); };
  const auto sample = [](int64_t i) { return static_cast<int16_t>(i * 31); };
  std::atomic<bool> done{false};
  std::atomic<int> faults{0};
  std::thread writer([&] {
    std::vector<int64_t> t;
    std::vector<int16_t> s;
    int64_t e = 0, k = 0;
    while (e < kEvents || k < kSamples) {
      const int64_t n = 1 + e % 97;
      t.clear();
      for (int64_t i = e; i < std::min<int64_t>(e + n, kEvents); ++i) t.push_back(eventTime(i));
      // A call may not begin at the time the last one ended with.
      while (e + static_cast<int64_t>(t.size()) < kEvents &&
             eventTime(e + static_cast<int64_t>(t.size())) == t.back()) {
        t.push_back(t.back());
      }
      if (!t.empty() && f->WriteEvents(0, t.data(), t.size()) != kOk) ++faults;
      e += static_cast<int64_t>(t.size());
      const int64_t m = std::min<int64_t>(1 + k % 1500, kSamples - k);
      s.clear();
      for (int64_t i = k; i < k + m; ++i) s.push_back(sample(i));
      if (m > 0 && f->WriteWaveS(1, s.data(), static_cast<uint64_t>(m), 4 * k) != 4 * (k + m)) {
        ++faults;
      }
      k += m;
    }
    done = true;
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      std::vector<int64_t> got(kEvents + 1);
      std::vector<int16_t> wave(kSamples + 1);
      bool last = false;
      while (!last) {
        last = done;  // one more round after the writer has finished
        const int n = f->ReadEvents(0, got.data(), kEvents + 1, 0, kMaxTime64, nullptr);
        for (int i = 0; i < n; ++i) {
          if (got[i] != eventTime(i)) {
            ++faults;
            break;
          }
        }
        if (n < 0 || (last && n != kEvents)) ++faults;
        TSTime64 first = -1;
        const int m = f->ReadWaveS(1, wave.data(), kSamples + 1, 4 * r, kMaxTime64, &first,
                                   nullptr);
        for (int i = 0; i < m; ++i) {
          if (wave[i] != sample(r + i)) {
            ++faults;
            break;
          }
        }
        if (m < 0 || (m > 0 && first != 4 * r) || (last && m != kSamples - r)) ++faults;
        // Back from the end: a time that was written (or none yet).
        const TSTime64 back = f->PrevNTime(0, kMaxTime64, 0, 10, nullptr, false);
        if (back != -1 && (back < 5 || (back - 5) % 3 != 0)) ++faults;
        const TSTime64 wb = f->PrevNTime(1, kMaxTime64, 0, 100, nullptr, false);
        if (wb != -1 && (wb < 0 || wb % 4 != 0)) ++faults;
      }
    });
  }
  writer.join();
  for (auto& th : readers) th.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(f->Close(), kOk);
}

}  // namespace
}  // namespace vslk64
