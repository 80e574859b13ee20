// Several threads reading one open file at once must see exactly what a
// single reader sees: channels share the file's handle and locks, and the
// readers of one channel share its cursor and read block.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "filelib/status.h"
#include "tests/orfx/chan_file_util.h"
#include "tests/orfx/recorder.h"

namespace vslk64 {
namespace {

using namespace chantest;  // NOLINT
using testing_support::TempDir;

// One channel of each kind the recorder helpers write, the waveforms in
// stretches with gaps between them, the events over more than 255 blocks
// so that their index has two levels.
constexpr uint16_t kChans = 5;

std::unique_ptr<CKel64File> MixedFile(const TempDir& dir) {
  std::unique_ptr<CKel64File> f = NewKel64File();
  EXPECT_EQ(f->Create(dir.File("mixed.orfx").c_str(), 32, 0), kOk);
  const std::vector<TSTime64> events = Times(1, 3, 256 * 8190 + 100);
  EXPECT_EQ(MakeChannel(*f, 0, EventA), kOk);
  EXPECT_EQ(f->WriteEvents(0, events.data(), events.size()), kOk);
  for (uint16_t c = 1; c < kChans; ++c) {
    EXPECT_EQ(MakeChannel(*f, c, kAllKinds[c].kind), kOk);
    for (int k = 0; k < 20; ++k) {
      std::vector<Item> items;
      for (uint32_t i = 0; i < 3000u + 500 * (k % 3); ++i) {
        items.push_back({100000 * k + (kAllKinds[c].wave ? kWaveDivide : 7) * i, i * 7 + k, true});
      }
      EXPECT_GE(WriteItems(*f, c, kAllKinds[c], items), 0);
    }
  }
  EXPECT_EQ(f->Close(), kOk);
  return OpenFile(dir.File("mixed.orfx"), 1);
}

// Everything a reader gets from one channel, as one sequence of numbers:
// reads at scattered times and backward searches.
std::vector<int64_t> ReadAll(CKel64File& f, uint16_t chan) {
  std::vector<int64_t> log;
  std::mt19937_64 rng(chan);
  const uint64_t end = static_cast<uint64_t>(f.ChanMaxTime(chan)) + 1;
  for (int i = 0; i < 30; ++i) {
    const TSTime64 t = static_cast<TSTime64>(rng() % end);
    for (const Item& it : ReadItems(f, chan, kAllKinds[chan], t, t + 30000, 300)) {
      log.insert(log.end(), {it.time, it.value});
    }
    log.push_back(f.PrevNTime(chan, t, 0, 1 + static_cast<uint32_t>(rng() % 5000), nullptr, false));
  }
  return log;
}

TEST(Concurrency, FourThreadsReadAllChannelsAsOneDoes) {
  TempDir dir;
  auto f = MixedFile(dir);
  std::vector<std::vector<int64_t>> want;
  for (uint16_t c = 0; c < kChans; ++c) {
    want.push_back(ReadAll(*f, c));
    // Every number logged is a time, a value or -1 (nothing found).
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
        const uint16_t c =
            static_cast<uint16_t>(round < kChans ? (t + round) % kChans : round % kChans);
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
    int bad = 0;
    for (int64_t e = 0, k = 0; e < kEvents || k < kSamples;) {
      // A call may not begin at the time the last one ended with.
      const int64_t n = std::min<int64_t>(1 + e % 97 + ((e + 1 + e % 97) % 7 == 3), kEvents - e);
      t.clear();
      for (int64_t i = e; i < e + n; ++i) t.push_back(eventTime(i));
      bad += n > 0 && f->WriteEvents(0, t.data(), t.size()) != kOk;
      e += n;
      const int64_t m = std::min<int64_t>(1 + k % 1500, kSamples - k);
      s.clear();
      for (int64_t i = k; i < k + m; ++i) s.push_back(sample(i));
      bad += m > 0 && f->WriteWaveS(1, s.data(), static_cast<uint64_t>(m), 4 * k) != 4 * (k + m);
      k += m;
    }
    faults += bad;
    done = true;
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      std::vector<int64_t> got(kEvents + 1);
      std::vector<int16_t> wave(kSamples + 1);
      int bad = 0;
      for (bool last = false; !last;) {
        last = done;  // one more round after the writer has finished
        const int n = f->ReadEvents(0, got.data(), kEvents + 1, 0, kMaxTime64, nullptr);
        for (int i = 0; i < n; ++i) bad += got[i] != eventTime(i);
        bad += n < 0 || (last && n != kEvents);
        TSTime64 first = -1;
        const int m =
            f->ReadWaveS(1, wave.data(), kSamples + 1, 4 * r, kMaxTime64, &first, nullptr);
        for (int i = 0; i < m; ++i) bad += wave[i] != sample(r + i);
        bad += m < 0 || (m > 0 && first != 4 * r) || (last && m != kSamples - r);
        // Back from the end: a time that was written (or none yet).
        const TSTime64 back = f->PrevNTime(0, kMaxTime64, 0, 10, nullptr, false);
        bad += back != -1 && (back < 5 || (back - 5) % 3 != 0);
        const TSTime64 wb = f->PrevNTime(1, kMaxTime64, 0, 100, nullptr, false);
        bad += wb != -1 && (wb < 0 || wb % 4 != 0);
      }
      faults += bad;
    });
  }
  writer.join();
  for (auto& th : readers) th.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(f->Close(), kOk);
}

}  // namespace
}  // namespace vslk64
