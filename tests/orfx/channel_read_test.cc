// Reading times, markers, extended markers and levels through the file
// interface of files laid out by the test builders.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filelib/le.h"
#include "filelib/orfx/channel.h"
#include "filelib/orfx/kel64_file.h"
#include "tests/orfx/chan_file_util.h"

namespace vslk64 {
namespace {

using namespace chantest;  // NOLINT
using testing_support::TempDir;

// Reads every item time of a channel in calls of `step` items, each call
// continuing after the last time returned, as a scan of a file does.
std::vector<int64_t> ScanEvents(CKel64File& f, uint16_t chan, int step,
                                const CMarkFilter* filter = nullptr) {
  std::vector<int64_t> all;
  std::vector<TSTime64> buf(static_cast<size_t>(step));
  TSTime64 from = 0;
  for (;;) {
    const int n = f.ReadEvents(chan, buf.data(), step, from, kMaxTime64, filter);
    EXPECT_GE(n, 0);
    if (n <= 0) break;
    all.insert(all.end(), buf.begin(), buf.begin() + n);
    from = buf[static_cast<size_t>(n) - 1] + 1;
  }
  return all;
}

// --- Every kind -------------------------------------------------------------------

TEST(ChannelRead, EveryKindAnswersTheReadsItsItemsAllow) {
  ChannelFile file;
  file.AddChannel(
      0, Fields(EventA),
      {orfxtest::EventBlock(0, Times(100, 10, 50)), orfxtest::EventBlock(0, Times(1000, 10, 50))});
  file.AddChannel(1, Fields(EventB), {orfxtest::EventBlock(1, Times(5, 5, 20))});
  file.AddChannel(2, Fields(Level),
                  {orfxtest::MarkerBlock(2, {Mark(100, 1), Mark(200, 0), Mark(300, 1)}),
                   orfxtest::MarkerBlock(2, {Mark(400, 0), Mark(500, 1)})});
  file.AddChannel(3, Fields(Marker), {orfxtest::MarkerBlock(3, {Mark(7, 9), Mark(8, 4)})});
  const ChanFields wm = Fields(WaveMark, 1, 4, 2);
  const ChanFields rm = Fields(RealMark, 0, 2, 1);
  const ChanFields tm = Fields(TextMark, 0, 10, 1);
  std::vector<orfxtest::ExtMarkItem> items(3);
  for (int i = 0; i < 3; ++i) {
    items[i].time = 100 * (i + 1);
    items[i].code[0] = static_cast<uint8_t>(i + 1);
    items[i].payload = Bytes{static_cast<uint8_t>(0x10 + i), 0x22, 0x33, 0x44};
  }
  file.AddChannel(4, wm, {orfxtest::ExtMarkBlock(4, wm.itemSize, items)});
  file.AddChannel(5, rm, {orfxtest::ExtMarkBlock(5, rm.itemSize, items)});
  file.AddChannel(6, tm, {orfxtest::ExtMarkBlock(6, tm.itemSize, items)});
  file.AddChannel(7, Fields(Adc, 10), {orfxtest::AdcBlock(7, {{0, {1, 2, 3}}})});
  file.AddChannel(8, Fields(RealWave, 10), {orfxtest::RealWaveBlock(8, {{0, {1.f}}})});
  TempDir dir;
  auto f = OpenBuilt(file, dir);

  struct Case {
    uint16_t chan;
    std::vector<int64_t> times;  // empty: the kind has no item times
    bool markers;
    bool extMarks;
    bool wave;  // can be read as a waveform
  };
  std::vector<int64_t> chan0 = Times(100, 10, 50);
  const std::vector<int64_t> chan0b = Times(1000, 10, 50);
  chan0.insert(chan0.end(), chan0b.begin(), chan0b.end());
  const std::vector<Case> cases = {
      {0, chan0, false, false, false},
      {1, Times(5, 5, 20), false, false, false},
      {2, Times(100, 100, 5), true, false, false},
      {3, {7, 8}, true, false, false},
      {4, {100, 200, 300}, true, true, true},
      {5, {100, 200, 300}, true, true, false},
      {6, {100, 200, 300}, true, true, false},
      {7, {}, false, false, true},
      {8, {}, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chan);
    TSTime64 t[200];
    TMarker m[8];
    alignas(8) uint8_t items[8 * 64];
    if (c.times.empty()) {
      EXPECT_EQ(f->ReadEvents(c.chan, t, 10, 0, kMaxTime64, nullptr), kErrWrongKind);
    } else {
      EXPECT_EQ(ScanEvents(*f, c.chan, 7), c.times);
      EXPECT_EQ(f->ChanMaxTime(c.chan), c.times.back());
      EXPECT_EQ(f->ReadEvents(c.chan, t, 10, c.times.back() + 1, kMaxTime64, nullptr), 0);
    }
    const int markers = f->ReadMarkers(c.chan, m, 8, 0, kMaxTime64, nullptr);
    EXPECT_EQ(markers,
              c.markers ? std::min<int>(8, static_cast<int>(c.times.size())) : kErrWrongKind);
    const int ext =
        f->ReadExtMarks(c.chan, reinterpret_cast<TExtMark*>(items), 3, 0, kMaxTime64, nullptr);
    EXPECT_EQ(ext, c.extMarks ? 3 : kErrWrongKind);
    int16_t s[4];
    float v[4];
    const int waveS = f->ReadWaveS(c.chan, s, 4, 0, kMaxTime64, nullptr, nullptr);
    const int waveF = f->ReadWaveF(c.chan, v, 4, 0, kMaxTime64, nullptr, nullptr);
    EXPECT_EQ(waveS < 0 ? waveS : kOk, c.wave ? kOk : kErrWrongKind);
    EXPECT_EQ(waveF, waveS);
    if (c.chan < 4) {  // no points to step over
      EXPECT_EQ(f->PrevNTime(c.chan, 1000, 0, 1, nullptr, true), kErrWrongKind);
    }
    if (c.extMarks) {
      const int size = f->ItemSize(c.chan);
      for (int i = 0; i < 3; ++i) {
        TSTime64 time;
        std::memcpy(&time, items + size * i, 8);
        EXPECT_EQ(time, 100 * (i + 1));
        EXPECT_EQ(items[size * i + 8], i + 1);      // first code byte
        EXPECT_EQ(items[size * i + 16], 0x10 + i);  // payload
        EXPECT_EQ(items[size * i + 19], 0x44);
      }
    }
  }
  std::vector<uint8_t> codes;
  EXPECT_EQ(MarkerTimes(*f, 3, 100, nullptr, &codes), (std::vector<int64_t>{7, 8}));
  EXPECT_EQ(codes, (std::vector<uint8_t>{9, 4}));
  EXPECT_EQ(f->ChanBytes(0), 2 * 65536);
  EXPECT_EQ(f->MaxTime(true), 1490);
  EXPECT_FALSE(f->IsModified());
  EXPECT_EQ(f->GetFreeChan(), 9);
}

// --- A channel of 300 blocks: a two-level index -----------------------------------

// Block k holds 20 events k * 1000 + 10 * i; every seventh unit of the file
// belongs to another channel.
ChannelFile ThreeHundredBlocks(int blocks = 300, size_t used = SIZE_MAX) {
  ChannelFile file;
  std::vector<Bytes> images;
  for (int k = 0; k < blocks; ++k) {
    const uint16_t stamp =
        used < static_cast<size_t>(blocks) && static_cast<size_t>(k) < used ? 1 : 0;
    images.push_back(orfxtest::EventBlock(0, Times(1000 * k, 10, 20), stamp));
  }
  file.AddForeignBlocks(3);
  ChanFields f = Fields(EventA);
  if (used < static_cast<size_t>(blocks)) f.reuseCount = 1;
  file.AddChannel(0, f, images, used);
  return file;
}

std::vector<int64_t> AllTimes(int blocks) {
  std::vector<int64_t> t;
  for (int k = 0; k < blocks; ++k) {
    for (int i = 0; i < 20; ++i) t.push_back(1000 * k + 10 * i);
  }
  return t;
}

TEST(ChannelRead, TwoLevelIndexIsWalkedForwardAcrossItsLevelOneBoundary) {
  TempDir dir;
  auto f = OpenBuilt(ThreeHundredBlocks(), dir);
  // One call for all 6000 events spends the block budget thirty times.
  std::vector<TSTime64> all(6100);
  ASSERT_EQ(f->ReadEvents(0, all.data(), 6100, 0, kMaxTime64, nullptr), 6000);
  all.resize(6000);
  EXPECT_EQ(all, AllTimes(300));
  EXPECT_EQ(ScanEvents(*f, 0, 4000), AllTimes(300));

  // Where a read starts: before the first item, at a block's first item
  // (block 255 opens the second level-1 block), between blocks, after the
  // last item; and a read across the level-1 boundary.
  const struct {
    TSTime64 from;
    std::vector<int64_t> want;
  } starts[] = {
      {-50, {0, 10, 20}},
      {255000, {255000, 255010, 255020}},
      {254195, {255000, 255010, 255020}},
      {254180, {254180, 254190, 255000}},
      {299191, {}},
  };
  for (const auto& s : starts) {
    TSTime64 got[3];
    const int n = f->ReadEvents(0, got, 3, s.from, kMaxTime64, nullptr);
    EXPECT_EQ(std::vector<int64_t>(got, got + std::max(n, 0)), s.want) << s.from;
  }
}

TEST(ChannelRead, BackwardSearchCrossesBlocksAndOutlastsItsBudget) {
  TempDir dir;
  auto f = OpenBuilt(ThreeHundredBlocks(), dir);
  const struct {
    TSTime64 from, to;
    uint32_t n;
    TSTime64 want;
  } cases[] = {
      {255001, 0, 1, 255000},
      {255000, 0, 1, 254190},  // back across the level-1 boundary
      {255000, 0, 2, 254180},
      {255005, 0, 241, 243000},  // thirteen blocks: more than one budget
      {1, 0, 1, 0},
      {5, 0, 2, -1},  // only one item before 5
      {255005, 254500, 1, 255000},
      {255005, 254500, 2, -1},  // the second lies before tTo
      {kMaxTime64, 0, 1, 299190},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(f->PrevNTime(0, c.from, c.to, c.n, nullptr, false), c.want) << c.from << " " << c.n;
  }

  // The channel hands back control once its budget of ten blocks is spent;
  // the same range, asked again, runs to the answer.
  TKel64File file;
  ASSERT_EQ(file.Open(dir.File("f.orfx").c_str(), 1, 0), kOk);
  std::unique_ptr<CKel64Chan> chan = MakeChanFromRecord(&file, 0);
  TReadRange range(0, 255005, 241);
  EXPECT_EQ(chan->PrevNTime(range, nullptr, false), kSearchBudgetSpent);
  EXPECT_EQ(chan->PrevNTime(range, nullptr, false), 243000);
}

TEST(ChannelRead, ReusedChannelNeverReadsItsStaleBlocks) {
  // 260 blocks of new data (stamped 1) and 40 stale blocks (stamped 0) still
  // listed in the index with later times: reading one would be an error.
  TempDir dir;
  auto f = OpenBuilt(ThreeHundredBlocks(300, 260), dir);
  EXPECT_EQ(ScanEvents(*f, 0, 4000), AllTimes(260));
  TSTime64 t[4];
  EXPECT_EQ(f->ReadEvents(0, t, 4, 270000, kMaxTime64, nullptr), 0);
  EXPECT_EQ(f->ReadEvents(0, t, 4, 259185, kMaxTime64, nullptr), 1);
  EXPECT_EQ(f->PrevNTime(0, kMaxTime64, 0, 1, nullptr, false), 259190);
  EXPECT_EQ(f->ChanMaxTime(0), 259190);
  EXPECT_EQ(f->ChanBytes(0), 260 * 65536);
}

// --- Filters ------------------------------------------------------------------------

CMarkFilter Filter(int mode, std::function<void(CMarkFilter&)> set) {
  CMarkFilter f;
  f.SetMode(mode);
  if (set) set(f);
  return f;
}

// Each read applies the filter, and its summaries (everything or nothing
// passes); how codes match in either mode is the filter's own test's.
TEST(ChannelRead, FiltersSelectInBothModes) {
  const std::vector<orfxtest::MarkerItem> marks = {
      Mark(10, 1),    Mark(20, 3), Mark(30, 1, 3),      Mark(40, 0, 0, 0, 3),
      Mark(50, 1, 2), Mark(60, 0), Mark(70, 3, 3, 3, 3)};
  ChannelFile file;
  file.AddChannel(0, Fields(Marker),
                  {orfxtest::MarkerBlock(0, {marks.begin(), marks.begin() + 4}),
                   orfxtest::MarkerBlock(0, {marks.begin() + 4, marks.end()})});
  const ChanFields tm = Fields(TextMark, 0, 8, 1);
  std::vector<orfxtest::ExtMarkItem> ext;
  for (const auto& m : marks) {
    orfxtest::ExtMarkItem e;
    e.time = m.time;
    std::memcpy(e.code, m.code, 4);
    ext.push_back(e);
  }
  file.AddChannel(1, tm, {orfxtest::ExtMarkBlock(1, tm.itemSize, ext)});
  TempDir dir;
  auto f = OpenBuilt(file, dir);

  const auto only = [](std::vector<int> codes) {
    return [codes](CMarkFilter& m) {
      m.SetItem(0, -1, 0);
      for (int c : codes) m.SetItem(0, c, 1);
    };
  };
  const std::vector<int64_t> all = {10, 20, 30, 40, 50, 60, 70};
  const struct {
    const char* what;
    CMarkFilter filter;
    std::vector<int64_t> want;
  } cases[] = {
      {"mode 0, every bit set", Filter(0, nullptr), all},
      {"mode 0, every bit clear", Filter(0, [](CMarkFilter& m) { m.SetItem(-1, -1, 0); }), {}},
      {"mode 0, layers 0 and 1",
       Filter(0,
              [&](CMarkFilter& m) {
                only({1, 3})(m);
                m.SetItem(1, -1, 0);
                m.SetItem(1, 3, 1);
              }),
       {30, 70}},
      {"mode 1, only 3", Filter(1, only({3})), {20, 30, 40, 70}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(MarkerTimes(*f, 0, 100, &c.filter), c.want);
    EXPECT_EQ(ScanEvents(*f, 0, 2, &c.filter), c.want);
    EXPECT_EQ(ScanEvents(*f, 1, 3, &c.filter), c.want);
    EXPECT_EQ(f->PrevNTime(0, 1000, 0, 1, &c.filter, false), c.want.empty() ? -1 : c.want.back());
  }
}

TEST(ChannelRead, FilterThatPassesNothingForManyBlocksStillReachesLaterItems) {
  // 25 blocks whose markers the filter rejects, then one block it accepts:
  // the reads hand back control every ten blocks with nothing delivered and
  // must still move on.
  ChannelFile file;
  std::vector<Bytes> blocks;
  for (int k = 0; k < 26; ++k) {
    std::vector<orfxtest::MarkerItem> m;
    for (int i = 0; i < 10; ++i) m.push_back(Mark(1000 * k + 10 * i, k == 25 ? 3 : 1));
    blocks.push_back(orfxtest::MarkerBlock(0, m));
  }
  file.AddChannel(0, Fields(Marker), blocks);
  TempDir dir;
  auto f = OpenBuilt(file, dir);
  CMarkFilter only3;
  only3.SetItem(0, -1, 0);
  only3.SetItem(0, 3, 1);
  EXPECT_EQ(MarkerTimes(*f, 0, 100, &only3), Times(25000, 10, 10));
  EXPECT_EQ(ScanEvents(*f, 0, 4, &only3), Times(25000, 10, 10));
  EXPECT_EQ(f->PrevNTime(0, 25000, 0, 1, &only3, false), -1);
  EXPECT_EQ(f->PrevNTime(0, kMaxTime64, 0, 10, &only3, false), 25000);
}

// --- Levels ---------------------------------------------------------------------------

TEST(ChannelRead, LevelsReportTheirStateWithAndWithoutAChangeInRange) {
  const struct {
    TSTime64 from, upto;
    uint64_t flags;
    std::vector<int64_t> times;
    bool level;
    TSTime64 firstChange = 100;
  } cases[] = {
      {150, 1000, 0, {200, 300, 400, 500, 600}, false},  // first change 200, code 0
      {250, 1000, 0, {300, 400, 500, 600}, true},        // first change 300, code 1
      {410, 490, 0, {}, true},                           // last before: 400, code 0
      {310, 390, 0, {}, false},                          // last before: 300, code 1
      {550, 590, 1, {}, false},                          // 500 in the second block
      {0, 50, 0, {}, true},                              // none before: flags bit 0 clear
      {0, 50, 1, {}, false},
      {10, 50, 0, {}, false, 0},  // last before: the change at tick 0
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from);
    ChannelFile file;
    ChanFields level = Fields(Level);
    level.flags = c.flags;
    file.AddChannel(0, level,
                    {orfxtest::MarkerBlock(
                         0, {Mark(c.firstChange, 1), Mark(200, 0), Mark(300, 1), Mark(400, 0)}),
                     orfxtest::MarkerBlock(0, {Mark(500, 1), Mark(600, 0)})});
    TempDir dir;
    auto f = OpenBuilt(file, dir);
    TSTime64 t[10];
    bool got = !c.level;
    const int n = f->ReadLevels(0, t, 10, c.from, c.upto, &got);
    ASSERT_GE(n, 0);
    EXPECT_EQ(std::vector<int64_t>(t, t + n), c.times);
    EXPECT_EQ(got, c.level);
  }
}

// --- Damaged files -------------------------------------------------------------------

TEST(ChannelRead, DamagedBlocksAndIndexBlocksGiveCorrupt) {
  const struct {
    const char* what;
    std::function<void(orfxtest::OrfxImage&, const orfxtest::LaidChannel&)> damage;
  } faults[] = {
      {"block stamped by an earlier reuse",
       [](orfxtest::OrfxImage& im, const orfxtest::LaidChannel& c) {
         le::PutU16(im.At(c.blocks[100] + 10), 7);
       }},
      {"block whose times run back into the block before",
       [](orfxtest::OrfxImage& im, const orfxtest::LaidChannel& c) {
         le::PutI64(im.At(c.blocks[100] + 16), 99000);
       }},
      {"block whose times run on into the next block",
       [](orfxtest::OrfxImage& im, const orfxtest::LaidChannel& c) {
         le::PutI64(im.At(c.blocks[99] + 16 + 8 * 19), 100500);
       }},
      {"blocks overlapping across a level-1 boundary",
       [](orfxtest::OrfxImage& im, const orfxtest::LaidChannel& c) {
         le::PutI64(im.At(c.blocks[254] + 16 + 8 * 19), 255500);
       }},
      {"level-1 index block without entries",
       [](orfxtest::OrfxImage& im, const orfxtest::LaidChannel& c) {
         le::PutU32(im.At(c.tree.nodes[0][1] + 12), 0);
       }},
      {"index entry times that do not match the blocks",
       [](orfxtest::OrfxImage& im, const orfxtest::LaidChannel& c) {
         for (uint32_t e = 0; e < 255; ++e)
           le::PutI64(im.At(c.tree.nodes[0][0] + 16 + 16 * e), 100000LL * e);
       }},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.what);
    ChannelFile file;
    std::vector<Bytes> images;
    for (int k = 0; k < 260; ++k)
      images.push_back(orfxtest::EventBlock(0, Times(1000 * k, 10, 20)));
    const orfxtest::LaidChannel laid = file.AddChannel(0, Fields(EventA), images);
    fault.damage(file.image(), laid);
    TempDir dir;
    auto f = OpenBuilt(file, dir);
    std::vector<TSTime64> t(6000);
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_EQ(f->ReadEvents(0, t.data(), 6000, 0, kMaxTime64, nullptr), kErrCorrupt);
    }
    EXPECT_EQ(f->PrevNTime(0, kMaxTime64, 0, 5000, nullptr, false), kErrCorrupt);
  }
}

}  // namespace
}  // namespace vslk64
