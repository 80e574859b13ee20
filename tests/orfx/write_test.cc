// Creating 64-bit format files and writing their channels, checked by
// reading the files back through a separate read-only file object.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/orfx/kel64_file.h"
#include "filelib/status.h"
#include "tests/orfx/chan_file_util.h"
#include "tests/orfx/recorder.h"
#include "tests/support/seam_files.h"
#include "tests/support/temp_dir.h"

namespace vslk64 {
namespace {

using chantest::Item;
using chantest::MakeChannel;
using chantest::ReadItems;
using chantest::WriteItems;
using testing_support::SeamFiles;
using testing_support::TempDir;

std::string FileBytes(const std::string& path) {
  std::string s;
  EXPECT_TRUE(testing_support::ReadFileBytes(path, &s));
  return s;
}

constexpr int16_t kNoSample = 0;

TEST(Create, LaysOutSlotsAndRefusesBadArguments) {
  TempDir dir;
  const std::string path = dir.File("a.orfx");
  // 400 slots need a continuation block of header space; the file still
  // opens and keeps its extra-data area.
  const struct {
    uint16_t chans;
    uint32_t extra;
    int result, slots;
  } cases[] = {
      {10, 0, kOk, 32},   {2001, 0, kErrBadArg, 0}, {100, 65537, kErrBadArg, 0},
      {400, 0, kOk, 400}, {40, 65536, kOk, 40},
  };
  for (const auto& c : cases) {
    std::unique_ptr<CKel64File> f = NewKel64File();
    ASSERT_EQ(f->Create(path.c_str(), c.chans, c.extra), c.result) << c.chans;
    if (c.result != kOk) continue;
    EXPECT_EQ(f->Create(path.c_str(), c.chans, c.extra), kErrAlreadyOpen);
    EXPECT_TRUE(f->CanWrite());
    EXPECT_EQ(f->Close(), kOk);
    f = chantest::OpenFile(path, 1);
    EXPECT_EQ(f->MaxChans(), c.slots);
    EXPECT_EQ(f->GetExtraDataSize(), c.extra);
    EXPECT_EQ(f->MaxTime(false), -1);
    EXPECT_EQ(f->GetFreeChan(), 0);
  }
}

// Making channels, and writing items of a kind the channel does not hold or
// at times outside the tick range: one file, the rows in order (the
// elements of a braced list are evaluated in order).
TEST(Create, ChannelCreationChecks) {
  TempDir dir;
  std::unique_ptr<CKel64File> f = NewKel64File();
  EXPECT_EQ(f->SetEventChan(0, 1, EventA, 0), kErrNoFile);  // no file yet
  ASSERT_EQ(f->Create(dir.File("c.orfx").c_str(), 32, 0), kOk);
  const TMarker mark{};
  const int16_t s[4] = {};
  const struct {
    const char* what;
    TSTime64 want, got;
  } cases[] = {
      {"event", kOk, f->SetEventChan(0, 10, EventA, 3)},
      {"write to an empty slot", kErrNoChannel, f->WriteEvents(5, &mark.time, 1)},
      {"edit with no item", kErrBadArg, f->EditMarker(0, 5, nullptr, 7)},
      {"slot used", kErrChannelUsed, f->SetWaveChan(0, 10, Adc, 0, 0)},
      {"slot out of range", kErrNoChannel, f->SetEventChan(32, 10, EventB, 0)},
      {"event kind", kErrBadArg, f->SetEventChan(1, 10, RealWave, 0)},
      {"marker kind", kErrWrongKind, f->SetMarkerChan(1, 10, EventA, 0)},
      {"text cols", kErrBadArg, f->SetExtMarkChan(1, 1, TextMark, 10, 2, 0, 0, 0)},
      {"wavemark divide", kErrBadArg, f->SetExtMarkChan(1, 1, WaveMark, 10, 1, 0, 0, 0)},
      {"pretrig", kErrBadArg, f->SetExtMarkChan(1, 1, WaveMark, 10, 1, 0, 1, 10)},
      {"ext kind", kErrNoChannel, f->SetExtMarkChan(1, 1, Marker, 10, 1, 0, 1, 0)},
      {"too big", kErrBadArg, f->SetExtMarkChan(1, 1, RealMark, 4096, 4, 0, 0, 0)},
      {"wave divide", kErrBadArg, f->SetWaveChan(1, 0, Adc, 0, 0)},
      {"wave kind", kErrWrongKind, f->SetWaveChan(1, 10, EventA, 0, 0)},
      {"wave", kOk, f->SetWaveChan(1, 10, Adc, 0, 7)},
      {"level via event", kOk, f->SetEventChan(2, 10, Level, 0)},
      {"marker", kOk, f->SetMarkerChan(3, 10, Marker, 0)},
      {"markers to events", kErrWrongKind, f->WriteMarkers(0, &mark, 1)},
      {"samples to events", kErrWrongKind, f->WriteWaveS(0, s, 1, 10)},
      {"events to markers, not levels", kErrWrongKind, f->WriteEvents(3, &mark.time, 1)},
      {"events to levels", kOk, f->WriteEvents(2, &mark.time, 1)},
      {"no samples", kErrBadArg, f->WriteWaveS(1, nullptr, 4, 0)},
      {"no float samples", kErrBadArg, f->WriteWaveF(1, nullptr, 4, 0)},
      {"samples before time 0", kErrOutOfRange, f->WriteWaveS(1, s, 4, -10)},
      {"samples past the last tick", kErrOutOfRange, f->WriteWaveS(1, s, 4, kMaxTime64 - 30)},
      {"samples up to the last tick", kMaxTime64, f->WriteWaveS(1, s, 4, kMaxTime64 - 40)},
      {"kind kept", EventA, f->ChanKind(0)},
      {"physical channel kept", 3, f->PhyChan(0)},
      {"level kept", Level, f->ChanKind(2)},
      {"free slot", ChanOff, f->ChanKind(4)},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
  EXPECT_DOUBLE_EQ(f->IdealRate(1, -1), 100000.0);  // 1 / (1e-6 * 10)
}

// The file level against a model: seeded random sessions of appends (runs
// of equal times, gaps between samples, calls the time order refuses),
// overwrites of stored samples, marker edits (aimed also at runs of one time
// across a block's end), commits (some while the disk refuses writes),
// reopens for writing, read-only checks, EmptyFile and deleted channels
// restored or made anew, on one unbuffered channel of each kind. The model
// is the items each channel holds; every read shows those from its time on.
TEST(FileModel, RandomSessionsReadBackAsTheModel) {
  const auto& kinds = chantest::kAllKinds;
  const size_t perBlock[] = {8190, 4095, 2730, 32752, 16376};  // items of one data block
  constexpr uint16_t kChans = 5;
  constexpr TSTime64 kDiv = chantest::kWaveDivide;
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TempDir dir;
    const std::string path = dir.File("model.orfx");
    SeamFiles files;
    platform::ScopedFileSystem seam(&files);
    std::mt19937 rng(seed);
    const auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    std::vector<std::vector<Item>> model(kChans);
    std::vector<bool> deleted(kChans, false);
    uint32_t serial = 1;
    bool appended = false;  // since the last commit
    const auto value = [&](uint16_t c) -> uint32_t {
      return c == 0 ? 0 : kinds[c].wave ? serial++ % 30000 : serial++;
    };
    // Writes items, in one call per stretch of samples.
    const auto write = [&](CKel64File& f, uint16_t c, const std::vector<Item>& items) {
      for (size_t i = 0, j = 1; i < items.size(); i = j++) {
        while (kinds[c].wave && j < items.size() && items[j].time == items[j - 1].time + kDiv) ++j;
        if (!kinds[c].wave) j = items.size();
        const std::vector<Item> part(items.begin() + i, items.begin() + j);
        EXPECT_EQ(WriteItems(f, c, kinds[c], part),
                  kinds[c].wave ? part.back().time + kDiv : TSTime64{kOk});
      }
    };
    const auto expectFrom = [&](CKel64File& f, uint16_t c, TSTime64 from, size_t max) {
      const std::vector<Item>& m = model[c];
      size_t i = 0;
      while (i < m.size() && m[i].time < from) ++i;
      const size_t n = kinds[c].wave ? m.size() - i : std::min(max, m.size() - i);
      const std::vector<Item> want(m.begin() + i, m.begin() + i + n);
      const int room = static_cast<int>(kinds[c].wave ? std::max<size_t>(max, 1000) : max);
      EXPECT_TRUE(ReadItems(f, c, kinds[c], from, kMaxTime64, room) == want)
          << kinds[c].name << " from " << from;
    };
    const auto expectAll = [&](CKel64File& f, uint16_t c) {
      EXPECT_EQ(f.ChanKind(c), deleted[c] ? ChanOff : kinds[c].kind);
      EXPECT_EQ(f.ChanUndelete(c, 0), deleted[c] ? kinds[c].kind : 0);  // a query
      if (deleted[c]) return;
      expectFrom(f, c, 0, kinds[c].wave ? 4096 : model[c].size() + 1);
      EXPECT_EQ(f.ChanMaxTime(c), model[c].empty() ? -1 : model[c].back().time) << kinds[c].name;
    };
    std::unique_ptr<CKel64File> f = NewKel64File();
    ASSERT_EQ(f->Create(path.c_str(), 32, 16), kOk);
    for (uint16_t c = 0; c < kChans; ++c) ASSERT_EQ(MakeChannel(*f, c, kinds[c].kind), kOk);
    for (int step = 0; step < 300; ++step) {
      SCOPED_TRACE("step " + std::to_string(step));
      const uint16_t c = static_cast<uint16_t>(pick(kChans));
      std::vector<Item>& m = model[c];
      const bool wave = kinds[c].wave;
      const size_t op = pick(100);
      if (deleted[c]) {
        // Restored with its data (blocks still in memory at the delete
        // included), or made anew on the blocks it leaves.
        deleted[c] = false;
        if (pick(2) == 0) {
          EXPECT_EQ(f->ChanUndelete(c, 0), kinds[c].kind);
          EXPECT_EQ(f->ChanUndelete(c, 1), kOk);
        } else {
          EXPECT_EQ(MakeChannel(*f, c, kinds[c].kind), kOk);
          m.clear();
        }
      } else if (op < 45) {
        const size_t n = 1 + (pick(4) == 0 ? pick(2 * perBlock[c]) : pick(50));
        TSTime64 t = m.empty() ? 1 + static_cast<TSTime64>(pick(100)) : m.back().time + kDiv;
        if (wave && pick(3) == 0) t += 1 + static_cast<TSTime64>(pick(100));  // a gap
        std::vector<Item> add;
        for (size_t i = 0; i < n; ++i) {
          add.push_back({t, value(c), true});
          t += wave ? kDiv : pick(2) == 0 ? 0 : 1 + static_cast<TSTime64>(pick(20));
        }
        EXPECT_EQ(WriteItems(*f, c, kinds[c], add), wave ? add.back().time + kDiv : TSTime64{kOk});
        m.insert(m.end(), add.begin(), add.end());
        appended = true;
      } else if (op < 50 && !wave) {
        // A time that goes back refuses the whole call; so does a first
        // item at the last stored time.
        const TSTime64 last = m.empty() ? 10 : m.back().time;
        EXPECT_EQ(WriteItems(*f, c, kinds[c], {{last + 5, 1, true}, {last + 4, 1, true}}),
                  kErrTimeOrder);
        EXPECT_TRUE(m.empty() || WriteItems(*f, c, kinds[c], {{last, 1, true}}) == kErrTimeOrder);
      } else if (op < 60 && !m.empty()) {
        // An item at a block's start, or anywhere.
        size_t i = pick(m.size());
        if (pick(2) == 0 && m.size() > perBlock[c])
          i = perBlock[c] * (1 + pick(m.size() / perBlock[c])) - pick(2);
        i = std::min(i, m.size() - 1);
        if (wave) {
          // Overwrites from a stored sample, within its stretch or past the end.
          size_t end = i + 1;
          while (end < m.size() && m[end].time == m[end - 1].time + kDiv) ++end;
          size_t n = 1 + pick(2 * perBlock[c]);
          if (end < m.size()) n = std::min(n, end - i);
          std::vector<Item> over;
          for (size_t k = 0; k < n; ++k)
            over.push_back({m[i].time + kDiv * static_cast<TSTime64>(k), value(c), true});
          EXPECT_EQ(WriteItems(*f, c, kinds[c], over), over.back().time + kDiv);
          m.resize(std::max(m.size(), i + n));
          std::copy(over.begin(), over.end(), m.begin() + i);
        } else if (c != 0) {
          // An edit finds the first item of a run of equal times.
          while (i > 0 && m[i - 1].time == m[i].time) --i;
          TMarker edit{};
          edit.code[0] = static_cast<uint8_t>(pick(256));
          EXPECT_EQ(f->EditMarker(c, m[i].time, &edit, 9), 1);
          m[i].value = (m[i].value & ~0xFFu) | edit.code[0];
          if (i + 1 == m.size() || m[i + 1].time > m[i].time + 1) {
            EXPECT_EQ(f->EditMarker(c, m[i].time + 1, &edit, 9), 0);
          }
          EXPECT_EQ(f->EditMarker(c, m[i].time, &edit, chantest::ItemSize(kinds[c].kind) + 1),
                    kErrBadArg);
        }
        expectFrom(*f, c, m[i].time, 9);
      } else if (op < 70) {
        // A channel's failed write fails the commit; its data stay to be
        // written by the next.
        if (appended && pick(3) == 0) {
          files.failWrites = true;
          EXPECT_EQ(f->Commit(0), kErrWrite);
          files.failWrites = false;
        }
        EXPECT_EQ(f->Commit(0), kOk);
        EXPECT_FALSE(f->IsModified());
        appended = false;
      } else if (op < 76) {
        ASSERT_EQ(f->Close(), kOk);
        f = chantest::OpenFile(path, 0);
        EXPECT_FALSE(f->IsModified());
        appended = false;
      } else if (op < 80) {
        // Read-only, the file reads as the model and refuses every write;
        // changes made in memory never reach the disk, and neither does a
        // writable session that changes nothing.
        ASSERT_EQ(f->Close(), kOk);
        const std::string before = FileBytes(path);
        {
          TKel64File r;  // closed by the destructor
          ASSERT_EQ(r.Open(path.c_str(), 1, 0), kOk);
          for (uint16_t k = 0; k < kChans; ++k) expectAll(r, k);
          r.SetTimeBase(1e-3);
          r.ExtendMaxTime(kMaxTime64 - 1);
          EXPECT_EQ(r.SetFileComment(0, "changed"), kOk);
          for (uint16_t k = 0; k < kChans; ++k) {
            EXPECT_EQ(deleted[k] ? kOk : r.SetChanTitle(k, "Renamed") + r.SetChanScale(k, 3), kOk);
          }
          const TMarker mark{};
          const int refused[] = {r.SetExtraData(&mark, 4, 0),
                                 r.WriteHeaderSpace(&mark, 4, 0),
                                 r.WriteRaw(&mark, 4, 0),
                                 r.Commit(0),
                                 r.FlushSysBuffers(),
                                 r.WriteEvents(0, &mark.time, 1),
                                 r.EditMarker(1, 5, &mark, 12),
                                 r.SetEventChan(kChans, 10, EventA, 0),
                                 r.ChanDelete(0),
                                 static_cast<int>(r.WriteWaveS(3, &kNoSample, 1, 0))};
          for (int rc : refused) EXPECT_EQ(rc, kErrReadOnly);
          EXPECT_EQ(r.ChanUndelete(32, 0), kErrNoChannel);
          EXPECT_TRUE(r.IsModified());
        }
        EXPECT_EQ(FileBytes(path), before);
        f = chantest::OpenFile(path, 0);
        EXPECT_FALSE(f->IsModified());
        ASSERT_EQ(f->Close(), kOk);
        EXPECT_EQ(FileBytes(path), before);
        f = chantest::OpenFile(path, 0);
        appended = false;
      } else if (op < 83 && std::find(deleted.begin(), deleted.end(), true) == deleted.end()) {
        // Emptied, then filled again with the first half of what each
        // channel held (new values, so an old block read shows): on the
        // old blocks, without growing the file.
        ASSERT_EQ(f->EmptyFile(), kOk);  // commits what is still in memory first
        const int64_t size = f->FileSize();
        EXPECT_EQ(f->MaxTime(false), -1);
        for (uint16_t k = 0; k < kChans; ++k) {
          std::vector<Item> half(model[k].begin(), model[k].begin() + model[k].size() / 2);
          for (Item& it : half) it.value = value(k);
          model[k].clear();
          expectAll(*f, k);
          write(*f, k, half);
          model[k] = half;
        }
        EXPECT_LE(f->FileSize(), size);
        appended = true;
      } else if (op < 86) {
        ASSERT_EQ(f->ChanDelete(c), kOk);  // commits the file first
        appended = false;
        EXPECT_EQ(f->ChanDelete(c), kErrNoChannel);
        deleted[c] = true;
      } else {
        expectFrom(
            *f, c,
            static_cast<TSTime64>(pick(static_cast<size_t>(m.empty() ? 100 : m.back().time + 100))),
            1 + pick(10));
      }
      expectAll(*f, c);
      if (::testing::Test::HasFailure()) return;
    }
    for (uint16_t k = 0; k < kChans; ++k) expectAll(*f, k);
  }
}

}  // namespace
}  // namespace vslk64
