// Writing ORF files with the filing library: new-file and channel defaults,
// the block size rule, the version a file is saved as, overwrites, marker
// edits, reuse of deleted blocks, saved lookup tables, failed writes, files
// left by a killed writer, and read-only sessions that leave files as they
// were. Everything written is read back through the library's reader.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "filelib/kel64_types.h"
#include "filelib/le.h"
#include "filelib/orf/kel32_file.h"
#include "filelib/orf/kel_lib.h"
#include "platform/host.h"
#include "tests/orf/orf_fixture.h"
#include "tests/orf/seam_files.h"
#include "tests/support/temp_dir.h"

namespace orf_test {
namespace {

using namespace vslk64;

std::string FileBytes(const std::string& path) {
  std::string bytes;
  EXPECT_TRUE(testing_support::ReadFileBytes(path, &bytes));
  return bytes;
}

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

TEST_F(OrfWriteTest, NewFilesTakeTheirDefaults) {
  const struct {
    int chans;
    uint32_t extra;
    bool large;
    int slots;
    uint32_t area, extraBytes;
  } cases[] = {
      {10, 0, false, 32, 4608, 0},      {451, 0, false, 451, 63488, 0},
      {40, 100, false, 40, 5632, 512},  {32, 65024, true, 32, 4608, 65024},
  };
  // The bytes are read while the file is still open for writing.
  SeamFiles files;
  files.shareReads = true;
  platform::ScopedFileSystem seam(&files);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chans);
    const int f = Create(c.chans, c.extra, c.large);
    ASSERT_GE(f, 0);
    const std::string disk = FileBytes(path_);
    ASSERT_GE(disk.size(), 512 + c.area + c.extraBytes);
    const uint8_t* h = reinterpret_cast<const uint8_t*>(disk.data());
    EXPECT_EQ(le::GetI16(h + 0), c.large ? 9 : 8);
    EXPECT_EQ(0, std::memcmp(h + 2, "(C) VSL 87", 10));
    EXPECT_EQ(0, std::memcmp(h + 12, "00000000", 8));
    EXPECT_EQ(le::GetU16(h + 20), 0);  // tickMultiplier until SetTimeBase
    EXPECT_EQ(le::GetI16(h + 30), c.slots);
    EXPECT_EQ(le::GetU16(h + 32), c.area);
    EXPECT_EQ(le::GetU16(h + 34), c.extraBytes);
    const int64_t firstData = 512 + c.area + c.extraBytes;
    EXPECT_EQ(le::GetI32(h + 26), c.large ? firstData / 512 : firstData);
    EXPECT_EQ(le::GetI32(h + 40), -1);
    EXPECT_EQ(le::GetF64(h + 44), 1e-6);
    EXPECT_EQ(KelChanCount(f), c.slots);
    TKelChanInfo info;
    ASSERT_EQ(KelChanInfo(f, c.slots - 1, &info), 0);
    EXPECT_EQ(info.kind, 0);
    EXPECT_EQ(info.firstBlock, -1);
    EXPECT_EQ(info.nextDeleted, -1);
    EXPECT_EQ(info.maxTime, -1);
    EXPECT_EQ(info.idealRate, 100.0f);
    char text[80];
    KelGetChanComment(f, 0, text, sizeof text);
    EXPECT_STREQ(text, "No comment");
    KelGetChanTitle(f, 0, text, sizeof text);
    EXPECT_STREQ(text, "untitled");
    Close(f);
  }
  EXPECT_EQ(KelCreateFile(dir_.File("x.orf").c_str(), 452, 0, false), kKelNoChannel);
  // 65025 bytes round to 65536, which the 16-bit size cannot hold.
  EXPECT_EQ(KelCreateFile(dir_.File("x.orf").c_str(), 32, 65025, false), kKelBadArg);
}

TEST_F(OrfWriteTest, ChannelBlockSizesFollowTheRule) {
  const int f = Create();
  ASSERT_GE(f, 0);
  KelSetTimeBase(f, 1e-6);
  const struct {
    int kind;
    uint32_t request, blockBytes, items;
  } cases[] = {
      {EventA, 70000, 65023, 16250}, {Adc, 600, 1024, 502},   {Level, 1024, 1024, 250},
      {Marker, 0, 0, 0},             {RealWave, 512, 512, 123}, {EventB, 65024, 65024, 16251},
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
}

// The version a file is saved as follows from what it holds, and each
// version reads back with the fields it keeps.
TEST_F(OrfWriteTest, FilesAreSavedAsTheVersionTheirContentsNeed) {
  const struct {
    const char* what;
    int chans;
    bool setTimeBase;
    std::function<void(int f)> make;
    int version;
  } cases[] = {
      {"events only", 32, true, [](int f) { KelSetEventChan(f, 0, 0, 512, "", "", 10, EventA); }, 3},
      {"events, no time base set", 32, false,
       [](int f) { KelSetEventChan(f, 0, 0, 512, "", "", 10, EventA); }, 3},
      {"waveform", 32, true, [](int f) { KelSetWaveChan(f, 0, 0, 100, 512, "", "", 1, 0, "V"); }, 3},
      {"float waveform", 32, true,
       [](int f) { KelSetRealWaveChan(f, 0, 0, 100, 512, "", "", 1, 0, "V"); }, 6},
      {"300 slots", 300, true, [](int f) { KelSetEventChan(f, 0, 0, 512, "", "", 10, EventA); }, 8},
      {"40 slots", 40, true, [](int f) { KelSetEventChan(f, 0, 0, 512, "", "", 10, EventA); }, 6},
      {"wave marks, 2 traces", 32, true,
       [](int f) { KelSetAdcMarkChan(f, 0, 0, 10, 512, "", "", 1, 0, "V", 1, 8, 2, 2); }, 6},
      {"wave marks, 1 trace", 32, true,
       [](int f) { KelSetAdcMarkChan(f, 0, 0, 10, 512, "", "", 1, 0, "V", 1, 8, 2, 1); }, 4},
      {"text marks", 32, true,
       [](int f) { KelSetTextMarkChan(f, 0, 0, 512, "", "", 1, "", 12); }, 5},
      {"divide beyond 16 bits", 32, true,
       [](int f) { KelSetWaveChan(f, 0, 0, 70000, 512, "", "", 1, 0, "V"); }, 6},
      {"aligned items", 32, true,
       [](int f) {
         KelSetAlignExt(f);
         KelSetEventChan(f, 0, 0, 512, "", "", 10, EventA);
       }, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int f = Create(c.chans);
    ASSERT_GE(f, 0);
    if (c.setTimeBase) KelSetTimeBase(f, 1e-6);
    c.make(f);
    const int kind = KelChanKind(f, 0);
    const int32_t divide = KelChanDivide(f, 0);
    std::vector<uint8_t> items;
    if (kind == Adc) {
      const std::vector<int16_t> s = Ramp(300, -5);
      ASSERT_EQ(KelWriteWave(f, 0, s.data(), 300, 1000), 300);
    } else if (kind == RealWave) {
      const std::vector<float> v = {1.5f, -2.5f, 3.25f};
      ASSERT_EQ(KelWriteRealWave(f, 0, v.data(), 3, 1000), 3);
    } else if (kind >= WaveMark) {
      TKelChanInfo info;
      KelChanInfo(f, 0, &info);
      items.assign(info.itemBytes * 2, 0);
      for (size_t i = 0; i < items.size(); ++i) items[i] = static_cast<uint8_t>(i * 7);
      le::PutI32(&items[0], 1000);
      le::PutI32(&items[info.itemBytes], 2000);
      ASSERT_EQ(KelWriteExtMarks(f, 0, items.data(), 2), 0);
    } else {
      const std::vector<int32_t> t = Times(1000, 400, 3);
      ASSERT_EQ(KelWriteEvents(f, 0, t.data(), 400), 0);
    }
    f = Reopen(f);
    ASSERT_GE(f, 0);
    EXPECT_EQ(KelFileVersion(f), c.version);
    EXPECT_EQ(KelChanKind(f, 0), kind);
    EXPECT_EQ(KelChanDivide(f, 0), divide);
    EXPECT_DOUBLE_EQ(KelGetTimeBase(f) * KelTickMultiplier(f), 1e-6);
    if (kind == Adc) {
      std::vector<int16_t> got(400);
      int32_t first = 0;
      ASSERT_EQ(KelGetWaveData(f, 0, got.data(), 400, 0, 0x7FFFFFFF, &first, nullptr), 300);
      EXPECT_EQ(first, 1000);
      got.resize(300);
      EXPECT_EQ(got, Ramp(300, -5));
    } else if (kind == RealWave) {
      std::vector<float> got(4);
      int32_t first = 0;
      ASSERT_EQ(KelGetRealWaveData(f, 0, got.data(), 4, 0, 0x7FFFFFFF, &first, nullptr), 3);
      EXPECT_EQ(got[2], 3.25f);
    } else if (kind >= WaveMark) {
      std::vector<uint8_t> got(items.size());
      ASSERT_EQ(KelGetExtMarkData(f, 0, got.data(), 2, 0, 0x7FFFFFFF, nullptr), 2);
      EXPECT_EQ(got, items);
    } else {
      EXPECT_EQ(ReadAllEvents(f, 0), Times(1000, 400, 3));
    }
    EXPECT_EQ(KelFileMaxTime(f), KelChanMaxTime(f, 0));
    Close(f);
  }
}

// Data still held in memory reads back with what is on disk, as one
// chain, before and after a commit, from any starting time.
TEST_F(OrfWriteTest, HeldBlocksReadBackBeforeTheyReachTheDisk) {
  for (const int ring : {1, 4}) {
    for (const bool commit : {false, true}) {
      SCOPED_TRACE("ring " + std::to_string(ring) + (commit ? ", committed" : ""));
      const int f = Create();
      ASSERT_GE(f, 0);
      KelSetTimeBase(f, 1e-6);
      ASSERT_EQ(KelSetEventChan(f, 0, 0, 512, "", "", 1, EventA), 0);
      ASSERT_EQ(KelSetWaveChan(f, 1, 0, 10, 512, "", "", 1, 0, "V"), 0);
      ASSERT_EQ(KelSetBuffering(f, -1, static_cast<uint64_t>(ring) * 512), 0);
      const std::vector<int32_t> t = Times(3, 1500, 4);
      const std::vector<int16_t> s = Ramp(2000, 11);
      ASSERT_EQ(KelWriteEvents(f, 0, t.data(), 1000), 0);
      ASSERT_EQ(KelWriteWave(f, 1, s.data(), 1200, 0), 1200);
      if (commit) {
        ASSERT_EQ(KelCommit(f, true, false), 0);
      }
      ASSERT_EQ(KelWriteEvents(f, 0, t.data() + 1000, 500), 0);
      ASSERT_EQ(KelWriteWave(f, 1, s.data() + 1200, 800, 12000), 800);
      for (const int from : {0, 1, 500, 985, 1000, 1499}) {
        std::vector<int32_t> got(1500);
        const int n = KelGetEventData(f, 0, got.data(), 1500, t[from], 0x7FFFFFFF, nullptr, nullptr);
        ASSERT_EQ(n, 1500 - from) << from;
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + n, t.begin() + from)) << from;
        std::vector<int16_t> samples(2000);
        int32_t first = -1;
        const int m = KelGetWaveData(f, 1, samples.data(), 2000, from * 10 + 5, 0x7FFFFFFF, &first, nullptr);
        ASSERT_EQ(m, 2000 - from - 1) << from;
        EXPECT_EQ(first, (from + 1) * 10);
        EXPECT_TRUE(std::equal(samples.begin(), samples.begin() + m, s.begin() + from + 1)) << from;
      }
      // Backward searches from the newest item cross from held blocks to
      // those on disk.
      for (const int n : {1, 100, 400, 1000, 1500}) {
        EXPECT_EQ(KelPrevNTime(f, 0, 0x7FFFFFFF, 0, n, false, nullptr), t[1500 - n]) << n;
        EXPECT_EQ(KelPrevNTime(f, 1, 0x7FFFFFFF, 0, n, false, nullptr), 10 * (2000 - n)) << n;
      }
      Close(f);
    }
  }
}

TEST_F(OrfWriteTest, OverwritesReplaceStoredSamplesAndAppendTheRest) {
  for (const bool closeFirst : {false, true}) {
    SCOPED_TRACE(closeFirst);
    int f = Create();
    ASSERT_GE(f, 0);
    KelSetTimeBase(f, 1e-6);
    ASSERT_EQ(KelSetWaveChan(f, 0, 0, 10, 512, "", "", 1, 0, "V"), 0);  // 246 per block
    // Two runs with a gap: [0, 10000) and [20000, 30000).
    std::vector<int16_t> model(4000, 0);
    std::vector<bool> held(4000, false);
    for (int run = 0; run < 2; ++run) {
      const std::vector<int16_t> s = Ramp(1000, run * 1000);
      ASSERT_EQ(KelWriteWave(f, 0, s.data(), 1000, run * 20000), 1000);
      for (int i = 0; i < 1000; ++i) {
        model[run * 2000 + i] = s[i];
        held[run * 2000 + i] = true;
      }
    }
    if (closeFirst) f = Reopen(f, kKelOpenReadWrite);
    // From 9000 across the gap to past the end: the gap stays empty and
    // the samples after the last are appended.
    const std::vector<int16_t> over = Ramp(2500, 7000);
    ASSERT_EQ(KelWriteWave(f, 0, over.data(), 2500, 9000), 2500);
    for (int i = 0; i < 2500; ++i) {
      const int at = 900 + i;
      if (held[at] || at >= 3000) {
        model[at] = over[i];
        held[at] = true;
      }
    }
    f = Reopen(f);
    std::vector<int16_t> got(4000);
    int32_t first = -1;
    ASSERT_EQ(KelGetWaveData(f, 0, got.data(), 4000, 0, 0x7FFFFFFF, &first, nullptr), 1000);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 1000, model.begin()));
    ASSERT_EQ(KelGetWaveData(f, 0, got.data(), 4000, 10000, 0x7FFFFFFF, &first, nullptr), 1400);
    EXPECT_EQ(first, 20000);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 1400, model.begin() + 2000));
    EXPECT_EQ(KelChanMaxTime(f, 0), 33990);
    Close(f);
  }
}

TEST_F(OrfWriteTest, MarkerEditsKeepTheirNeighboursOrder) {
  int f = Create();
  ASSERT_GE(f, 0);
  ASSERT_EQ(KelSetEventChan(f, 0, 0, 512, "", "", 1, Marker), 0);  // 61 per block
  std::vector<uint8_t> marks(8 * 100);
  for (int i = 0; i < 100; ++i) {
    le::PutI32(&marks[8 * i], 100 + 10 * i);
    marks[8 * i + 4] = static_cast<uint8_t>(i);
  }
  ASSERT_EQ(KelWriteMarkers(f, 0, marks.data(), 100), 0);
  auto edit = [&](int32_t t, int32_t now, uint8_t code, int length) {
    uint8_t item[8] = {};
    le::PutI32(item, now);
    item[4] = code;
    return KelEditMarker(f, 0, t, item, length);
  };
  // Item 60 ends the first block, item 61 starts the second (in memory).
  const struct {
    int32_t t, now;
    int length, result;
  } cases[] = {
      {200, 205, 8, 1},  {210, 205, 8, 0},   {300, 290, 8, 0},  {300, 310, 8, 0},
      {700, 705, 8, 1},  {705, 711, 8, 0},   {710, 705, 8, 0},  {710, 706, 8, 1},
      {999, 1000, 8, 0}, {400, 401, 4, 1},   {500, 500, 3, kKelNoChannel},
  };
  for (const auto& c : cases) EXPECT_EQ(edit(c.t, c.now, 0xEE, c.length), c.result) << c.t;
  f = Reopen(f);
  std::vector<uint8_t> got(8 * 100);
  ASSERT_EQ(KelGetMarkData(f, 0, got.data(), 100, 0, 0x7FFFFFFF, nullptr), 100);
  EXPECT_EQ(le::GetI32(&got[8 * 10]), 205);
  EXPECT_EQ(got[8 * 10 + 4], 0xEE);
  EXPECT_EQ(le::GetI32(&got[8 * 60]), 705);
  EXPECT_EQ(le::GetI32(&got[8 * 61]), 706);
  EXPECT_EQ(le::GetI32(&got[8 * 30]), 401);
  EXPECT_EQ(got[8 * 30 + 4], 30);  // length 4: the time only
  EXPECT_EQ(KelEditMarker(f, 0, 205, got.data(), 8), kKelReadOnly);
}

TEST_F(OrfWriteTest, DeletedChannelsBlocksAreReusedBySlot) {
  int f = Create();
  ASSERT_GE(f, 0);
  ASSERT_EQ(KelSetEventChan(f, 3, 0, 512, "", "", 1, EventA), 0);  // 123 per block
  const std::vector<int32_t> first = Times(0, 1230, 2);
  ASSERT_EQ(KelWriteEvents(f, 3, first.data(), 1230), 0);
  ASSERT_EQ(KelCommit(f, true, false), 0);
  const int64_t size = KelFileBytes(f);
  ASSERT_EQ(KelChanDelete(f, 3), 0);
  TKelChanInfo info;
  ASSERT_EQ(KelChanInfo(f, 3, &info), 0);
  EXPECT_EQ(info.kind, 0);
  EXPECT_EQ(info.deletedCount, 10u);
  ASSERT_EQ(KelSetEventChan(f, 3, 0, 512, "", "", 1, EventB), 0);
  const std::vector<int32_t> second = Times(7, 1100, 5);
  ASSERT_EQ(KelWriteEvents(f, 3, second.data(), 1100), 0);
  f = Reopen(f);
  EXPECT_EQ(KelFileBytes(f), size);  // no new space: the old blocks took the data
  EXPECT_EQ(ReadAllEvents(f, 3), second);
  ASSERT_EQ(KelChanInfo(f, 3, &info), 0);
  EXPECT_EQ(info.deletedCount, 1u);
  // A larger block size drops the reusable chain.
  f = Reopen(f, kKelOpenReadWrite);
  ASSERT_EQ(KelChanDelete(f, 3), 0);
  ASSERT_EQ(KelSetEventChan(f, 3, 0, 1024, "", "", 1, EventA), 0);
  ASSERT_EQ(KelChanInfo(f, 3, &info), 0);
  EXPECT_EQ(info.deletedCount, 0u);
  EXPECT_EQ(info.nextDeleted, -1);
}

TEST_F(OrfWriteTest, EmptiedFilesKeepTheirChannelsAndLoseTheirData) {
  int f = Create();
  ASSERT_GE(f, 0);
  ASSERT_EQ(KelSetEventChan(f, 0, 0, 512, "", "", 1, EventA), 0);
  const std::vector<int32_t> t = Times(0, 500, 1);
  ASSERT_EQ(KelWriteEvents(f, 0, t.data(), 500), 0);
  ASSERT_EQ(KelCommit(f, true, false), 0);
  ASSERT_EQ(KelEmptyFile(f), 0);
  EXPECT_EQ(KelFileBytes(f), 8192);  // 512 + 4608, to the next 4 KiB page
  ASSERT_EQ(KelWriteEvents(f, 0, t.data(), 3), 0);
  f = Reopen(f);
  EXPECT_EQ(ReadAllEvents(f, 0), Times(0, 3, 1));
  EXPECT_EQ(KelEmptyFile(f), kKelReadOnly);
}

// Version-9 files save the lookup tables of long channels, and the next
// open starts with them.
TEST_F(OrfWriteTest, LargeFilesSaveTheirLookupTables) {
  int f = Create(32, 0, true);
  ASSERT_GE(f, 0);
  ASSERT_EQ(KelSetEventChan(f, 0, 0, 512, "", "", 1, EventA), 0);
  ASSERT_EQ(KelSetEventChan(f, 1, 0, 512, "", "", 1, EventA), 0);
  const std::vector<int32_t> t = Times(0, 123 * 200, 1);
  ASSERT_EQ(KelWriteEvents(f, 0, t.data(), static_cast<int>(t.size())), 0);
  ASSERT_EQ(KelWriteEvents(f, 1, t.data(), 123 * 10), 0);  // too short to save
  f = Reopen(f);
  int32_t words[7];
  ASSERT_EQ(KelLookupControl(f, 0, words), 0);
  EXPECT_GE(words[1], 64);
  ASSERT_EQ(KelLookupControl(f, 1, words), 0);
  EXPECT_EQ(words[1], 0);
  EXPECT_EQ(ReadAllEvents(f, 0), t);
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

TEST_F(OrfWriteTest, ReadOnlySessionsLeaveTheFileAsItWas) {
  int f = Create();
  ASSERT_GE(f, 0);
  KelSetTimeBase(f, 1e-6);
  ASSERT_EQ(KelSetEventChan(f, 0, 0, 512, "", "", 1, Level), 0);
  ASSERT_EQ(KelSetWaveChan(f, 1, 0, 10, 512, "", "", 1, 0, "V"), 0);
  const std::vector<int32_t> t = Times(5, 1000, 7);
  ASSERT_EQ(KelWriteEvents(f, 0, t.data(), 1000), 0);
  const std::vector<int16_t> s = Ramp(3000, 1);
  ASSERT_EQ(KelWriteWave(f, 1, s.data(), 3000, 0), 3000);
  Close(f);
  const std::string before = FileBytes(path_);
  f = KelOpenFile(path_.c_str(), kKelOpenReadOnly);
  ASSERT_GE(f, 0);
  EXPECT_EQ(ReadAllEvents(f, 0), t);
  std::vector<int16_t> got(3000);
  int32_t first;
  int level;
  EXPECT_EQ(KelGetWaveData(f, 1, got.data(), 3000, 0, 0x7FFFFFFF, &first, nullptr), 3000);
  EXPECT_EQ(KelGetEventData(f, 0, nullptr, 0, 0, 10, &level, nullptr), 0);
  EXPECT_GE(KelPrevNTime(f, 1, 20000, 0, 10, true, nullptr), 0);
  EXPECT_EQ(KelWriteEvents(f, 0, t.data(), 1), kKelReadOnly);
  EXPECT_EQ(KelSetChanTitle(f, 0, "x"), kKelReadOnly);
  EXPECT_EQ(KelCommit(f, true, true), kKelReadOnly);
  EXPECT_EQ(KelCloseFile(f), 0);
  EXPECT_EQ(FileBytes(path_), before);
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
  void Reopen(int mode = 1) {
    ASSERT_EQ(file_.Close(), kOk);
    ASSERT_EQ(file_.Open(path_.c_str(), mode, 0), kOk);
  }
  std::string path_;
  TKel32File file_;
};

TEST_F(Kel32WriteTest, CreatedFilesAreAlignedAndSavedAsVersionSeven) {
  EXPECT_TRUE(file_.CanWrite());
  EXPECT_EQ(file_.Create(path_.c_str(), 32, 0), kErrChannelUsed);
  ASSERT_EQ(file_.SetExtMarkChan(2, 50, WaveMark, 5, 1, 0, 10, 2), kOk);  // 10 bytes attached
  EXPECT_EQ(file_.ItemSize(2), 32);  // 18 bytes padded to 20, as a TExtMark of 32
  EXPECT_DOUBLE_EQ(file_.GetTimeBase(), 1e-5);
  Reopen();
  EXPECT_EQ(file_.GetVersion(), 7);
  EXPECT_EQ(file_.ItemSize(2), 32);
  EXPECT_FALSE(file_.CanWrite());
  // Extra data: offsets and sizes past 16 bits are bad arguments, others
  // are checked against the area (none here).
  uint8_t byte = 0;
  EXPECT_EQ(file_.SetExtraData(&byte, 1, 0x10000), kErrBadArg);
  EXPECT_EQ(file_.SetExtraData(&byte, 1, 0xFFFF), kErrReadOnly);
  // Too many slots or too much extra data are refused before anything.
  TKel32File other;
  EXPECT_EQ(other.Create(dir_.File("x.orf").c_str(), 452, 0), kErrBadArg);
  EXPECT_EQ(other.Create(dir_.File("x.orf").c_str(), 32, 65536), kErrBadArg);
  TKel32File large(1);
  ASSERT_EQ(large.Create(dir_.File("l.orf").c_str(), 300, 1000), kOk);
  EXPECT_EQ(large.GetExtraDataSize(), 1024u);
  ASSERT_EQ(large.Close(), kOk);
  ASSERT_EQ(large.Open(dir_.File("l.orf").c_str(), 1, 0), kOk);
  EXPECT_EQ(large.GetVersion(), 9);
}

TEST_F(Kel32WriteTest, TimesBeyondThirtyOneBitsStopTheWrite) {
  ASSERT_EQ(file_.SetEventChan(0, 10, EventA, 0), kOk);
  const TSTime64 big = TSTime64(1) << 31;
  const std::vector<TSTime64> times = {5, 9, big - 1, big, big + 5};
  EXPECT_EQ(file_.WriteEvents(0, times.data() + 3, 2), kErrOutOfRange);
  EXPECT_EQ(file_.WriteEvents(0, times.data(), 5), kOk);  // stops before 2^31
  EXPECT_EQ(file_.ChanMaxTime(0), big - 1);
  ASSERT_EQ(file_.SetWaveChan(1, 10, Adc, 0, 0), kOk);
  const std::vector<int16_t> s(100, 7);
  // No sample may pass 0x7FFFFFFE: from 0x7FFFFF00 in steps of 10, 26 fit.
  EXPECT_EQ(file_.WriteWaveS(1, s.data(), 100, 0x7FFFFF00), TSTime64{0x7FFFFF00} + 26 * 10);
  EXPECT_EQ(file_.WriteWaveS(1, s.data(), 1, big), kErrOutOfRange);
  Reopen();
  std::vector<TSTime64> got(8);
  EXPECT_EQ(file_.ReadEvents(0, got.data(), 8, 0, kMaxTime64, nullptr), 3);
  EXPECT_EQ(got[2], big - 1);
}

TEST_F(Kel32WriteTest, TextsAreCutBeforeAHalfCharacter) {
  ASSERT_EQ(file_.SetWaveChan(0, 10, Adc, 0, 0), kOk);
  const struct {
    const char* text;
    const char* stored;
  } cases[] = {
      {"abcdefghijk", "abcdefghi"},           // plain: the field keeps 9
      {"abcdefgh\xC3\xA9xyz", "abcdefgh"},     // byte 9 starts a character: the field cuts it
      {"abcdefg\xE2\x82\xAC", "abcdefg"},      // byte 9 continues one: cut before it
      {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(file_.SetChanTitle(0, c.text), kOk);
    char buf[32];
    EXPECT_EQ(file_.GetChanTitle(0, sizeof buf, buf), 10);
    EXPECT_STREQ(buf, c.stored) << c.text;
  }
  ASSERT_EQ(file_.SetChanUnits(0, "mV\xC3\xA9\xC3\xA9"), kOk);
  char buf[32];
  file_.GetChanUnits(0, sizeof buf, buf);
  EXPECT_STREQ(buf, "mV\xC3\xA9");
  EXPECT_EQ(file_.SetFileComment(9, "x"), kErrBadArg);
  EXPECT_EQ(file_.SetFileComment(6, "x"), kOk);  // not kept by this format
  ASSERT_EQ(file_.SetFileComment(4, "last"), kOk);
  Reopen();
  EXPECT_EQ(file_.GetFileComment(4, sizeof buf, buf), 80);
  EXPECT_STREQ(buf, "last");
}

TEST_F(Kel32WriteTest, BufferingFollowsRatesAndSeconds) {
  ASSERT_EQ(file_.SetWaveChan(0, 10, Adc, 0, 0), kOk);  // 10 kHz at 1e-5 x 10: 20000 bytes/s
  ASSERT_EQ(file_.SetEventChan(1, 100, EventA, 0), kOk);  // 400 bytes/s
  const struct {
    int chan;
    uint64_t bytes;
    double seconds, result;
  } cases[] = {
      {0, 0, 0.0, 0.0},         // no time: the bytes (32768) as they are
      {0, 0, 2.0, 2.0},         // the need, 40000 bytes
      {0, 1000000, 2.0, 2.0},   // more than the need: cut to it
      {0, 10000, 2.0, 0.5},     // less: the seconds it lasts
      {-1, 204000, 5.0, 5.0},   // all channels, 20400 bytes/s: enough for 5 s
      {-1, 20400, 5.0, 1.0},    // too little: the seconds it lasts
      {-1, 0, 0.0, 1000000.0 / 20400.0},
      {5, 0, 1.0, kErrNoChannel},
  };
  for (const auto& c : cases)
    EXPECT_NEAR(file_.SetBuffering(c.chan, c.bytes, c.seconds), c.result, 1e-9) << c.chan << " " << c.bytes;
  // Negative seconds take the last all-channel figure.
  EXPECT_NEAR(file_.SetBuffering(0, 0, -1.0), 1000000.0 / 20400.0, 1e-4);
  Reopen();
  EXPECT_EQ(file_.SetBuffering(0, 0, 1.0), 0.0);  // read-only
}

TEST_F(Kel32WriteTest, MarkersLevelsAndExtendedMarkersRoundTrip) {
  ASSERT_EQ(file_.SetMarkerChan(0, 1, Marker, 0), kOk);
  ASSERT_EQ(file_.SetLevelChan(1, 1, 0), kOk);
  ASSERT_EQ(file_.SetInitLevel(1, true), kOk);
  ASSERT_EQ(file_.SetExtMarkChan(2, 1, RealMark, 3, 1, 0, 1, 0), kOk);
  ASSERT_EQ(file_.SetExtMarkChan(3, 1, TextMark, 6, 1, 0, 1, 0), kOk);
  EXPECT_EQ(file_.SetExtMarkChan(4, 1, WaveMark, 1025, 1, 0, 1, 0), kErrBadArg);
  EXPECT_EQ(file_.SetExtMarkChan(4, 1, WaveMark, 8, 5, 0, 1, 0), kErrBadArg);
  EXPECT_EQ(file_.SetExtMarkChan(4, 1, WaveMark, 8, 1, 0, 1, 9), kErrBadArg);
  EXPECT_EQ(file_.SetExtMarkChan(4, 1, Adc, 8, 1, 0, 1, 0), kErrWrongKind);
  EXPECT_EQ(file_.SetExtMarkChan(5, 1, WaveMark, 1024, 4, 0, 1, 1024), kOk);  // the largest shape
  EXPECT_EQ(file_.SetExtMarkChan(6, 1, WaveMark, 1, 1, 0, 1, 1), kOk);        // and the smallest
  std::vector<TMarker> marks(3);
  for (int i = 0; i < 3; ++i) {
    marks[i].time = 100 * (i + 1);
    std::memcpy(marks[i].code, "\x01\x02\x03\x04", 4);
    marks[i].code[0] = static_cast<uint8_t>(i);
  }
  ASSERT_EQ(file_.WriteMarkers(0, marks.data(), 3), kOk);
  EXPECT_TRUE(file_.IsModified());
  ASSERT_EQ(file_.Commit(0), kOk);
  EXPECT_FALSE(file_.IsModified());
  ASSERT_EQ(file_.WriteMarkers(1, marks.data(), 3), kOk);  // the times of a level channel
  const int size = file_.ItemSize(2);
  ASSERT_EQ(size, 32);  // 16 + 12 bytes of values, rounded to 8
  std::vector<uint8_t> items(static_cast<size_t>(size) * 2, 0);
  for (int i = 0; i < 2; ++i) {
    TMarker m = marks[static_cast<size_t>(i)];
    std::memcpy(&items[static_cast<size_t>(i) * size], &m, sizeof m);
    const float v[3] = {1.5f * i, -2.0f, 3.0f};
    std::memcpy(&items[static_cast<size_t>(i) * size + 16], v, sizeof v);
  }
  ASSERT_EQ(file_.WriteExtMarks(2, reinterpret_cast<const TExtMark*>(items.data()), 2), kOk);
  // EditMarker takes the time and codes, and as much attached data as given.
  TMarker edit = marks[1];
  edit.time = 250;
  edit.code[0] = 9;
  EXPECT_EQ(file_.EditMarker(0, 200, &edit, sizeof edit), 1);
  EXPECT_EQ(file_.EditMarker(0, 200, &edit, sizeof edit), 0);  // nothing at 200 now
  EXPECT_EQ(file_.EditMarker(0, 250, &edit, 4), kErrBadArg);
  Reopen();
  std::vector<TMarker> got(4);
  ASSERT_EQ(file_.ReadMarkers(0, got.data(), 4, 0, kMaxTime64, nullptr), 3);
  EXPECT_EQ(got[1].time, 250);
  EXPECT_EQ(got[1].code[0], 9);
  EXPECT_EQ(got[2].code[3], 4);
  ASSERT_EQ(file_.ReadMarkers(1, got.data(), 4, 0, kMaxTime64, nullptr), 3);
  EXPECT_EQ(got[0].code[0], 0);  // the level before the first change, inverted by SetInitLevel
  EXPECT_EQ(got[1].code[0], 1);
  EXPECT_EQ(file_.WriteExtMarks(2, reinterpret_cast<const TExtMark*>(items.data()), 2), kErrReadOnly);
  std::vector<uint8_t> back(items.size());
  ASSERT_EQ(file_.ReadExtMarks(2, reinterpret_cast<TExtMark*>(back.data()), 2, 0, kMaxTime64, nullptr), 2);
  EXPECT_EQ(back, items);
}

// Backward searches see the blocks a writer still holds in memory as the
// newest part of the channel, before and after they reach the disk.
TEST_F(Kel32WriteTest, BackwardSearchReachesHeldBlocks) {
  ASSERT_EQ(file_.SetEventChan(0, 10, EventA, 0), kOk);
  ASSERT_EQ(file_.SetWaveChan(1, 10, Adc, 0, 0), kOk);
  file_.SetBuffering(-1, 1 << 20, 0.0);
  std::vector<TSTime64> times(30000);
  for (size_t i = 0; i < times.size(); ++i) times[i] = 10 * static_cast<TSTime64>(i + 1);
  ASSERT_EQ(file_.WriteEvents(0, times.data(), 30000), kOk);
  const std::vector<int16_t> s(60000, 3);
  ASSERT_EQ(file_.WriteWaveS(1, s.data(), 60000, 100), 100 + 600000);
  const TSTime64 upto = TSTime64(1) << 30;
  auto check = [&](const char* when) {
    SCOPED_TRACE(when);
    EXPECT_EQ(file_.PrevNTime(0, upto, 0, 1, nullptr, false), 300000);
    EXPECT_EQ(file_.PrevNTime(0, upto, 0, 20000, nullptr, false), 100010);
    EXPECT_EQ(file_.PrevNTime(0, 200005, 0, 3, nullptr, false), 199980);
    EXPECT_EQ(file_.PrevNTime(1, upto, 0, 1, nullptr, false), 600090);
    EXPECT_EQ(file_.PrevNTime(1, upto, 0, 50000, nullptr, false), 100100);
  };
  check("held");
  ASSERT_EQ(file_.Commit(0), kOk);
  check("committed");
}

// Every field of the date survives the write and a reopen.
TEST_F(Kel32WriteTest, TimeDateKeepsEveryField) {
  const TTimeDate set = {1, 2, 3, 4, 5, 6, 2001};
  ASSERT_EQ(file_.TimeDate(nullptr, &set), kOk);
  Reopen();
  TTimeDate got = {};
  ASSERT_EQ(file_.TimeDate(&got, nullptr), 1);  // a date is stored
  EXPECT_EQ(std::memcmp(&got, &set, sizeof got), 0)
      << int(got.hun) << " " << int(got.sec) << " " << int(got.min) << " " << int(got.hour)
      << " " << int(got.day) << " " << int(got.mon) << " " << got.year;
}

// The codes of LatestTime: each refusal says why.
TEST_F(Kel32WriteTest, LatestTimeCodes) {
  ASSERT_EQ(file_.SetEventChan(0, 10, EventA, 0), kOk);
  const struct {
    int chan;
    TSTime64 t;
    int want;
  } cases[] = {
      {0, 100, kOk},
      {-1, 200, kOk},  // every channel
      {0, -1, kOk},
      {1, 100, kErrNoChannel},  // an unused slot
      {40, 100, kErrNoChannel},
      {0, 0x7FFFFFFF, kOk},  // the last tick the format holds
      {0, TSTime64(1) << 31, kErrOutOfRange},
  };
  for (const auto& c : cases) EXPECT_EQ(file_.LatestTime(c.chan, c.t), c.want) << c.chan << " " << c.t;
  Reopen();
  EXPECT_EQ(file_.LatestTime(0, 100), kErrReadOnly);
  TKel32File closed;
  EXPECT_EQ(closed.LatestTime(0, 100), kErrNoFile);
}

}  // namespace
}  // namespace orf_test
