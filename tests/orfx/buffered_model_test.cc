// Buffered channels against a model. A recording is driven with random, but
// seeded, steps: appends in time order (with runs of equal times, gaps and
// overwrites of the newest samples), save switches for times still to come,
// LatestTime, Commit and a buffer resize, with reads over random ranges and
// backward searches in between. The model knows every item written and the
// saving state of its time; it does not know which items the buffer still
// holds. A read must show every saved item, no unsaved item older than the
// oldest unsaved one it shows (those have left the buffer and so the file),
// every unsaved item newer than that, in time order and without repeats.
// After Close a read-only reopen must hold exactly the saved items. Cases
// the model does not draw follow it.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/le.h"
#include "filelib/status.h"
#include "tests/orfx/chan_file_util.h"
#include "tests/orfx/recorder.h"
#include "tests/support/temp_dir.h"

namespace vslk64 {
namespace {

using chantest::Item;
using chantest::Kind;
using chantest::Recorder;
constexpr uint16_t kChan = Recorder::kChan;

// The save list as a program sees it: switches only ever for times after
// everything written, so an item's state is settled when it is written.
class SaveModel {
 public:
  bool At(TSTime64 t) const {
    return (std::upper_bound(switches_.begin(), switches_.end(), t) - switches_.begin()) % 2 == 0;
  }
  void Save(TSTime64 t, bool on) {
    switches_.erase(std::lower_bound(switches_.begin(), switches_.end(), t), switches_.end());
    if (At(t) != on) switches_.push_back(t);
  }
  // Where saving stops or starts again in [from, upto).
  std::vector<TSTime64> List(TSTime64 from, TSTime64 upto) const {
    std::vector<TSTime64> out;
    if (!At(from)) out.push_back(from);
    for (TSTime64 s : switches_)
      if (s > from && s < upto) out.push_back(s);
    return out;
  }
  void SaveRange(TSTime64 a, TSTime64 b) {
    if (b <= a) return;  // an empty range changes nothing
    const bool after = At(b), before = At(a - 1);
    switches_.erase(std::lower_bound(switches_.begin(), switches_.end(), a),
                    std::upper_bound(switches_.begin(), switches_.end(), b));
    if (!before) switches_.insert(std::lower_bound(switches_.begin(), switches_.end(), a), a);
    if (!after) switches_.insert(std::lower_bound(switches_.begin(), switches_.end(), b), b);
  }

 private:
  std::vector<TSTime64> switches_;
};

// What a read may show of `all` restricted to [from, upto): the saved items
// and the unsaved ones from the oldest unsaved item shown on.
std::vector<Item> Visible(const std::vector<Item>& all, TSTime64 from, TSTime64 upto,
                          const std::vector<Item>& got) {
  // Items of one time share its state; a read knows only times.
  TSTime64 seam = kMaxTime64;
  for (const Item& g : got) {
    const auto it = std::lower_bound(all.begin(), all.end(), g.time,
                                     [](const Item& i, TSTime64 t) { return i.time < t; });
    if (it != all.end() && it->time == g.time && !it->saved) seam = std::min(seam, g.time);
  }
  // The buffer moves out its oldest items, which may split a run of equal
  // times: at the seam's time the read shows the newest of them.
  size_t gone = 0;
  for (const Item& i : all) gone += i.time == seam ? 1 : 0;
  for (const Item& g : got) gone -= g.time == seam ? 1 : 0;
  std::vector<Item> want;
  for (const Item& i : all) {
    if (i.time == seam && gone > 0)
      --gone;
    else if (i.time >= from && i.time < upto && (i.saved || i.time >= seam))
      want.push_back(i);
  }
  return want;
}

// The items of v from just before the first place where v and other differ.
std::string Show(const std::vector<Item>& v, const std::vector<Item>& other) {
  const size_t at = static_cast<size_t>(
      std::mismatch(v.begin(), v.end(), other.begin(), other.end()).first - v.begin());
  std::ostringstream s;
  s << "(" << v.size() << " items) ";
  for (size_t i = at > 3 ? at - 3 : 0; i < v.size() && i < at + 37; ++i)
    s << i << "@" << v[i].time << ":" << v[i].value << " ";
  return s.str();
}

void RunModel(const Kind& k, uint64_t capacity, uint32_t seed, int steps) {
  SCOPED_TRACE(::testing::Message() << k.name << " capacity " << capacity << " seed " << seed);
  testing_support::TempDir dir;
  const std::string path = dir.File("model.orfx");
  Recorder rec(k, path);
  rec.Create(capacity);
  if (::testing::Test::HasFatalFailure()) return;
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  SaveModel save;
  std::vector<Item> all;          // every item or sample written, in time order
  std::map<TSTime64, size_t> at;  // samples: time → index in all
  TSTime64 next = 10;             // the earliest time the next write may use
  uint32_t serial = 1;
  const TSTime64 d = k.wave ? Recorder::kDivide : 1;
  bool resized = false;

  for (int step = 0; step < steps; ++step) {
    const uint32_t what = pick(100);
    if (what < 60) {
      // An append: mostly a few items, at times a burst past the capacity.
      const uint32_t n =
          pick(10) == 0 ? 1 + pick(static_cast<uint32_t>(2 * capacity + 40)) : 1 + pick(6);
      std::vector<Item> items;
      TSTime64 t = next;
      if (k.wave) {
        const size_t back = pick(4);
        const TSTime64 from = all.empty() ? 0 : all.back().time - static_cast<TSTime64>(back) * d;
        if (all.size() > back && all[all.size() - 1 - back].time == from && pick(8) == 0) {
          // Overwrite the newest few samples of the stretch and go on past them.
          t = from;
        } else if (pick(6) == 0) {
          t = next + d * (1 + pick(4)) + (pick(2) == 0 ? 1 : 0);  // a gap, on or off the grid
        }
        for (uint32_t i = 0; i < n; ++i)
          items.push_back({t + static_cast<TSTime64>(i) * d, serial++ % 30000, true});
      } else {
        for (uint32_t i = 0; i < n; ++i) {
          items.push_back({t, k.kind == EventA ? 0 : serial++, true});
          if (pick(3) != 0) t += 1 + pick(3);  // else the next shares the time
        }
      }
      for (Item& i : items) i.saved = save.At(i.time);  // settled on writing
      resized = false;
      ASSERT_GE(rec.Write(items), 0) << "step " << step;
      // Saved items wait for a commit.
      EXPECT_TRUE(!items.back().saved || rec.File().IsModified()) << "step " << step;
      for (const Item& i : items) {
        auto it = at.find(i.time);
        if (k.wave && it != at.end()) {
          all[it->second].value = i.value;  // a replaced sample keeps its state
        } else {
          at[i.time] = all.size();
          all.push_back(i);
        }
      }
      next = std::max(next, items.back().time + d);  // a short overwrite ends inside
    } else if (what < 80) {
      if (what < 75) {  // a switch for a time still to come
        const TSTime64 t = next + pick(30);
        const bool on = pick(2) == 0;
        save.Save(t, on);
        rec.File().Save(kChan, t, on);
      } else {
        const TSTime64 a = next + pick(20), b = pick(8) == 0 ? a - pick(3) : a + 1 + pick(40);
        save.SaveRange(a, b);
        rec.File().SaveRange(kChan, a, b);
      }
      // The list from here on names the switches still to come.
      std::vector<TSTime64> list(128);
      const std::vector<TSTime64> want = save.List(next, next + 100);
      list.resize(
          static_cast<size_t>(rec.File().NoSaveList(kChan, list.data(), 128, next, next + 100)));
      ASSERT_EQ(list, want) << "step " << step;
      EXPECT_EQ(rec.File().NoSaveList(kChan, nullptr, 0, next, next + 100),
                static_cast<int>(list.size()));
    } else if (what < 82) {
      // Nothing will come before t.
      const TSTime64 t = next + pick(10);
      rec.File().LatestTime(kChan, t);
      next = k.wave ? next + ((t - next + d - 1) / d) * d : t;
    } else if (what < 85) {
      ASSERT_EQ(rec.File().Commit(0), kOk);
      EXPECT_FALSE(rec.File().IsModified()) << "step " << step;
    } else if (what < 86 && step > steps / 2) {
      rec.Resize(capacity + 1 + pick(40));
      resized = true;
    } else if (what < 90 && !all.empty()) {
      // The backward search counts back over what a read shows, buffered
      // items first and then those on disk (over samples, see WavePrevN).
      std::vector<TSTime64> times;
      for (const Item& i :
           rec.Read(rec.File(), 0, kMaxTime64, k.wave ? 256 : static_cast<int>(all.size()) + 1))
        times.push_back(i.time);
      const auto any = [&] { return times[pick(static_cast<uint32_t>(times.size()))]; };
      const TSTime64 before = times.empty() ? next : any() + pick(2);
      const size_t below =
          static_cast<size_t>(std::lower_bound(times.begin(), times.end(), before) - times.begin());
      const uint32_t n = 1 + pick(pick(4) == 0 ? 2 * static_cast<uint32_t>(capacity) + 10 : 5);
      const TSTime64 earliest = times.empty() || pick(3) != 0 ? 0 : any();
      const TSTime64 want = k.wave ? chantest::WavePrevN(times, before, earliest, n, d)
                            : below >= n && times[below - n] >= earliest ? times[below - n]
                                                                         : -1;
      EXPECT_EQ(rec.File().PrevNTime(kChan, before, earliest, n, nullptr, false), want)
          << "step " << step << " from " << before << " back to " << earliest << " n " << n;
    } else if (what < 93 && !k.wave && k.kind != EventA && !all.empty()) {
      // An edit of a time changes the first item shown at it, buffered or
      // written out; with no item at the time, nothing.
      const std::vector<Item> seen =
          rec.Read(rec.File(), 0, kMaxTime64, static_cast<int>(all.size()) + 1);
      if (seen.empty()) continue;
      const auto byTime = [](const Item& a, const Item& b) { return a.time < b.time; };
      // Half of them among the newest, which the buffer still holds.
      const uint32_t size = static_cast<uint32_t>(seen.size());
      const uint32_t i =
          pick(2) == 0 ? pick(size)
                       : size - 1 - pick(std::min<uint32_t>(size, static_cast<uint32_t>(capacity)));
      Item first = *std::lower_bound(seen.begin(), seen.end(), seen[i], byTime);
      TMarker edit{};
      edit.code[0] = static_cast<uint8_t>(pick(256));
      const bool none =
          pick(4) == 0 && first.time + 1 < next &&
          !std::binary_search(seen.begin(), seen.end(), Item{first.time + 1, 0, true}, byTime);
      ASSERT_EQ(rec.File().EditMarker(kChan, first.time + (none ? 1 : 0), &edit, 9), none ? 0 : 1)
          << "step " << step;
      if (none) continue;
      const auto item = std::find(all.begin(), all.end(), first);
      ASSERT_NE(item, all.end()) << "step " << step;
      item->value = (item->value & ~0xFFu) | edit.code[0];
    } else {
      // A read over a random range, with a limit that may cut it.
      if (all.empty()) continue;
      const TSTime64 lo = all.front().time, hi = all.back().time + 1;
      TSTime64 from = lo + static_cast<TSTime64>(pick(static_cast<uint32_t>(hi - lo + 1)));
      TSTime64 upto = from + 1 + static_cast<TSTime64>(pick(static_cast<uint32_t>(hi - lo + 2)));
      if (pick(4) == 0) {
        from = 0;
        upto = kMaxTime64;
      }
      const int max = k.wave ? 256 : 1 + static_cast<int>(pick(200));
      const std::vector<Item> got = rec.Read(rec.File(), from, upto, max);
      std::vector<Item> want = Visible(all, from, upto, got);
      if (!k.wave && want.size() > static_cast<size_t>(max)) want.resize(static_cast<size_t>(max));
      ASSERT_TRUE(got == want) << "step " << step << " read [" << from << ", " << upto << ")\n got "
                               << Show(got, want) << "\nwant " << Show(want, got);
      // The newest item is always buffered, unless a resize emptied the
      // buffer or the newest run of equal times was too long for it.
      size_t run = 1;
      while (run < all.size() && all[all.size() - 1 - run].time == all.back().time) ++run;
      if (!resized && run < capacity) {
        EXPECT_EQ(rec.File().ChanMaxTime(kChan), all.back().time) << "step " << step;
      }
    }
  }
  // Everything saved reaches the file, and nothing else.
  rec.Close();
  std::unique_ptr<CKel64File> f = chantest::OpenFile(path, 1);
  std::vector<Item> saved;
  std::copy_if(all.begin(), all.end(), std::back_inserter(saved),
               [](const Item& i) { return i.saved; });
  const std::vector<Item> got =
      rec.Read(*f, 0, kMaxTime64, k.wave ? 64 : static_cast<int>(all.size()) + 1);
  ASSERT_TRUE(got == saved) << "got " << Show(got, saved) << "\nwant " << Show(saved, got);
}

TEST(BufferedModel, SavedStretchesAndOnlyThoseReachTheFile) {
  const Kind kinds[] = {{"events", EventA, false},
                        {"markers", Marker, false},
                        {"text marks", TextMark, false},
                        {"16-bit waveform", Adc, true},
                        {"float waveform", RealWave, true}};
  for (const Kind& k : kinds) {
    for (uint64_t capacity : {2u, 3u, 33u, 200u}) {
      RunModel(k, capacity, 1000 + static_cast<uint32_t>(capacity), 1000);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

// --- Cases the model does not draw ----------------------------------------------
// The buffer's size and the items it moves out, switches for one channel or
// all and for times already written, the switches LatestTime keeps, levels,
// searches at a channel's start and wave marks, runs of one time across
// blocks, and the walk over waveform runs of a file being written.

using chantest::Times;

class Recording : public ::testing::Test {
 protected:
  void SetUp() override {
    f_ = NewKel64File();
    ASSERT_EQ(f_->Create(dir_.File("r.orfx").c_str(), 32, 0), kOk);
    ASSERT_EQ(f_->SetEventChan(0, 100, EventA, 0), kOk);
    ASSERT_EQ(f_->SetWaveChan(2, 10, Adc, 0, 0), kOk);
    ASSERT_EQ(f_->SetLevelChan(3, 100, 0), kOk);
  }
  std::unique_ptr<CKel64File> Reopen() {
    EXPECT_EQ(f_->Close(), kOk);
    return chantest::OpenFile(dir_.File("r.orfx"), 1);
  }

  testing_support::TempDir dir_;
  std::unique_ptr<CKel64File> f_;
};

// A negative channel switches every channel, a channel number that one only.
// A buffer of 1000 holds 999; ten more move the oldest 31 (a 32nd of the
// capacity) out. With saving off they are gone.
TEST_F(Recording, AFullBufferMovesOutItsOldestChunk) {
  f_->SetBuffering(0, 1000 * 8, 0.0);
  f_->SetBuffering(3, 100 * 16, 0.0);
  f_->Save(-1, 0, false);
  EXPECT_FALSE(f_->IsSaving(3));
  f_->Save(3, 0, true);
  EXPECT_FALSE(f_->IsSaving(0));
  EXPECT_TRUE(f_->IsSaving(3));
  const std::vector<TSTime64> t = Times(100, 2, 1009);
  ASSERT_EQ(f_->Commit(0), kOk);
  ASSERT_EQ(f_->WriteEvents(0, t.data(), 999), kOk);
  EXPECT_EQ(chantest::ReadEvents(*f_, 0, 0, 2000).size(), 999u);
  EXPECT_FALSE(f_->IsModified());  // nothing buffered is to be kept
  ASSERT_EQ(f_->WriteEvents(0, t.data() + 999, 10), kOk);
  EXPECT_EQ(chantest::ReadEvents(*f_, 0, 0, 2000), std::vector<TSTime64>(t.begin() + 31, t.end()));
  EXPECT_TRUE(chantest::ReadEvents(*Reopen(), 0, 0, 2000).empty());
}

// A switch for a time the channel has already written acts after it; one at
// that time acts there. A saved range is raised the same way.
TEST_F(Recording, SavingNeverReachesBackOverWrittenData) {
  const TSTime64 t[] = {100, 200};  // 200 is the last written time
  for (uint16_t c : {4, 5, 6}) {
    ASSERT_EQ(f_->SetEventChan(c, 100, EventA, 0), kOk);
    f_->SetBuffering(c, 100 * 8, 0.0);
    ASSERT_EQ(f_->WriteEvents(c, t, 2), kOk);
    ASSERT_EQ(f_->Commit(0), kOk);
    f_->Save(c, 50 * (c - 1), false);  // at 150, 200, 250
    TSTime64 first = -1;
    EXPECT_EQ(f_->NoSaveList(c, &first, 1, 0, 1000), 1) << c;
    EXPECT_EQ(first, c == 4 ? 201 : 50 * (c - 1)) << c;
  }
  // Off from 250 on; then [150, 300) saved again: only the stop at 300 is left.
  f_->SaveRange(6, 150, 300);
  TSTime64 sw[4];
  ASSERT_EQ(f_->NoSaveList(6, sw, 4, 0, 1000), 1);
  EXPECT_EQ(sw[0], 300);
}

// LatestTime keeps the newest 100 switches after the buffered data, taking
// the oldest away in pairs so that the state after them stays.
TEST_F(Recording, LatestTimePrunesOldSwitchesInPairs) {
  f_->SetBuffering(0, 100 * 8, 0.0);
  const TSTime64 t[] = {10};
  ASSERT_EQ(f_->WriteEvents(0, t, 1), kOk);
  for (TSTime64 s = 100; s < 100 + 105; ++s) f_->Save(0, s, (s % 2) == 1);  // 105 switches
  const bool last = f_->IsSaving(0);
  for (const auto& c : {std::pair<TSTime64, int>{0, 105}, {150, 105}, {1000, 101}}) {
    if (c.first > 0) f_->LatestTime(0, c.first);  // up to 150: 50, not more than 101
    EXPECT_EQ(f_->NoSaveList(0, nullptr, 0, 11, 100000), c.second) << c.first;
  }
  EXPECT_EQ(f_->IsSaving(0), last);
}

// Level changes alternate from the initial low level, each call going on
// from the last change written (buffered or not); equal times cancel.
TEST_F(Recording, LevelsAlternateAndEqualTimesCancel) {
  ASSERT_EQ(f_->SetLevelChan(7, 100, 0), kOk);
  f_->SetBuffering(7, 100 * 16, 0.0);  // channel 3 writes straight through
  const TSTime64 a[] = {5, 5, 7, 20}, b[] = {30, 40, 40};
  for (uint16_t c : {3, 7}) {
    ASSERT_EQ(f_->WriteLevels(c, a, 4), kOk);
    ASSERT_EQ(f_->WriteLevels(c, b, 3), kOk);
  }
  const auto check = [](CKel64File& f) {
    for (uint16_t c : {3, 7}) {
      SCOPED_TRACE(c);
      std::vector<uint8_t> codes;
      EXPECT_EQ(chantest::MarkerTimes(f, c, 8, nullptr, &codes),
                (std::vector<TSTime64>{7, 20, 30}));
      EXPECT_EQ(codes, (std::vector<uint8_t>{1, 0, 1}));
      TSTime64 t[4];
      bool level = true;
      ASSERT_EQ(f.ReadLevels(c, t, 4, 8, kMaxTime64, &level), 2);
      EXPECT_FALSE(level);  // the change at 20 falls
      EXPECT_EQ(t[0], 20);
    }
  };
  check(*f_);
  check(*Reopen());
}

// Samples need tick times, buffered or not. Unbuffered, in the write block
// alone, a search back from inside the first stretch finds nothing when it
// runs past the channel's start (buffered searches are the model's).
TEST_F(Recording, WaveformSearchesMeetTheChannelStartOrAGap) {
  const TSTime64 t[] = {100, 110};
  const float v[] = {1, 2};
  ASSERT_EQ(f_->WriteEvents(0, t, 2), kOk);
  ASSERT_EQ(f_->SetWaveChan(6, 10, RealWave, 0, 0), kOk);
  ASSERT_EQ(f_->WriteWaveF(6, v, 2, 100), 120);
  for (uint16_t c : {0, 6}) {
    EXPECT_EQ(f_->PrevNTime(c, 115, -1, 2, nullptr, false), 100);
    EXPECT_EQ(f_->PrevNTime(c, 115, -1, 3, nullptr, false), -1);
  }
  f_->SetBuffering(2, 64 * 2, 0.0);
  const int16_t s[4] = {};
  EXPECT_EQ(f_->WriteWaveS(2, s, 4, -10), kErrOutOfRange);
  EXPECT_EQ(f_->WriteWaveS(2, s, 4, kMaxTime64 - 30), kErrOutOfRange);
}

// A run of one time that crosses blocks counts whole in a backward search,
// from the write block on into the disk, before and after a commit, and from
// block to block on disk once the file is closed.
TEST_F(Recording, BackwardSearchCountsRunsOfOneTimeAcrossBlocks) {
  std::vector<TSTime64> t = Times(0, 10, 8200);
  for (size_t i = 8187; i <= 8193; ++i) t[i] = 81870;  // a block holds 8190 events
  ASSERT_EQ(f_->WriteEvents(0, t.data(), t.size()), kOk);
  const auto check = [&](CKel64File& f, const char* when) {
    for (uint32_t n = 1; n <= 20; ++n)
      EXPECT_EQ(f.PrevNTime(0, kMaxTime64, 0, n, nullptr, false), t[t.size() - n]) << when << n;
  };
  check(*f_, "written, n ");
  ASSERT_EQ(f_->Commit(0), kOk);
  check(*f_, "committed, n ");
  check(*Reopen(), "closed, n ");
}

// Wave marks read as a waveform join records into one stretch, and the
// point search steps back over them: on disk and in the buffer (channel 5),
// or in a channel without a buffer (6).
TEST_F(Recording, WaveMarksReadAsOneWaveformAcrossDiskAndBuffer) {
  // Four points two ticks apart: a record every 8 ticks continues the last.
  constexpr size_t kItem = 24, kRecords = 40;
  std::vector<uint8_t> items(kRecords * kItem, 0);
  for (size_t i = 0; i < kRecords; ++i) {
    le::PutI64(&items[i * kItem], static_cast<int64_t>(100 + 8 * i));
    for (size_t j = 0; j < 4; ++j)
      le::PutU16(&items[i * kItem + 16 + 2 * j], static_cast<uint16_t>(4 * i + j));
  }
  for (uint16_t c : {5, 6}) {
    SCOPED_TRACE(c);
    ASSERT_EQ(f_->SetExtMarkChan(c, 100, WaveMark, 4, 1, 0, 2, 0), kOk);
    if (c == 5) f_->SetBuffering(5, 8 * kItem, 0.0);  // the oldest records move to disk
    ASSERT_EQ(f_->WriteExtMarks(c, reinterpret_cast<const TExtMark*>(items.data()), kRecords), kOk);
    std::vector<int16_t> w(200);
    TSTime64 first = -1;
    ASSERT_EQ(f_->ReadWaveS(c, w.data(), 200, 0, kMaxTime64, &first, nullptr), 160);
    EXPECT_EQ(first, 100);
    for (int k = 0; k < 160; ++k) ASSERT_EQ(w[k], k) << k;
    // From inside the disk part, up to a point in the buffer.
    ASSERT_EQ(f_->ReadWaveS(c, w.data(), 200, 111, 400, &first, nullptr), 144);
    EXPECT_EQ(first, 112);
    EXPECT_EQ(w[0], 6);
    // 150 points back from the end lie partly on disk.
    EXPECT_EQ(f_->PrevNTime(c, kMaxTime64, 0, 150, nullptr, true), 100 + 2 * 10);
  }
}

struct TCollect : CWaveRunSink {
  std::vector<std::pair<TSTime64, uint64_t>> runs;
  bool Put(TSTime64 first, uint64_t count) override {
    runs.emplace_back(first, count);
    return true;
  }
};

// ReadWaveRuns, which walks run heads, against the walk that reads the
// samples (the CKel64File version, built on ReadWaveS): data on disk, data
// still in the write block, gaps on either side of the boundary between
// them, and walks from inside a run.
TEST_F(Recording, RunHeadWalkMatchesTheReadingWalk) {
  // A 16-bit block holds 32752 samples of one run; writes that fill blocks
  // put them on disk, the rest stays in the write block.
  const struct {
    const char* what;
    std::vector<std::pair<TSTime64, size_t>> writes;  // first time, samples (divide 4)
  } cases[] = {
      {"contiguous into the write block", {{0, 40000}, {160000, 10}}},
      {"a gap just before the write block", {{0, 32752}, {131012, 500}}},
      {"a gap inside the write block", {{8, 32752}, {131016, 100}, {140000, 30}}},
      {"only the write block", {{100, 7}, {200, 3}}},
      {"several blocks, then a gap", {{0, 70000}, {400000, 32752}, {531008, 20}}},
  };
  uint16_t chan = 10;  // a channel for each case
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(f_->SetWaveChan(++chan, 4, Adc, 0, 0), kOk);
    for (const auto& w : c.writes) {
      const std::vector<int16_t> s(w.second, 5);
      ASSERT_GT(f_->WriteWaveS(chan, s.data(), s.size(), w.first), 0);
    }
    for (TSTime64 from : {TSTime64{0}, TSTime64{101}, TSTime64{131013}, TSTime64{160001}}) {
      TCollect heads, reads;
      ASSERT_EQ(f_->ReadWaveRuns(chan, from, heads), kOk);
      ASSERT_EQ(f_->CKel64File::ReadWaveRuns(chan, from, reads), kOk);
      EXPECT_EQ(heads.runs, reads.runs) << "from " << from;
    }
  }
}

}  // namespace
}  // namespace vslk64
