#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filelib/orfx/chan_head.h"
#include "filelib/orfx/channel.h"
#include "filelib/orfx/kel64_file.h"
#include "filelib/orfx/string_table.h"
#include "tests/builder/orfx/orfx_file_builder.h"
#include "tests/support/temp_dir.h"

namespace vslk64 {
namespace {

using orfx_test::ChanFields;
using orfx_test::OrfxFileBuilder;
using testing_support::TempDir;
namespace fh = orfx_test::fh;

std::string Built(OrfxFileBuilder& b, const TempDir& dir) {
  const std::string path = dir.File("c.orfx");
  EXPECT_TRUE(b.Write(path));
  return path;
}

ChanFields Kind(uint8_t kind, int64_t divide = 0, uint16_t rows = 0, uint16_t cols = 0) {
  ChanFields f;
  f.kind = kind;
  f.divide = divide;
  f.rows = rows;
  f.cols = cols;
  return f;
}

TEST(ChanHead, OpenMakesAChannelPerUsableRecord) {
  ChanFields deleted = Kind(ChanOff);
  deleted.delKind = Marker;
  const struct {
    ChanFields fields;
    TDataKind kind;  // ChanOff: no channel object
    int itemSize;
    TSTime64 divide;
  } cases[] = {
      {Kind(Adc, 10), Adc, 2, 10},
      {Kind(EventA), EventA, 8, 0},
      {Kind(EventB), EventB, 8, 0},
      {Kind(Level), Level, 16, 0},
      {Kind(Marker), Marker, 16, 0},
      {Kind(WaveMark, 5, 100, 1), WaveMark, 216, 5},
      {Kind(RealMark, 0, 3, 2), RealMark, 40, 0},
      {Kind(TextMark, 7, 10, 3), TextMark, 32, 0},  // one column, no interval
      {Kind(RealWave, 4), RealWave, 4, 4},
      {Kind(10), ChanOff, 0, 1},                      // no such kind
      {Kind(Adc), ChanOff, 0, 1},                     // no sample interval
      {Kind(WaveMark, 5, 0, 1), ChanOff, 0, 1},       // no points
      {Kind(RealMark, 0, 10000, 10), ChanOff, 0, 1},  // an item larger than a block
      {deleted, ChanOff, 0, 1},
  };
  const size_t n = sizeof cases / sizeof cases[0];
  TempDir dir;
  OrfxFileBuilder b;
  for (size_t i = 0; i < n; ++i) b.SetChannel(static_cast<uint32_t>(i), cases[i].fields);
  const std::string path = Built(b, dir);
  TKel64File file;
  ASSERT_EQ(file.Open(path.c_str(), 1, 0), kOk);
  for (size_t i = 0; i < n; ++i) {
    const uint16_t c = static_cast<uint16_t>(i);
    EXPECT_EQ(file.ChanKind(c), cases[i].kind) << i;
    EXPECT_EQ(file.ChanDivide(c), cases[i].divide) << i;
    EXPECT_EQ(file.ItemSize(c), cases[i].kind ? cases[i].itemSize : kErrNoChannel) << i;
  }
  uint64_t rows = 0, cols = 0;
  EXPECT_EQ(file.GetExtMarkInfo(7, &rows, &cols), 0);
  EXPECT_EQ(rows, 10u);
  EXPECT_EQ(cols, 1u);
  EXPECT_EQ(file.GetFreeChan(), static_cast<int>(n) - 5);
  // Absent channels give their defaults.
  char buf[8];
  double v = 0;
  for (uint16_t c : {uint16_t{n}, uint16_t{32}, uint16_t{0xFFFF}}) {
    EXPECT_EQ(file.ChanKind(c), ChanOff);
    EXPECT_EQ(file.ChanDivide(c), 1);
    EXPECT_EQ(file.ChanBytes(c), 0);
    EXPECT_EQ(file.ChanMaxTime(c), kErrNoChannel);
    EXPECT_EQ(file.GetChanTitle(c, sizeof buf, buf), kErrNoChannel);
    EXPECT_EQ(file.SetChanUnits(c, "V"), kErrNoChannel);
    EXPECT_EQ(file.GetChanScale(c, &v), kErrNoChannel);
    EXPECT_EQ(file.ReadEvents(c, nullptr, 10, 0, 100, nullptr), kErrNoChannel);
    EXPECT_EQ(file.PrevNTime(c, 100, 0, 1, nullptr, false), kErrNoChannel);
  }
  // Empty requests are answered before the channel is looked for.
  EXPECT_EQ(file.ReadEvents(40, nullptr, 0, 0, 100, nullptr), 0);
  EXPECT_EQ(file.ReadWaveS(40, nullptr, 10, 5, 5, nullptr, nullptr), 0);
  EXPECT_EQ(file.PrevNTime(40, 100, 100, 1, nullptr, false), -1);
}

// The record's properties and texts, and the setters' changes kept across
// a commit and a reopen, the table of texts on disk included.
TEST(ChanHead, PropertiesAndTextsComeFromTheRecordAndSettersPersist) {
  TempDir dir;
  OrfxFileBuilder b;
  ChanFields adc = Kind(Adc, 20);
  adc.scale = 2.5;
  adc.yLow = -5;
  adc.yHigh = 5;
  adc.phyChan = 3;
  adc.lastTime = 777;
  adc.blocksUsed = 3;
  adc.titleId = 2;
  adc.unitsId = 1;
  b.SetChannel(0, adc);
  ChanFields ev = Kind(EventA);
  ev.scale = 2.0;  // kinds without a scale report none
  ev.lastTime = 9000;
  b.SetChannel(1, ev);
  ChanFields huge = Kind(Level);
  huge.blocksUsed = UINT64_MAX / 2;
  b.SetChannel(2, huge);
  ChanFields mark = Kind(Marker);
  mark.unitsId = 1;
  b.SetChannel(3, mark);
  b.SetString(1, "\xC2\xB5V", 2);  // µV, shared by channels 0 and 3
  b.SetString(2, "Input");
  b.SetString(4, "a comment");  // identifier 3 is free
  b.SetHeadU32(fh::kCommentIds + 4 * 2, 4);
  b.SetHeadI64(fh::kMaxTime, -1);
  const std::string path = Built(b, dir);
  char buf[16];
  {
    TKel64File file;
    ASSERT_EQ(file.Open(path.c_str(), 0, 0), kOk);
    double scale = 0, low = 0, high = 0;
    EXPECT_EQ(file.GetChanYRange(0, &low, &high), kOk);
    EXPECT_EQ(high, 5.0);
    EXPECT_EQ(file.PhyChan(0), 3);
    EXPECT_EQ(file.ChanMaxTime(0), 777);
    EXPECT_EQ(file.ChanBytes(0), 3 * 65536);
    EXPECT_EQ(file.ChanBytes(2), kErrCorrupt);  // a block count that overflows
    EXPECT_EQ(file.GetChanScale(1, &scale), kOk);
    EXPECT_EQ(scale, 1.0);
    EXPECT_EQ(file.MaxTime(false), 9000);  // no stored maximum: the channels are asked
    EXPECT_EQ(file.GetChanTitle(0, sizeof buf, buf), 6);
    EXPECT_STREQ(buf, "Input");
    EXPECT_EQ(file.GetChanUnits(3, 2, buf), 4);
    EXPECT_STREQ(buf, "");  // the two-byte µ does not fit beside the zero byte
    EXPECT_EQ(file.GetChanUnits(3, 3, buf), 4);
    EXPECT_STREQ(buf, "\xC2\xB5");
    EXPECT_EQ(file.GetChanComment(3, sizeof buf, buf), 1);
    EXPECT_EQ(file.GetFileComment(2, sizeof buf, buf), 10);
    EXPECT_STREQ(buf, "a comment");

    EXPECT_EQ(file.SetChanScale(0, 0.0), kOk);  // ignored
    EXPECT_EQ(file.SetChanYRange(0, 3.0, 3.0), kErrBadArg);
    EXPECT_EQ(file.SetInitLevel(0, true), kErrWrongKind);
    EXPECT_FALSE(file.IsModified());
    EXPECT_EQ(file.SetChanOffset(0, 0.25), kOk);
    EXPECT_EQ(file.SetChanYRange(0, -2.0, 4.0), kOk);
    EXPECT_EQ(file.IdealRate(0, 1000.0), 0.0);  // returns the old rate
    EXPECT_EQ(file.SetInitLevel(2, true), kOk);
    EXPECT_EQ(file.SetChanUnits(3, "mV"), kOk);
    EXPECT_EQ(file.SetChanTitle(3, "Input"), kOk);
    EXPECT_TRUE(file.IsModified());
    EXPECT_EQ(file.Commit(0), kOk);
    EXPECT_FALSE(file.IsModified());
  }
  TKel64File file;
  ASSERT_EQ(file.Open(path.c_str(), 1, 0), kOk);
  double v = 0, low = 0, high = 0;
  file.GetChanScale(0, &v);
  EXPECT_EQ(v, 2.5);
  file.GetChanOffset(0, &v);
  EXPECT_EQ(v, 0.25);
  file.GetChanYRange(0, &low, &high);
  EXPECT_EQ(low, -2.0);
  EXPECT_EQ(high, 4.0);
  EXPECT_EQ(file.IdealRate(0, -1.0), 1000.0);
  file.GetChanUnits(0, sizeof buf, buf);
  EXPECT_STREQ(buf, "\xC2\xB5V");
  file.GetChanUnits(3, sizeof buf, buf);
  EXPECT_STREQ(buf, "mV");
  file.GetChanTitle(3, sizeof buf, buf);
  EXPECT_STREQ(buf, "Input");
  // The initial level lives in bit 0 of the record's flags.
  std::vector<uint8_t> record(kChanHeadSize);
  ASSERT_EQ(file.ReadHeaderSpace(record.data(), kChanHeadSize, 2048 + 2 * kChanHeadSize), kOk);
  TChanHead h;
  h.Decode(record.data());
  EXPECT_EQ(h.flags, 1u);
  // The table on disk: µV down to one holder, Input up to two, mV in the
  // free identifier 3.
  std::vector<uint8_t> table(4096);
  const uint32_t at = 2048 + 32 * 272;
  ASSERT_EQ(file.ReadHeaderSpace(table.data(), 4, at), kOk);
  const uint32_t words = le::GetU32(table.data());
  ASSERT_EQ(file.ReadHeaderSpace(table.data(), words * 4, at), kOk);
  CStringTable strings;
  ASSERT_TRUE(strings.Parse(table.data(), words));
  EXPECT_EQ(strings.RefCount(1), 1u);
  EXPECT_EQ(strings.RefCount(2), 2u);
  EXPECT_EQ(strings.Lookup(3), "mV");
}

TEST(ChanHead, MalformedStringTablesFailTheOpen) {
  TempDir dir;
  const struct {
    uint32_t at;  // the table's offset, when not the builder's
    std::vector<uint32_t> words;
    int want;
  } cases[] = {
      {0,
       {5, 1, 1, 0x61, 0},
       kErrCorrupt},                       // a table the parser refuses (its own test has the rest)
      {0, {0xFFFFFFFFu, 0}, kErrCorrupt},  // W beyond the header space
      {65536 - 8, {2, 0}, kOk},            // filling the header space to its last byte
  };
  for (const auto& c : cases) {
    OrfxFileBuilder b;
    if (c.at != 0) b.SetHeadU32(fh::kStringsOffset, c.at);
    b.SetStringWords(c.words);
    TKel64File file;
    EXPECT_EQ(file.Open(Built(b, dir).c_str(), 1, 0), c.want) << c.words[0];
    EXPECT_EQ(file.Close(), c.want == kOk ? kOk : kErrNoFile);
  }
}

}  // namespace
}  // namespace vslk64
