// Opening ORF files: header and channel checks, the upgrade of old versions,
// the file slots, and the header and channel-header accessors.
#include <cstring>

#include "tests/orf/orf_fixture.h"

namespace orf_test {
namespace {

using namespace vslk64;
namespace ob = orf_builder;

// A small file of the given version: an event channel, a waveform channel
// with one block, and a level channel.
ob::OrfFile SmallFile(int version) {
  ob::OrfFile file(version, 32);
  file.chan(0).kind = 2;
  file.chan(1).kind = 1;
  file.chan(1).divide = 4;
  file.chan(3).kind = 4;
  file.AddEvents(0, {10, 20, 30});
  file.AddWave(1, 100, Ramp(10, 0));
  file.AddEvents(3, {5, 15});
  return file;
}

std::string Bytes(int version) { return SmallFile(version).Build(); }

TEST_F(OrfFileTest, OpensEachSupportedVersion) {
  for (int v : {3, 5, 8, 9}) {
    SCOPED_TRACE(v);
    const int f = Open(Bytes(v), "v" + std::to_string(v) + ".orf");
    ASSERT_GE(f, 0);
    EXPECT_EQ(KelFileVersion(f), v);
    EXPECT_EQ(KelChanCount(f), 32);
    EXPECT_EQ(KelChanKind(f, 1), 1);
    EXPECT_EQ(KelChanDivide(f, 1), 4);
    EXPECT_EQ(KelFileMaxTime(f), 136);
    int32_t times[4];
    EXPECT_EQ(KelGetEventData(f, 0, times, 4, 0, 100, nullptr, nullptr), 3);
    Close(f);
  }
}

TEST_F(OrfFileTest, OldVersionsAreUpgradedInMemoryOnly) {
  ob::OrfFile file = SmallFile(3);
  file.timeBase = 5e-3;
  file.adcTicks = 2;  // the divider of 4 is stored as 2 x 2
  file.chan(5).kind = 8;
  file.chan(5).extraBytes = 12;
  file.chan(5).preTrigger = 3;
  std::string bytes = file.Build();
  ob::PutI16(bytes, ob::kHForeignFormat, 1);
  ob::PutI32(bytes, ob::OrfFile::ChanPos(0) + ob::kCMaxTime, 5);  // stale
  ob::PutI32(bytes, ob::kHMaxTime, 7);
  const int f = Open(bytes);
  ASSERT_GE(f, 0);
  EXPECT_EQ(KelFileVersion(f), 3);
  EXPECT_DOUBLE_EQ(KelGetTimeBase(f), 1e-6);
  EXPECT_EQ(KelChanDivide(f, 1), 4);
  TKelChanInfo info;
  ASSERT_EQ(KelChanInfo(f, 5, &info), 0);
  EXPECT_EQ(info.extraBytes, 0u);
  EXPECT_EQ(info.preTrigger, 0);
  EXPECT_EQ(KelChanMaxTime(f, 0), 30);  // recomputed from the last block
  EXPECT_EQ(KelFileMaxTime(f), 136);
  Close(f);
  std::string after;
  ASSERT_TRUE(testing_support::ReadFileBytes(dir_.File("t.orf"), &after));
  EXPECT_EQ(after, bytes);
}

TEST_F(OrfFileTest, VersionFiveKeepsItsMaxTimesAndFixesTheDate) {
  ob::OrfFile file = SmallFile(5);
  file.adcTicks = 4;
  file.chan(6).kind = 6;  // one trace; its divider also counts adcTicks
  file.chan(6).divide = 8;
  file.chan(6).extraBytes = 20;
  const uint8_t badDate[8] = {0, 0, 0, 25, 1, 1, 0xD0, 0x07};  // hour 25 of 2000
  std::memcpy(file.timeDate, badDate, 8);
  std::string bytes = file.Build();
  ob::PutI32(bytes, ob::OrfFile::ChanPos(0) + ob::kCMaxTime, 25);
  const int f = Open(bytes);
  ASSERT_GE(f, 0);
  EXPECT_EQ(KelChanMaxTime(f, 0), 25);  // only versions 1 to 4 recompute
  EXPECT_EQ(KelChanDivide(f, 1), 4);
  EXPECT_EQ(KelChanDivide(f, 6), 8);
  TKelChanInfo info;
  ASSERT_EQ(KelChanInfo(f, 6, &info), 0);
  EXPECT_EQ(info.traces, 1);
  uint8_t date[8];
  EXPECT_EQ(KelTimeDate(f, date, nullptr), 0);  // zeroed as invalid
}

TEST_F(OrfFileTest, AlignmentFlagCountsFromVersionSeven) {
  for (int v : {5, 8}) {
    ob::OrfFile file(v, 32);
    file.alignFlags = 1;
    file.chan(2).kind = 8;
    file.chan(2).extraBytes = 5;
    const int f = Open(file.Build(), "a" + std::to_string(v) + ".orf");
    ASSERT_GE(f, 0);
    TKelChanInfo info;
    ASSERT_EQ(KelChanInfo(f, 2, &info), 0);
    EXPECT_EQ(info.itemBytes, v >= 7 ? 16u : 13u);
  }
}

TEST_F(OrfFileTest, ForeignFormatIsAcceptedOnlyBeforeVersionFour) {
  std::string v3 = Bytes(3);
  ob::PutI16(v3, ob::kHForeignFormat, 1);
  EXPECT_GE(Open(v3, "v3.orf"), 0);
  std::string v4 = Bytes(4);
  ob::PutI16(v4, ob::kHForeignFormat, 1);
  EXPECT_EQ(Open(v4, "v4.orf"), kKelNotOrf);
}

TEST_F(OrfFileTest, HeaderFailuresGiveNotOrfAndWriteNothing) {
  struct Case {
    const char* name;
    int offset;
    int16_t value;
  };
  const Case cases[] = {
      {"chanCount 31", ob::kHChanCount, 31},  {"chanCount 452", ob::kHChanCount, 452},
      {"version 10", ob::kHVersion, 10},      {"version 0", ob::kHVersion, 0},
      {"area bytes", ob::kHChanAreaBytes, 4096}, {"stamp", ob::kHStamp, 0x2020},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = Bytes(8);
    ob::PutI16(bytes, c.offset, c.value);
    EXPECT_EQ(Open(bytes), kKelNotOrf);
    std::string after;
    ASSERT_TRUE(testing_support::ReadFileBytes(dir_.File("t.orf"), &after));
    EXPECT_EQ(after, bytes);
  }
}

TEST_F(OrfFileTest, ChannelFailuresGiveCorrupt) {
  const int64_t ch1 = ob::OrfFile::ChanPos(1);
  const int64_t ch0 = ob::OrfFile::ChanPos(0);
  struct Case {
    const char* name;
    int64_t pos;
    int width;
    int32_t value;
  };
  const Case cases[] = {
      {"kind 10", ch1 + ob::kCKind, 1, 10},
      {"lastBlock beyond the end", ch1 + ob::kCLastBlock, 4, 1 << 30},
      {"divide 0", ch1 + ob::kCDivide, 4, 0},
      {"blocks without a first block", ch0 + ob::kCFirstBlock, 4, -1},
      {"memory reference on disk", ch0 + ob::kCFirstBlock, 4, INT32_MIN + 3},
      {"zero address", ch0 + ob::kCLastBlock, 4, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = Bytes(8);
    if (c.width == 1) {
      bytes[static_cast<size_t>(c.pos)] = static_cast<char>(c.value);
    } else {
      ob::PutI32(bytes, c.pos, c.value);
    }
    EXPECT_EQ(Open(bytes), kKelCorrupt);
  }
}

TEST_F(OrfFileTest, WaveMarkerTracesMustBeOneToFour) {
  for (int traces : {0, 5}) {
    ob::OrfFile file(8, 32);
    file.chan(0).kind = 6;
    file.chan(0).extraBytes = 16;
    file.chan(0).traces = static_cast<uint16_t>(traces);
    EXPECT_EQ(Open(file.Build()), kKelCorrupt);
  }
}

TEST_F(OrfFileTest, OpenModesAndMissingOrShortFiles) {
  const std::string path = Write(Bytes(8));
  EXPECT_EQ(KelOpenFile(dir_.File("none.orf").c_str(), kKelOpenReadOnly), kKelNoFile);
  EXPECT_EQ(KelOpenFile(dir_.File("none.orf").c_str(), kKelOpenReadWrite), kKelNoFile);
  EXPECT_EQ(KelOpenFile(path.c_str(), kKelOpenReadWrite), kKelReadOnly);
  const int f = KelOpenFile(path.c_str(), kKelOpenFallback);
  ASSERT_GE(f, 0);
  EXPECT_EQ(KelIsReadOnly(f), 1);
  EXPECT_EQ(KelCloseFile(f), 0);
  EXPECT_EQ(KelCloseFile(f), kKelNoFile);
  EXPECT_EQ(Open(std::string(300, 'x')), kKelRead);
}

TEST_F(OrfFileTest, SlotsRunOutAt256AndAreReused) {
  const std::string path = Write(Bytes(8));
  std::vector<int> files;
  for (int i = 0; i < 256; ++i) {
    const int f = KelOpenFile(path.c_str(), kKelOpenReadOnly);
    ASSERT_EQ(f, i);
    files.push_back(f);
  }
  EXPECT_EQ(KelOpenFile(path.c_str(), kKelOpenReadOnly), kKelNoSlot);
  EXPECT_EQ(KelCloseFile(100), 0);
  EXPECT_EQ(KelOpenFile(path.c_str(), kKelOpenReadOnly), 100);
  for (int f : files) EXPECT_EQ(KelCloseFile(f), 0);
}

TEST_F(OrfFileTest, ReleasedLibraryStartsAfreshOnNextUse) {
  const std::string path = Write(Bytes(8));
  ASSERT_EQ(KelOpenFile(path.c_str(), kKelOpenReadOnly), 0);
  KelReleaseLibrary();
  EXPECT_EQ(KelChanCount(0), kKelNoFile);
  KelInitLibrary();
  const int f = KelOpenFile(path.c_str(), kKelOpenReadOnly);
  EXPECT_EQ(f, 0);
  EXPECT_EQ(KelCloseFile(f), 0);
}

TEST_F(OrfFileTest, FinalLevelComesFromTheLastBlock) {
  for (uint8_t init : {0, 1}) {
    ob::OrfFile file(8, 32);
    file.chan(2).kind = 4;
    file.chan(2).initLevel = init;
    file.chan(3).kind = 4;
    file.chan(3).initLevel = init;
    file.chan(4).kind = 4;
    file.chan(4).initLevel = init;
    file.AddEvents(2, {1, 2, 3});
    file.AddEvents(2, {7, 8, 9, 10, 11});  // eight changes in all: back to the start
    file.AddEvents(3, {4});
    std::string bytes = file.Build();
    for (int c : {2, 3, 4})  // stale final levels
      bytes[static_cast<size_t>(ob::OrfFile::ChanPos(c) + ob::kCFinalLevel)] = static_cast<char>(init ^ 1);
    const int f = Open(bytes);
    ASSERT_GE(f, 0);
    TKelChanInfo info;
    ASSERT_EQ(KelChanInfo(f, 2, &info), 0);
    EXPECT_EQ(info.initLevel, init);
    EXPECT_EQ(info.finalLevel, init);
    ASSERT_EQ(KelChanInfo(f, 3, &info), 0);
    EXPECT_EQ(info.finalLevel, init ^ 1);
    ASSERT_EQ(KelChanInfo(f, 4, &info), 0);  // a level channel without blocks
    EXPECT_EQ(info.finalLevel, init);
    Close(f);
  }
}

TEST_F(OrfFileTest, CountedStringsStopAtTheirLimits) {
  ob::OrfFile file = SmallFile(8);
  file.chan(1).title = "123456789";
  file.chan(1).units = "abcde";
  file.chan(1).comment = std::string(71, 'c');
  file.fileComment[4] = std::string(79, 'f');
  std::string bytes = file.Build();
  bytes[static_cast<size_t>(ob::kHFileComment)] = static_cast<char>(200);
  const int f = Open(bytes);
  ASSERT_GE(f, 0);
  char buf[256];
  EXPECT_EQ(KelGetChanTitle(f, 1, buf, sizeof buf), 9);
  EXPECT_STREQ(buf, "123456789");
  EXPECT_EQ(KelGetChanTitle(f, 1, buf, 4), 3);
  EXPECT_STREQ(buf, "123");
  EXPECT_EQ(KelGetChanUnits(f, 1, buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EQ(KelGetChanUnits(f, 0, buf, sizeof buf), 0);  // events have none
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(KelGetChanComment(f, 1, buf, sizeof buf), 71);
  EXPECT_EQ(KelGetFileComment(f, 4, buf, sizeof buf), 79);
  EXPECT_EQ(KelGetFileComment(f, 0, buf, sizeof buf), 79);  // length byte 200
  EXPECT_EQ(KelGetFileComment(f, 5, buf, sizeof buf), kKelBadArg);
  EXPECT_EQ(KelGetChanTitle(f, 32, buf, sizeof buf), kKelNoChannel);
}

TEST_F(OrfFileTest, TimeDateValidity) {
  const uint8_t good[8] = {99, 59, 59, 23, 31, 12, 0x34, 0x08};  // 2100
  const uint8_t bad[8] = {0, 0, 0, 0, 1, 13, 0xD0, 0x07};        // month 13
  const uint8_t early[8] = {0, 0, 0, 0, 1, 1, 0xBB, 0x07};       // 1979
  EXPECT_EQ(KelDateValidity(good), 1);
  EXPECT_EQ(KelDateValidity(bad), -1);
  EXPECT_EQ(KelDateValidity(early), -1);
  ob::OrfFile file = SmallFile(8);
  std::memcpy(file.timeDate, good, 8);
  const int f = Open(file.Build());
  uint8_t got[8];
  EXPECT_EQ(KelTimeDate(f, got, nullptr), 1);
  EXPECT_EQ(std::memcmp(got, good, 8), 0);
  EXPECT_EQ(KelTimeDate(f, nullptr, bad), kKelBadArg);
  EXPECT_EQ(KelTimeDate(f, nullptr, good), kKelReadOnly);
  uint8_t id[8];
  EXPECT_EQ(KelAppId(f, id, nullptr), 0);
  EXPECT_EQ(std::memcmp(id, "00000000", 8), 0);
  EXPECT_EQ(KelAppId(f, nullptr, id), kKelReadOnly);
}

TEST_F(OrfFileTest, ExtraDataReadsWithinItsArea) {
  ob::OrfFile file(8, 32, 1024);
  file.extraData = {1, 2, 3, 4, 5};
  const int f = Open(file.Build(), "x.orf");
  EXPECT_EQ(KelExtraBytes(f), 1024);
  uint8_t buf[4] = {};
  EXPECT_EQ(KelGetExtraData(f, buf, 3, 2), 0);
  EXPECT_EQ(buf[0], 3);
  EXPECT_EQ(buf[2], 5);
  EXPECT_EQ(KelGetExtraData(f, buf, 4, 1021), kKelExtraRange);
  EXPECT_EQ(KelGetExtraData(f, buf, 4, 1020), 0);
  const int g = Open(Bytes(8), "y.orf");
  EXPECT_EQ(KelGetExtraData(g, buf, 1, 0), kKelExtraRange);
}

TEST_F(OrfFileTest, LargeFilesEndAtTheirSavedTables) {
  ob::OrfFile file(9, 32);
  file.chan(0).kind = 2;
  std::vector<int> blocks;
  for (int i = 0; i < 64; ++i) blocks.push_back(file.AddEvents(0, {10 * i, 10 * i + 1}));
  ob::SavedTable t;
  t.chan = 0;
  t.capacity = 64;
  t.blocks = blocks;
  file.SaveTable(t);
  std::string bytes = file.Build();
  const int32_t lookupAddr = ob::GetI32(bytes, ob::kHLookupAddr);
  ASSERT_GT(lookupAddr, 0);
  int f = Open(bytes, "a.orf");
  EXPECT_EQ(KelFileBytes(f), int64_t{lookupAddr} * 512);
  // Saved tables said to lie at or beyond the end do not move it.
  ob::PutI32(bytes, ob::kHLookupAddr, static_cast<int32_t>(bytes.size() / 512));
  f = Open(bytes, "b.orf");
  EXPECT_EQ(KelFileBytes(f), static_cast<int64_t>(bytes.size()));
}

}  // namespace
}  // namespace orf_test
