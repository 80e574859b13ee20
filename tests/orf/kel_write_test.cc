// Writing ORF files with the filing library: new-file and channel defaults,
// the block size rule, the version a file is saved as, random writes of
// every kind read back against what was written, reuse of deleted blocks,
// saved lookup tables, failed writes, files left by a killed writer, and the
// refusals of writing calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "filelib/kel64_types.h"
#include "filelib/le.h"
#include "filelib/orf/kel32_file.h"
#include "filelib/orf/kel_lib.h"
#include "platform/host.h"
#include "tests/orf/orf_fixture.h"
#include "tests/support/seam_files.h"
#include "tests/support/temp_dir.h"

namespace orf_test {
namespace {

using namespace vslk64;
using testing_support::SeamFiles;

std::vector<int32_t> Times(int first, int n, int step) {
  std::vector<int32_t> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = first + i * step;
  return v;
}

std::vector<int32_t> ReadAllEvents(int f, int c) {
  std::vector<int32_t> out(1 << 16);
  const int n = KelGetEventData(f, c, out.data(), static_cast<int>(out.size()), 0, 0x7FFFFFFF,
                                nullptr, nullptr);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

class OrfWriteTest : public OrfFileTest {
 protected:
  int Create(int chans = 32, uint32_t extra = 0, bool large = false) {
    path_ = dir_.File("w.orf");
    const int f = KelCreateFile(path_.c_str(), chans, extra, large);
    if (f >= 0) open_.push_back(f);
    return f;
  }
  int Reopen(int f, int mode = kKelOpenReadOnly) {
    Close(f);
    const int g = KelOpenFile(path_.c_str(), mode);
    if (g >= 0) open_.push_back(g);
    return g;
  }
  std::string path_;
};

// A new file, read while still open for writing, is byte for byte the
// builder's empty file of its version, slots and extra data, once the
// builder is told what a fresh file lacks (a tick, complete links) and what
// its unused slots hold (no block size or divider, scale 1, units " Volt").
TEST_F(OrfWriteTest, NewFilesMatchTheBuildersEmptyFile) {
  const struct {
    int chans;
    uint32_t extra;
    bool large;
  } cases[] = {{10, 0, false}, {451, 0, false}, {40, 100, false}, {32, 65024, true}};
  SeamFiles files;
  files.shareReads = true;
  platform::ScopedFileSystem seam(&files);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chans);
    const int f = Create(c.chans, c.extra, c.large);
    ASSERT_GE(f, 0);
    const int slots = std::max(32, c.chans);
    EXPECT_EQ(KelChanCount(f), slots);
    orf_builder::OrfFile file(c.large ? 9 : 8, slots,
                              static_cast<uint16_t>((c.extra + 511) & ~511u));
    file.tickMultiplier = file.adcTicks = file.linksComplete = 0;
    for (int k = 0; k < slots; ++k) file.chan(k).blockBytes = file.chan(k).divide = 0;
    std::string built = file.Build();
    for (int k = 0; k < slots; ++k) {
      built.replace(orf_builder::OrfFile::ChanPos(k) + orf_builder::kCScale, 4,
                    std::string("\0\0\x80\x3f", 4));  // 1.0f
      built.replace(orf_builder::OrfFile::ChanPos(k) + orf_builder::kCUnits, 6, "\x05 Volt");
    }
    const std::string disk = Disk("w.orf");
    ASSERT_EQ(disk.size(), built.size());
    EXPECT_EQ(std::mismatch(disk.begin(), disk.end(), built.begin()).first - disk.begin(),
              static_cast<long>(disk.size()))
        << "the first byte that differs";
    Close(f);
  }
}

TEST_F(OrfWriteTest, ChannelBlockSizesFollowTheRule) {
  const int f = Create();
  ASSERT_GE(f, 0);
  KelSetTimeBase(f, 1e-6);
  const struct {
    int kind;
    uint32_t request, blockBytes, items;
  } cases[] = {
      {EventA, 70000, 65023, 16250}, {Adc, 600, 1024, 502},
      {Level, 1024, 1024, 250},      {Marker, 0, 0, 0},
      {RealWave, 512, 512, 123},     {EventB, 65024, 65024, 16251},
  };
  int c = 0;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.request);
    if (k.kind == Adc) {
      ASSERT_EQ(KelSetWaveChan(f, c, 0, 100, k.request, "", "", 1, 0, "V"), 0);
    } else if (k.kind == RealWave) {
      ASSERT_EQ(KelSetRealWaveChan(f, c, 0, 100, k.request, "", "", 1, 0, "V"), 0);
    } else {
      ASSERT_EQ(KelSetEventChan(f, c, 0, k.request, "", "", 10, k.kind), 0);
    }
    EXPECT_EQ(KelSetEventChan(f, c, 0, 512, "", "", 10, EventA), kKelChanUsed);
    TKelChanInfo info;
    ASSERT_EQ(KelChanInfo(f, c, &info), 0);
    EXPECT_EQ(info.blockBytes, k.blockBytes);
    EXPECT_EQ(info.itemsPerBlock, k.items);
    ++c;
  }
  // Waveform channels know their rate from the tick: 1 / (1e-6 x 100).
  EXPECT_FLOAT_EQ(static_cast<float>(KelIdealRate(f, 1, -1)), 10000.0f);
  EXPECT_EQ(KelSetWaveChan(f, 10, 0, 0, 512, "", "", 1, 0, "V"), kKelBadArg);
  EXPECT_EQ(KelSetAdcMarkChan(f, 10, 0, 10, 512, "", "", 1, 0, "V", 1, 1025, 0, 1), kKelBadArg);
  EXPECT_EQ(KelSetAdcMarkChan(f, 10, 0, 10, 512, "", "", 1, 0, "V", 1, 8, 9, 1), kKelBadArg);
  EXPECT_EQ(KelSetAdcMarkChan(f, 10, 0, 10, 512, "", "", 1, 0, "V", 1, 8, 0, 5), kKelBadArg);
  EXPECT_EQ(KelChanKind(f, 10), 0);
  const uint8_t item[8] = {};
  EXPECT_EQ(KelEditMarker(f, 3, 5, item, 3), kKelNoChannel);  // shorter than a time
  EXPECT_EQ(KelEditMarker(f, 0, 5, item, 8), kKelNoChannel);  // not a marker channel
  EXPECT_EQ(KelCreateFile(dir_.File("x.orf").c_str(), 452, 0, false), kKelNoChannel);
  // 65025 bytes round to 65536, which the 16-bit size cannot hold.
  EXPECT_EQ(KelCreateFile(dir_.File("x.orf").c_str(), 32, 65025, false), kKelBadArg);
}

// The version a file is saved as follows from what it holds, and each
// version reads back with the fields it keeps. (Items of every kind are read
// back by the library writer test and the random-write test below.)
TEST_F(OrfWriteTest, FilesAreSavedAsTheVersionTheirContentsNeed) {
  enum Make { kEvents, kWave, kRealWave, kWaveMarks, kTextMarks, kAligned };
  const struct {
    const char* what;
    int chans;
    bool setTimeBase;
    Make make;
    int arg, version;
  } cases[] = {
      {"events only", 32, true, kEvents, 0, 3},
      {"events, no time base set", 32, false, kEvents, 0, 3},
      {"waveform", 32, true, kWave, 100, 3},
      {"float waveform", 32, true, kRealWave, 0, 6},
      {"300 slots", 300, true, kEvents, 0, 8},
      {"40 slots", 40, true, kEvents, 0, 6},
      {"wave marks, 2 traces", 32, true, kWaveMarks, 2, 6},
      {"wave marks, 1 trace", 32, true, kWaveMarks, 1, 4},
      {"text marks", 32, true, kTextMarks, 0, 5},
      {"divide beyond 16 bits", 32, true, kWave, 65536, 6},
      {"aligned items", 32, true, kAligned, 0, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int f = Create(c.chans);
    ASSERT_GE(f, 0);
    if (c.setTimeBase) KelSetTimeBase(f, 1e-6);
    if (c.make == kAligned) KelSetAlignExt(f);
    if (c.make == kEvents || c.make == kAligned) KelSetEventChan(f, 0, 0, 512, "", "", 10, EventA);
    if (c.make == kWave) KelSetWaveChan(f, 0, 0, c.arg, 512, "", "", 1, 0, "V");
    if (c.make == kRealWave) KelSetRealWaveChan(f, 0, 0, 100, 512, "", "", 1, 0, "V");
    if (c.make == kWaveMarks)
      KelSetAdcMarkChan(f, 0, 0, 10, 512, "", "", 1, 0, "V", 1, 8, 2, c.arg);
    if (c.make == kTextMarks) KelSetTextMarkChan(f, 0, 0, 512, "", "", 1, "", 12);
    const int kind = KelChanKind(f, 0);
    const int32_t divide = KelChanDivide(f, 0);
    f = Reopen(f);
    ASSERT_GE(f, 0);
    EXPECT_EQ(KelFileVersion(f), c.version);
    EXPECT_EQ(KelChanKind(f, 0), kind);
    EXPECT_EQ(KelChanDivide(f, 0), divide);
    EXPECT_DOUBLE_EQ(KelGetTimeBase(f) * KelTickMultiplier(f), 1e-6);
    Close(f);
  }
}

// What the random-write test wrote, as plain lists: events on channel 0,
// whole items on channels 1 (markers, 8 bytes) and 3 (wave marks of 2
// points, 12 bytes), and samples of channel 2 (divide 10) by time.
struct Written {
  std::vector<int32_t> events;
  std::vector<std::vector<uint8_t>> items[4];
  std::map<int32_t, int16_t> wave;
};

constexpr int32_t kEnd = 0x7FFFFFFF;
constexpr size_t kItemBytes[4] = {0, 8, 0, 12};

int32_t Last(const Written& w, int c) {
  if (c == 0) return w.events.empty() ? -1 : w.events.back();
  if (c == 2) return w.wave.empty() ? -1 : w.wave.rbegin()->first;
  return w.items[c].empty() ? -1 : le::GetI32(w.items[c].back().data());
}

// Compares the reads of the open file with what was written: whole
// channels, then reads from random times and backward searches.
void ExpectReadsMatch(int f, const Written& w, uint32_t seed) {
  EXPECT_EQ(ReadAllEvents(f, 0), w.events);
  for (int c : {1, 3}) {
    const std::vector<std::vector<uint8_t>>& want = w.items[c];
    std::vector<uint8_t> got(kItemBytes[c] * (want.size() + 1));
    const int max = static_cast<int>(want.size()) + 1;
    ASSERT_EQ(c == 1 ? KelGetMarkData(f, c, got.data(), max, 0, kEnd, nullptr)
                     : KelGetExtMarkData(f, c, got.data(), max, 0, kEnd, nullptr),
              max - 1);
    for (size_t i = 0; i < want.size(); ++i)
      ASSERT_TRUE(std::equal(want[i].begin(), want[i].end(), &got[kItemBytes[c] * i])) << i;
  }
  // A channel's maxTime is its last item's time, also after an edit moved it.
  for (int c = 0; c < 4; ++c)
    EXPECT_TRUE(Last(w, c) < 0 || KelChanMaxTime(f, c) == Last(w, c)) << "channel " << c;
  std::mt19937 rng(seed);
  for (int q = 0; q < 20; ++q) {
    const int32_t from = static_cast<int32_t>(rng() % (std::max(Last(w, 0), Last(w, 2)) + 20u));
    // Ends anywhere, also between the samples of two blocks.
    const int32_t to = from + static_cast<int32_t>(rng() % 3000);
    const int max = 1 + static_cast<int>(rng() % 400);
    const uint32_t n = 1 + rng() % 300;
    // Events in [from, to], at most max; the n-th before `from`, or short
    // of n the channel's first.
    std::vector<int32_t> want, got(static_cast<size_t>(max));
    for (int32_t t : w.events)
      if (t >= from && t <= to && static_cast<int>(want.size()) < max) want.push_back(t);
    got.resize(static_cast<size_t>(
        std::max(0, KelGetEventData(f, 0, got.data(), max, from, to, nullptr, nullptr))));
    EXPECT_EQ(got, want) << from << ".." << to;
    const size_t before = static_cast<size_t>(
        std::lower_bound(w.events.begin(), w.events.end(), from) - w.events.begin());
    EXPECT_EQ(KelPrevNTime(f, 0, from, 0, n, false, nullptr),
              before == 0 ? kKelNoneFound : w.events[before >= n ? before - n : 0]);
    // Samples from the first at or after `from` while they follow on; the
    // n-th back from `from` within its run.
    std::vector<int16_t> wantS, gotS(static_cast<size_t>(max));
    const auto start = w.wave.lower_bound(from);
    for (auto it = start; it != w.wave.end() && it->first <= to && wantS.size() < gotS.size() &&
                          it->first == start->first + 10 * static_cast<int32_t>(wantS.size());
         ++it)
      wantS.push_back(it->second);
    int32_t first = -1;
    gotS.resize(static_cast<size_t>(
        std::max(0, KelGetWaveData(f, 2, gotS.data(), max, from, to, &first, nullptr))));
    EXPECT_EQ(gotS, wantS) << "wave from " << from << " to " << to;
    EXPECT_TRUE(gotS.empty() || first == start->first) << first;
    int32_t wantPrev = kKelNoneFound;
    auto back = start;
    if (back != w.wave.begin()) {
      wantPrev = (--back)->first;
      for (uint32_t k = 1;
           k < n && back != w.wave.begin() && std::prev(back)->first == wantPrev - 10; ++k)
        wantPrev = (--back)->first;
    }
    EXPECT_EQ(KelPrevNTime(f, 2, from, 0, n, false, nullptr), wantPrev) << "wave back " << from;
  }
}

// Every writing call on a read-only file is refused (and, as the caller
// checks, changes nothing).
void ExpectWritesRefused(int f) {
  const int32_t t[1] = {5};
  const uint8_t item[16] = {};
  const int16_t s[1] = {1};
  const float v[1] = {1.0f};
  const std::function<int(int)> calls[] = {
      [&](int g) { return KelCommit(g, true, true); },
      [&](int g) { return KelEmptyFile(g); },
      [&](int g) { return KelSetFileComment(g, 0, "x"); },
      [&](int g) { return KelSetExtraData(g, item, 1, 0); },
      [&](int g) { return KelSetAlignExt(g); },
      [&](int g) { return KelExtendMaxTime(g, 100); },
      [&](int g) { return KelSetChanComment(g, 0, "x"); },
      [&](int g) { return KelSetChanTitle(g, 0, "x"); },
      [&](int g) { return KelSetChanUnits(g, 2, "x"); },
      [&](int g) { return KelSetChanScale(g, 2, 2.0f); },
      [&](int g) { return KelSetChanOffset(g, 2, 2.0f); },
      [&](int g) { return KelSetInitLevel(g, 0, 1); },
      [&](int g) { return KelSetEventChan(g, 9, 0, 512, "", "", 1, EventA); },
      [&](int g) { return KelSetWaveChan(g, 9, 0, 10, 512, "", "", 1, 0, "V"); },
      [&](int g) { return KelChanDelete(g, 0); },
      [&](int g) { return KelWriteEvents(g, 0, t, 1); },
      [&](int g) { return KelWriteMarkers(g, 1, item, 1); },
      [&](int g) { return KelWriteExtMarks(g, 3, item, 1); },
      [&](int g) { return KelWriteWave(g, 2, s, 1, 0); },
      [&](int g) { return KelWriteRealWave(g, 2, v, 1, 0); },
      [&](int g) { return KelEditMarker(g, 1, 5, item, 8); },
      [&](int g) { return KelSetSave(g, 0, 5, false); },
      [&](int g) { return KelSaveRange(g, 0, 5, 9); },
      [&](int g) { return KelLatestTime(g, 0, 5); },
  };
  for (size_t i = 0; i < sizeof calls / sizeof calls[0]; ++i)
    EXPECT_EQ(calls[i](f), kKelReadOnly) << "call " << i;
}

// Random writes of every kind on a created file, with commits and reopens
// at random points, the reads checked against the written lists as the file
// is written and once more read-only, which must leave the bytes unchanged.
TEST_F(OrfWriteTest, RandomWritesReadBackAsWritten) {
  for (uint32_t seed = 1; seed <= 16; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    int f = Create(32, 0, seed % 2 == 0);
    ASSERT_GE(f, 0);
    KelSetTimeBase(f, 1e-6);
    ASSERT_EQ(KelSetEventChan(f, 0, 0, 512, "", "", 1, EventA), 0);     // 123 per block
    ASSERT_EQ(KelSetEventChan(f, 1, 0, 512, "", "", 1, Marker), 0);     // 61 per block
    ASSERT_EQ(KelSetWaveChan(f, 2, 0, 10, 512, "", "", 1, 0, "V"), 0);  // 246 per block
    ASSERT_EQ(KelSetAdcMarkChan(f, 3, 0, 10, 512, "", "", 1, 0, "V", 1, 2, 0, 1), 0);
    ASSERT_EQ(KelSetBuffering(f, -1, static_cast<uint64_t>(pick(1, 4)) * 512), 0);
    Written w;
    uint32_t eventBlockBytes = 512;
    for (int op = 0; op < 120; ++op) {
      SCOPED_TRACE("op " + std::to_string(op));
      const int what = pick(0, 99);
      const int c = pick(0, 1) ? 1 : 3;
      std::vector<std::vector<uint8_t>>& items = w.items[c];
      if (what < 25) {
        std::vector<int32_t> t;
        for (int32_t at = Last(w, 0), k = pick(1, 300); k > 0; --k) t.push_back(at += pick(1, 4));
        ASSERT_EQ(KelWriteEvents(f, 0, t.data(), static_cast<int>(t.size())), 0);
        w.events.insert(w.events.end(), t.begin(), t.end());
      } else if (what < 45) {
        std::vector<uint8_t> bytes;
        for (int32_t at = Last(w, c), k = pick(1, 80); k > 0; --k) {
          items.emplace_back(kItemBytes[c]);
          for (uint8_t& b : items.back()) b = static_cast<uint8_t>(rng());
          le::PutI32(items.back().data(), at += pick(2, 6));
          bytes.insert(bytes.end(), items.back().begin(), items.back().end());
        }
        const int n = static_cast<int>(bytes.size() / kItemBytes[c]);
        ASSERT_EQ(c == 1 ? KelWriteMarkers(f, c, bytes.data(), n)
                         : KelWriteExtMarks(f, c, bytes.data(), n),
                  0);
      } else if (what < 55 && !items.empty()) {
        // An edit that keeps the items in order changes one; any other, or
        // one at a time no item has, none. Mostly items at block ends.
        const int size = static_cast<int>(items.size()), per = c == 1 ? 61 : 41;
        const size_t i = static_cast<size_t>(
            pick(0, 2) == 0
                ? pick(0, size - 1)
                : std::max(0, std::min(size - 1, per * pick(0, size / per) - pick(0, 1))));
        const int32_t t = le::GetI32(items[i].data());
        const int32_t prev = i == 0 ? -1 : le::GetI32(items[i - 1].data());
        const int32_t next = i + 1 == items.size() ? kEnd : le::GetI32(items[i + 1].data());
        std::vector<uint8_t> m(kItemBytes[c], static_cast<uint8_t>(rng()));
        le::PutI32(m.data(), std::max(0, t + pick(-7, 7)));
        const int length = pick(4, static_cast<int>(m.size()));
        const bool held = pick(0, 4) != 0;
        const bool changes = held && le::GetI32(m.data()) > prev && le::GetI32(m.data()) < next;
        ASSERT_EQ(KelEditMarker(f, c, held ? t : Last(w, c) + 1, m.data(), length),
                  changes ? 1 : 0);
        if (changes) std::copy(m.begin(), m.begin() + length, items[i].begin());
      } else if (what < 75) {
        // Appended after a gap, joined to the end, or over the last or
        // earlier stored samples (none is made in a gap) and on past the end.
        const int32_t end = w.wave.empty() ? -10 : Last(w, 2);
        const int how = pick(0, 3);
        const int32_t from = how == 0   ? end + 10 * pick(2, 40)
                             : how == 1 ? end + 10
                             : how == 2 ? std::max(0, end)
                                        : 10 * pick(0, std::max(0, end / 10));
        const std::vector<int16_t> s = Ramp(pick(1, 600), pick(-30000, 30000), pick(1, 5));
        ASSERT_EQ(KelWriteWave(f, 2, s.data(), static_cast<int>(s.size()), from),
                  static_cast<int>(s.size()));
        for (size_t k = 0; k < s.size(); ++k) {
          const int32_t t = from + 10 * static_cast<int32_t>(k);
          if (t > end || w.wave.count(t)) w.wave[t] = s[k];
        }
      } else if (what < 82) {
        ASSERT_EQ(KelCommit(f, true, false), 0);
      } else if (what < 87) {
        f = Reopen(f, kKelOpenReadWrite);
        ASSERT_GE(f, 0);
      } else if (what < 90) {
        // A deleted channel's blocks join those it kept for reuse. Made again
        // with a larger block size it drops them; with the same size it fills
        // them before the file grows.
        ASSERT_EQ(KelCommit(f, true, false), 0);
        TKelChanInfo info;
        ASSERT_EQ(KelChanInfo(f, 0, &info), 0);
        const uint32_t own = info.blockCount, reusable = own + info.deletedCount;
        ASSERT_EQ(KelChanDelete(f, 0), 0);
        ASSERT_EQ(KelChanInfo(f, 0, &info), 0);
        EXPECT_EQ(info.deletedCount, reusable);
        const uint32_t blockBytes = pick(0, 3) == 0 ? 1024 : 512;
        ASSERT_EQ(KelSetEventChan(f, 0, 0, blockBytes, "", "", 1, EventA), 0);
        ASSERT_EQ(KelChanInfo(f, 0, &info), 0);
        EXPECT_TRUE(blockBytes <= eventBlockBytes ||
                    (info.deletedCount == 0 && info.nextDeleted == -1));
        w.events = Times(0, 123 * static_cast<int>(std::min(own, 2u)), 2);
        const int64_t size = KelFileBytes(f);
        ASSERT_EQ(KelWriteEvents(f, 0, w.events.data(), static_cast<int>(w.events.size())), 0);
        ASSERT_EQ(KelCommit(f, true, false), 0);
        EXPECT_TRUE(blockBytes != eventBlockBytes || KelFileBytes(f) == size) << size;
        eventBlockBytes = blockBytes;
      } else if (what < 91) {
        ASSERT_EQ(KelEmptyFile(f), 0);
        EXPECT_EQ(KelFileBytes(f), 8192);  // the header areas, to the next 4 KiB page
        w = Written();
      } else {
        ExpectReadsMatch(f, w, seed * 1000 + op);
      }
    }
    f = Reopen(f);
    ASSERT_GE(f, 0);
    const std::string before = Disk("w.orf");
    ExpectReadsMatch(f, w, seed);
    ExpectWritesRefused(f);
    Close(f);
    EXPECT_EQ(Disk("w.orf"), before);
  }
}

// Version-9 files save the lookup tables of long channels, and the next
// open starts with them.
TEST_F(OrfWriteTest, LargeFilesSaveTheirLookupTables) {
  int f = Create(32, 0, true);
  ASSERT_GE(f, 0);
  ASSERT_EQ(KelSetEventChan(f, 0, 0, 512, "", "", 1, EventA), 0);
  const std::vector<int32_t> t = Times(0, 123 * 200, 1);
  ASSERT_EQ(KelWriteEvents(f, 0, t.data(), static_cast<int>(t.size())), 0);
  f = Reopen(f);
  int32_t words[7];
  ASSERT_EQ(KelLookupControl(f, 0, words), 0);
  EXPECT_GE(words[1], 64);
  // New blocks overwrite the saved tables; the next close saves them anew.
  f = Reopen(f, kKelOpenReadWrite);
  const std::vector<int32_t> more = Times(123 * 200, 123 * 20, 1);
  ASSERT_EQ(KelWriteEvents(f, 0, more.data(), static_cast<int>(more.size())), 0);
  f = Reopen(f);
  ASSERT_EQ(KelLookupControl(f, 0, words), 0);
  EXPECT_GE(words[1], 64);
  EXPECT_EQ(ReadAllEvents(f, 0).size(), 123u * 220);
}

// A block that cannot be written stays in memory and the write says so;
// once the disk takes writes again nothing is lost.
TEST_F(OrfWriteTest, FailedBlockWritesKeepTheBlock) {
  SeamFiles files;
  platform::ScopedFileSystem seam(&files);
  int f = Create();
  ASSERT_GE(f, 0);
  ASSERT_EQ(KelSetEventChan(f, 0, 0, 512, "", "", 1, EventA), 0);
  const std::vector<int32_t> t = Times(0, 400, 1);
  ASSERT_EQ(KelWriteEvents(f, 0, t.data(), 100), 0);  // held in memory
  files.failWrites = true;
  EXPECT_EQ(KelWriteEvents(f, 0, t.data() + 100, 300), kKelWrite);
  EXPECT_EQ(KelCommit(f, true, false), kKelWrite);
  files.failWrites = false;
  // The first 123 went into the full block that failed; it is still there.
  TKelChanInfo info;
  ASSERT_EQ(KelChanInfo(f, 0, &info), 0);
  EXPECT_EQ(info.blockCount, 0u);
  ASSERT_EQ(KelWriteEvents(f, 0, t.data() + 123, 277), 0);
  f = Reopen(f);
  EXPECT_EQ(ReadAllEvents(f, 0), t);
}

// A writer killed after a commit leaves a file that readers refuse until a
// writable open and close repairs it; then every committed item reads back
// and nothing else but items that were written.
TEST_F(OrfWriteTest, FilesOfKilledWritersAreRepairedByAWritableOpen) {
  path_ = dir_.File("killed.orf");
  const std::vector<int32_t> t = Times(10, 20000, 3);
  const int committed = 7000;
  // The writer is a program of its own (killed_writer.cc) that kills itself
  // after the later writes: SIGKILL, or TerminateProcess on Windows.
  const platform::ProgramRun run =
      platform::RunProgram(NSV_ORF_KILLED_WRITER_PATH, {path_, std::to_string(committed)});
  ASSERT_TRUE(run.killed) << "writer exit code " << run.exitCode << "\n" << run.output;

  int f = KelOpenFile(path_.c_str(), kKelOpenReadOnly);
  ASSERT_GE(f, 0);
  open_.push_back(f);
  std::vector<int32_t> got(100);
  EXPECT_EQ(KelGetEventData(f, 2, got.data(), 100, 0, 0x7FFFFFFF, nullptr, nullptr), kKelNoLinks);
  f = Reopen(f, kKelOpenReadWrite);
  ASSERT_GE(f, 0);
  f = Reopen(f);
  const std::vector<int32_t> back = ReadAllEvents(f, 2);
  ASSERT_GE(back.size(), static_cast<size_t>(committed));
  EXPECT_TRUE(std::equal(back.begin(), back.end(), t.begin()));
  EXPECT_EQ(KelChanMaxTime(f, 2), back.back());
}

// TKel32File's writing side: the conversions of times and items to the
// format's 32-bit ones, text trimming, the buffering arithmetic and the
// argument checks, read back through the same object.
class Kel32WriteTest : public OrfFileTest {
 protected:
  void SetUp() override {
    path_ = dir_.File("w.orf");
    ASSERT_EQ(file_.Create(path_.c_str(), 32, 0), kOk);
    file_.SetTimeBase(1e-5);
  }
  void Reopen() {
    ASSERT_EQ(file_.Close(), kOk);
    ASSERT_EQ(file_.Open(path_.c_str(), 1, 0), kOk);
  }
  std::string path_;
  TKel32File file_;
};

// Scale and offset belong to waveform channels (an event channel has
// neither). (The date is read back by the library writer test.)
TEST_F(Kel32WriteTest, CreatedFilesKeepTheirSettings) {
  EXPECT_TRUE(file_.CanWrite());
  ASSERT_EQ(file_.SetExtMarkChan(2, 50, WaveMark, 5, 1, 0, 10, 2), kOk);  // 10 bytes attached
  EXPECT_EQ(file_.ItemSize(2), 32);  // 18 bytes padded to 20, as a TExtMark of 32
  ASSERT_EQ(file_.SetWaveChan(0, 10, Adc, 0, 0), kOk);
  ASSERT_EQ(file_.SetEventChan(1, 0, EventA, 0), kOk);
  for (uint16_t c : {0, 1}) EXPECT_EQ(file_.SetChanScale(c, 2.5) + file_.SetChanOffset(c, -1.5), 0);
  Reopen();  // the versions saved are checked by the library writer test
  EXPECT_EQ(file_.ItemSize(2), 32);
  EXPECT_FALSE(file_.CanWrite());
  const double want[2][2] = {{2.5, -1.5}, {1, 0}};
  for (uint16_t c : {0, 1}) {
    double got[2] = {0, 7};
    file_.GetChanScale(c, &got[0]);
    file_.GetChanOffset(c, &got[1]);
    EXPECT_TRUE(got[0] == want[c][0] && got[1] == want[c][1])
        << c << ": " << got[0] << " " << got[1];
  }
}

// Each call the file cannot carry out says why: times from 2^31 on (also
// exactly there), items a channel cannot hold, arguments past the format's
// fields, and any call on a file that is not open.
TEST_F(Kel32WriteTest, CallsTheFileCannotMeetAreRefused) {
  ASSERT_EQ(file_.SetEventChan(0, 10, EventA, 0), kOk);
  const TSTime64 big = TSTime64(1) << 31;
  const std::vector<TSTime64> times = {5, 9, big - 1, big, big + 5};
  EXPECT_EQ(file_.WriteEvents(0, times.data(), 5), kOk);  // stops before 2^31
  EXPECT_EQ(file_.ChanMaxTime(0), big - 1);
  ASSERT_EQ(file_.SetWaveChan(1, 10, Adc, 0, 0), kOk);
  const std::vector<int16_t> s(100, 7);
  // No sample may pass 0x7FFFFFFE: from 0x7FFFFF00 in steps of 10, 26 fit.
  EXPECT_EQ(file_.WriteWaveS(1, s.data(), 100, 0x7FFFFF00), TSTime64{0x7FFFFF00} + 26 * 10);
  TKel32File closed;
  TTimeDate date = {9, 9, 9, 9, 9, 9, 9};  // a file that is not open leaves it as it was
  uint8_t byte = 0;
  TExtMark mark[2] = {};
  const struct {
    std::function<TSTime64()> call;
    TSTime64 want;
  } calls[] = {
      {[&] { return file_.WriteEvents(0, times.data() + 3, 2); }, kErrOutOfRange},
      {[&] { return file_.WriteWaveS(1, s.data(), 1, big); }, kErrOutOfRange},
      {[&] { return file_.PrevNTime(0, 100, big, 1, nullptr, false); }, kErrOutOfRange},
      {[&] { return file_.WriteExtMarks(0, mark, 1); }, kErrNoChannel},  // 8-byte items
      {[&] { return file_.LatestTime(0, 100); }, kOk},
      {[&] { return file_.LatestTime(-1, 200); }, kOk},  // every channel
      {[&] { return file_.LatestTime(0, -1); }, kOk},
      {[&] { return file_.LatestTime(2, 100); }, kErrNoChannel},  // an unused slot
      {[&] { return file_.LatestTime(40, 100); }, kErrNoChannel},
      {[&] { return file_.LatestTime(0, 0x7FFFFFFF); }, kOk},  // the last tick the format holds
      {[&] { return file_.LatestTime(0, big); }, kErrOutOfRange},
      {[&] { return file_.Create(path_.c_str(), 32, 0); }, kErrChannelUsed},
      {[&] { return file_.SetFileComment(9, "x"); }, kErrBadArg},
      {[&] { return file_.SetFileComment(6, "x"); }, kOk},  // not kept by this format
      // Extra data: offsets and sizes past 16 bits are bad arguments, others
      // are checked against the area (none here).
      {[&] { return file_.SetExtraData(&byte, 1, 0x10000); }, kErrBadArg},
      {[&] { return file_.SetExtraData(&byte, 1, 0xFFFF); }, kErrExtraRange},
      {[&] { return file_.SetBuffering(5, 0, 1.0); }, kErrNoChannel},
      {[&] { return closed.Create(dir_.File("x.orf").c_str(), 452, 0); }, kErrBadArg},
      {[&] { return closed.Create(dir_.File("x.orf").c_str(), 32, 65536); }, kErrBadArg},
      {[&] { return closed.LatestTime(0, 100); }, kErrNoFile},
      {[&] { return closed.Commit(0); }, kErrNoFile},
      {[&] { return closed.TimeDate(&date, nullptr); }, kErrNoFile},
  };
  for (size_t i = 0; i < sizeof calls / sizeof calls[0]; ++i)
    EXPECT_EQ(calls[i].call(), calls[i].want) << "call " << i;
  EXPECT_TRUE(date.min == 9 && date.year == 9 && date.hun == 9);
  Reopen();
  std::vector<TSTime64> got(8);
  EXPECT_EQ(file_.ReadEvents(0, got.data(), 8, 0, kMaxTime64, nullptr), 3);
  EXPECT_EQ(got[2], big - 1);
  EXPECT_EQ(file_.LatestTime(0, 100), kErrReadOnly);
}

TEST_F(Kel32WriteTest, TextsAreCutBeforeAHalfCharacter) {
  ASSERT_EQ(file_.SetWaveChan(0, 10, Adc, 0, 0), kOk);
  const struct {
    const char* text;
    const char* stored;
  } cases[] = {
      {"abcdefghijk", "abcdefghi"},         // plain: the field keeps 9
      {"abcdefgh\xC3\xA9xyz", "abcdefgh"},  // byte 9 starts a character: the field cuts it
      {"abcdefg\xE2\x82\xAC", "abcdefg"},   // byte 9 continues one: cut before it
      {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"},
  };
  char buf[32];
  for (const auto& c : cases) {
    ASSERT_EQ(file_.SetChanTitle(0, c.text), kOk);
    EXPECT_EQ(file_.GetChanTitle(0, sizeof buf, buf), 10);
    EXPECT_STREQ(buf, c.stored) << c.text;
  }
  ASSERT_EQ(file_.SetChanUnits(0, "mV\xC3\xA9\xC3\xA9"), kOk);
  file_.GetChanUnits(0, sizeof buf, buf);
  EXPECT_STREQ(buf, "mV\xC3\xA9");
  ASSERT_EQ(file_.SetFileComment(4, "last"), kOk);
  Reopen();
  EXPECT_EQ(file_.GetFileComment(4, sizeof buf, buf), 80);
  EXPECT_STREQ(buf, "last");
}

TEST_F(Kel32WriteTest, BufferingFollowsRatesAndSeconds) {
  ASSERT_EQ(file_.SetWaveChan(0, 10, Adc, 0, 0), kOk);    // 10 kHz at 1e-5 x 10: 20000 bytes/s
  ASSERT_EQ(file_.SetEventChan(1, 100, EventA, 0), kOk);  // 400 bytes/s
  const struct {
    int chan;
    uint64_t bytes;
    double seconds, result;
  } cases[] = {
      {0, 0, 0.0, 0.0},        // no time: the bytes (32768) as they are
      {0, 0, 2.0, 2.0},        // the need, 40000 bytes
      {0, 1000000, 2.0, 2.0},  // more than the need: cut to it
      {0, 10000, 2.0, 0.5},    // less: the seconds it lasts
      {-1, 204000, 5.0, 5.0},  // all channels, 20400 bytes/s: enough for 5 s
      {-1, 20400, 5.0, 1.0},   // too little: the seconds it lasts
      {-1, 0, 0.0, 1000000.0 / 20400.0},
      {0, 0, -1.0, 1000000.0 / 20400.0},  // negative seconds: the last all-channel figure
  };
  for (const auto& c : cases)
    EXPECT_NEAR(file_.SetBuffering(c.chan, c.bytes, c.seconds), c.result, 1e-4)
        << c.chan << " " << c.bytes;
  Reopen();
  EXPECT_EQ(file_.SetBuffering(0, 0, 1.0), 0.0);  // read-only
}

// Item conversions of every kind are read back by the library writer test;
// here the argument checks, the modified flag, EditMarker and a level
// channel's initial level.
TEST_F(Kel32WriteTest, MarkersLevelsAndEdits) {
  ASSERT_EQ(file_.SetMarkerChan(0, 1, Marker, 0), kOk);
  ASSERT_EQ(file_.SetLevelChan(1, 1, 0), kOk);
  ASSERT_EQ(file_.SetInitLevel(1, true), kOk);
  ASSERT_EQ(file_.SetMarkerChan(3, 1, Marker, 0), kOk);
  const struct {
    int chan;
    TDataKind kind;
    int rows, cols, pre, want;
  } shapes[] = {
      {4, WaveMark, 1025, 1, 0, kErrBadArg}, {4, WaveMark, 8, 5, 0, kErrBadArg},
      {4, WaveMark, 8, 1, 9, kErrBadArg},    {4, Adc, 8, 1, 0, kErrWrongKind},
      {5, WaveMark, 1024, 4, 1024, kOk},     {6, WaveMark, 1, 1, 1, kOk},
      {2, RealMark, 3, 1, 0, kOk},
  };
  for (const auto& c : shapes)
    EXPECT_EQ(file_.SetExtMarkChan(c.chan, 1, c.kind, c.rows, c.cols, 0, 1, c.pre), c.want)
        << c.chan << " " << c.rows;
  EXPECT_EQ(file_.ItemSize(2), 32);  // 16 + 12 bytes of values, rounded to 8
  const TMarker marks[3] = {
      {100, {1, 2, 3, 4}, {}}, {200, {1, 2, 3, 4}, {}}, {300, {1, 2, 3, 4}, {}}};
  ASSERT_EQ(file_.WriteMarkers(0, marks, 3), kOk);
  EXPECT_TRUE(file_.IsModified());
  ASSERT_EQ(file_.Commit(0), kOk);
  EXPECT_FALSE(file_.IsModified());
  ASSERT_EQ(file_.WriteMarkers(1, marks, 3), kOk);  // the times of a level channel
  // EditMarker takes the time and codes, and as much attached data as given.
  TMarker edit = {250, {9, 2, 3, 4}, {}};
  EXPECT_EQ(file_.EditMarker(0, 200, &edit, sizeof edit), 1);
  EXPECT_EQ(file_.EditMarker(0, 200, &edit, sizeof edit), 0);  // nothing at 200 now
  EXPECT_EQ(file_.EditMarker(0, 250, &edit, 4), kErrBadArg);
  // A marker at time 0 is edited like any other.
  edit.time = 0;
  ASSERT_EQ(file_.WriteMarkers(3, &edit, 1), kOk);
  EXPECT_EQ(file_.EditMarker(3, 0, &edit, sizeof edit), 1);
  Reopen();
  std::vector<TMarker> got(4);
  ASSERT_EQ(file_.ReadMarkers(0, got.data(), 4, 0, kMaxTime64, nullptr), 3);
  EXPECT_EQ(got[1].time, 250);
  EXPECT_EQ(got[1].code[0], 9);
  EXPECT_EQ(got[2].code[3], 4);
  ASSERT_EQ(file_.ReadMarkers(1, got.data(), 4, 0, kMaxTime64, nullptr), 3);
  EXPECT_EQ(got[0].code[0], 0);  // the level before the first change, inverted by SetInitLevel
  EXPECT_EQ(got[1].code[0], 1);
  EXPECT_EQ(file_.WriteMarkers(0, marks, 1), kErrReadOnly);
}

}  // namespace
}  // namespace orf_test
