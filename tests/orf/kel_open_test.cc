// Opening ORF files: header and channel checks, the upgrade of old versions,
// the file slots, and the header and channel-header accessors.
#include <cstring>

#include "tests/orf/orf_fixture.h"
#include "tests/support/seam_files.h"

namespace orf_test {
namespace {

using namespace vslk64;
using testing_support::SeamFiles;
namespace ob = orf_builder;

// A small file of the given version: an event channel, a waveform channel
// with one block, and a level channel.
ob::OrfFile SmallFile(int version, uint16_t extraBytes = 0) {
  ob::OrfFile file(version, 32, extraBytes);
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

// Each version opens with the fields it keeps: versions 1 to 3 take the
// fixed tick and no attached data, 1 to 4 recompute stale maxTimes, 1 and 2
// counted a waveform divider per sweep of all waveform channels (waveform
// markers kept their own), and the alignment flag pads items from version 7.
// Before version 6 an invalid date reads as none. Final levels come from the
// last block, or the initial level. The open changes nothing on disk.
TEST_F(OrfFileTest, EachVersionOpensWithTheFieldsItKeeps) {
  const struct {
    int version;
    double timeBase;
    int32_t maxTime;
    uint32_t itemBytes;
    int date;
  } cases[] = {{2, 1e-6, 30, 8, 0},
               {3, 1e-6, 30, 8, 0},
               {5, 1e-6, 5, 13, 0},
               {8, 5e-3, 5, 16, -1},
               {9, 5e-3, 5, 16, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    ob::OrfFile file = SmallFile(c.version);
    file.timeBase = 5e-3;
    file.adcTicks = 2;  // old versions store the divider of 4 as 2 x 2
    file.alignFlags = 1;
    file.chan(2).kind = 1;  // a second waveform channel
    file.chan(2).divide = 8;
    file.chan(4).kind = 6;  // a waveform marker channel
    file.chan(4).divide = 2;
    file.chan(5).kind = 8;
    file.chan(5).extraBytes = 5;
    file.chan(3).initLevel = 1;
    file.AddEvents(3, {25});  // three changes in two blocks: low at the end
    file.chan(6).kind = 4;    // no blocks: its initial level
    file.chan(6).initLevel = 1;
    const uint8_t badDate[8] = {0, 0, 0, 25, 1, 1, 0xD0, 0x07};  // hour 25 of 2000
    std::memcpy(file.timeDate, badDate, 8);
    std::string bytes = file.Build();
    if (c.version < 4) ob::PutI16(bytes, ob::kHForeignFormat, 1);   // accepted before version 4
    ob::PutI32(bytes, ob::OrfFile::ChanPos(0) + ob::kCMaxTime, 5);  // stale
    for (int c : {3, 6})                                            // stale final levels
      bytes[static_cast<size_t>(ob::OrfFile::ChanPos(c) + ob::kCFinalLevel)] = c == 3 ? 1 : 0;
    const std::string name = "v" + std::to_string(c.version) + ".orf";
    const int f = Open(bytes, name);
    ASSERT_GE(f, 0);
    EXPECT_EQ(KelFileVersion(f), c.version);
    EXPECT_DOUBLE_EQ(KelGetTimeBase(f), c.timeBase);
    EXPECT_EQ(KelChanDivide(f, 1), 4);
    EXPECT_EQ(KelChanDivide(f, 2), 8);
    EXPECT_EQ(KelChanDivide(f, 4), 2);
    EXPECT_EQ(KelChanMaxTime(f, 0), c.maxTime);
    TKelChanInfo info;
    ASSERT_EQ(KelChanInfo(f, 5, &info), 0);
    EXPECT_EQ(info.itemBytes, c.itemBytes);
    for (int ch : {3, 6}) {
      ASSERT_EQ(KelChanInfo(f, ch, &info), 0);
      EXPECT_EQ(info.finalLevel, ch == 3 ? 0 : 1) << "channel " << ch;
    }
    int32_t times[4];
    EXPECT_EQ(KelGetEventData(f, 0, times, 4, 0, 100, nullptr, nullptr), 3);
    uint8_t date[8];
    EXPECT_EQ(KelTimeDate(f, date, nullptr), c.date);
    Close(f);
    EXPECT_EQ(Disk(name), bytes);
  }
}

// Damaged file headers are not ORF files; damaged channel headers are
// corrupt ones. Either way the open writes nothing.
TEST_F(OrfFileTest, DamagedHeadersFailTheOpenAndWriteNothing) {
  const int64_t ch0 = ob::OrfFile::ChanPos(0), ch1 = ob::OrfFile::ChanPos(1);
  struct Case {
    const char* name;
    int version;
    int64_t pos;
    int32_t value;
    int width;  // bytes written at pos
    int status;
  };
  const Case cases[] = {
      {"chanCount 31", 8, ob::kHChanCount, 31, 2, kKelNotOrf},
      {"chanCount 452", 8, ob::kHChanCount, 452, 2, kKelNotOrf},
      {"version 10", 8, ob::kHVersion, 10, 2, kKelNotOrf},
      {"version 0", 8, ob::kHVersion, 0, 2, kKelNotOrf},
      {"area bytes", 8, ob::kHChanAreaBytes, 4096, 2, kKelNotOrf},
      {"stamp", 8, ob::kHStamp, 0x2020, 2, kKelNotOrf},
      {"foreign format from v4", 4, ob::kHForeignFormat, 1, 2, kKelNotOrf},
      {"kind 10", 8, ch1 + ob::kCKind, 10, 1, kKelCorrupt},
      {"lastBlock beyond the end", 8, ch1 + ob::kCLastBlock, 1 << 30, 4, kKelCorrupt},
      {"divide 0", 8, ch1 + ob::kCDivide, 0, 4, kKelCorrupt},
      {"blocks without a first block", 8, ch0 + ob::kCFirstBlock, -1, 4, kKelCorrupt},
      {"memory reference on disk", 8, ch0 + ob::kCFirstBlock, INT32_MIN + 3, 4, kKelCorrupt},
      {"zero address", 8, ch0 + ob::kCLastBlock, 0, 4, kKelCorrupt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = Bytes(c.version);
    if (c.width == 1) bytes[static_cast<size_t>(c.pos)] = static_cast<char>(c.value);
    if (c.width == 2) ob::PutI16(bytes, c.pos, static_cast<int16_t>(c.value));
    if (c.width == 4) ob::PutI32(bytes, c.pos, c.value);
    EXPECT_EQ(Open(bytes), c.status);
    EXPECT_EQ(Disk(), bytes);
  }
  for (int traces : {0, 5}) {  // waveform markers hold one to four traces
    ob::OrfFile file(8, 32);
    file.chan(0).kind = 6;
    file.chan(0).extraBytes = 16;
    file.chan(0).traces = static_cast<uint16_t>(traces);
    EXPECT_EQ(Open(file.Build()), kKelCorrupt) << traces << " traces";
  }
}

TEST_F(OrfFileTest, OpenModesAndMissingOrShortFiles) {
  const std::string path = Write(Bytes(8));
  EXPECT_EQ(KelOpenFile(dir_.File("none.orf").c_str(), kKelOpenReadOnly), kKelNoFile);
  {
    // A file the user may only read: read-write fails, the fallback reads.
    SeamFiles files;
    files.refuseWriters = true;
    platform::ScopedFileSystem seam(&files);
    EXPECT_EQ(KelOpenFile(path.c_str(), kKelOpenReadWrite), kKelReadOnly);
    const int f = KelOpenFile(path.c_str(), kKelOpenFallback);
    ASSERT_GE(f, 0);
    EXPECT_EQ(KelIsReadOnly(f), 1);
    EXPECT_EQ(KelCloseFile(f), 0);
    EXPECT_EQ(KelCloseFile(f), kKelNoFile);
  }
  for (int mode : {kKelOpenReadWrite, kKelOpenFallback}) {
    const int f = KelOpenFile(path.c_str(), mode);
    ASSERT_GE(f, 0);
    EXPECT_EQ(KelIsReadOnly(f), 0);
    EXPECT_EQ(KelCloseFile(f), 0);
  }
  EXPECT_EQ(Open(std::string(300, 'x')), kKelRead);
}

TEST_F(OrfFileTest, SlotsRunOutAt256AndAreReused) {
  const std::string path = Write(Bytes(8));
  for (int i = 0; i < 256; ++i) ASSERT_EQ(KelOpenFile(path.c_str(), kKelOpenReadOnly), i);
  EXPECT_EQ(KelOpenFile(path.c_str(), kKelOpenReadOnly), kKelNoSlot);
  EXPECT_EQ(KelCloseFile(100), 0);
  EXPECT_EQ(KelOpenFile(path.c_str(), kKelOpenReadOnly), 100);
  for (int f = 0; f < 256; ++f) EXPECT_EQ(KelCloseFile(f), 0);
}

// Counted strings stop at their field and the caller's buffer, a valid
// date reads as stored, extra data reads within its area.
TEST_F(OrfFileTest, HeaderAccessorsStayWithinTheirFields) {
  const uint8_t good[8] = {99, 59, 59, 23, 31, 12, 0x34, 0x08};  // 2100
  const uint8_t bad[8] = {0, 0, 0, 0, 1, 13, 0xD0, 0x07};        // month 13
  const uint8_t early[8] = {0, 0, 0, 0, 1, 1, 0xBB, 0x07};       // 1979
  EXPECT_EQ(KelDateValidity(good), 1);
  EXPECT_EQ(KelDateValidity(bad), -1);
  EXPECT_EQ(KelDateValidity(early), -1);
  ob::OrfFile file = SmallFile(8, 1024);
  file.chan(1).title = "123456789";
  file.chan(1).comment = std::string(71, 'c');
  file.fileComment[4] = std::string(79, 'f');
  std::memcpy(file.timeDate, good, 8);
  file.extraData = {1, 2, 3, 4, 5};
  std::string bytes = file.Build();
  bytes[static_cast<size_t>(ob::kHFileComment)] = static_cast<char>(200);
  const int f = Open(bytes, "x.orf");
  char buf[256];
  EXPECT_EQ(KelGetChanTitle(f, 1, buf, 4), 3);
  EXPECT_STREQ(buf, "123");
  EXPECT_EQ(KelGetChanComment(f, 1, buf, sizeof buf), 71);
  EXPECT_EQ(KelGetFileComment(f, 0, buf, sizeof buf), 79);  // length byte 200
  EXPECT_EQ(KelGetFileComment(f, 5, buf, sizeof buf), kKelBadArg);
  EXPECT_EQ(KelGetChanTitle(f, 32, buf, sizeof buf), kKelNoChannel);
  uint8_t date[8];
  EXPECT_EQ(KelTimeDate(f, date, nullptr), 1);
  EXPECT_EQ(std::memcmp(date, good, 8), 0);
  uint8_t extra[4] = {};
  EXPECT_EQ(KelGetExtraData(f, extra, 3, 2), 0);
  EXPECT_EQ(extra[2], 5);
  EXPECT_EQ(KelGetExtraData(f, extra, 4, 1021), kKelExtraRange);
  EXPECT_EQ(KelGetExtraData(f, extra, 4, 1020), 0);
  EXPECT_EQ(KelGetExtraData(Open(Bytes(8), "y.orf"), extra, 1, 0), kKelExtraRange);
}

}  // namespace
}  // namespace orf_test
