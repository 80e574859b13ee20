#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
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

ChanFields Kind(uint8_t kind) {
  ChanFields f;
  f.kind = kind;
  return f;
}

TEST(ChanHead, FreshRecordIsTheFormatsEmptySlot) {
  std::vector<uint8_t> encoded(kChanHeadSize);
  TChanHead().Encode(encoded.data());
  EXPECT_EQ(encoded, orfx_test::EncodeChannel(ChanFields()));

  ChanFields f;
  f.rootIndex = 0x123456789ULL;
  f.blocksAlloc = 7;
  f.preTrig = 3;
  f.reuseCount = 9;
  f.delKind = 5;
  f.commentId = 11;
  f.idealRate = 1234.5;
  f.yHigh = 8.0;
  f.flags = 1;
  TChanHead h;
  h.Decode(orfx_test::EncodeChannel(f).data());
  EXPECT_EQ(h.rootIndex, f.rootIndex);
  EXPECT_EQ(h.blocksAlloc, 7u);
  EXPECT_EQ(h.preTrig, 3);
  EXPECT_EQ(h.reuseCount, 9);
  EXPECT_EQ(h.delKind, 5);
  EXPECT_EQ(h.commentId, 11u);
  EXPECT_EQ(h.idealRate, 1234.5);
  EXPECT_EQ(h.yHigh, 8.0);
  EXPECT_EQ(h.flags, 1u);
}

TEST(ChanHead, OpenMakesAChannelPerUsableRecord) {
  struct Case {
    ChanFields fields;
    TDataKind kind;  // ChanOff: no channel object
    int itemSize;
    TSTime64 divide;
  };
  std::vector<Case> cases;
  const auto add = [&](ChanFields f, TDataKind kind, int itemSize, TSTime64 divide) {
    cases.push_back({f, kind, itemSize, divide});
  };
  ChanFields f = Kind(Adc);
  f.divide = 10;
  add(f, Adc, 2, 10);
  add(Kind(EventA), EventA, 8, 0);
  add(Kind(EventB), EventB, 8, 0);
  add(Kind(Level), Level, 16, 0);
  add(Kind(Marker), Marker, 16, 0);
  f = Kind(WaveMark);
  f.rows = 100;
  f.cols = 1;
  f.divide = 5;
  add(f, WaveMark, 216, 5);
  f = Kind(RealMark);
  f.rows = 3;
  f.cols = 2;
  add(f, RealMark, 40, 0);
  f = Kind(TextMark);
  f.rows = 10;
  f.cols = 3;
  f.divide = 7;  // text marks are one column, no interval
  add(f, TextMark, 32, 0);
  f = Kind(RealWave);
  f.divide = 4;
  add(f, RealWave, 4, 4);
  add(Kind(10), ChanOff, 0, 1);   // no such kind
  add(Kind(Adc), ChanOff, 0, 1);  // no sample interval
  f = Kind(WaveMark);
  f.cols = 1;
  f.divide = 5;
  add(f, ChanOff, 0, 1);  // no points
  f = Kind(RealMark);
  f.rows = 10000;
  f.cols = 10;
  add(f, ChanOff, 0, 1);  // an item larger than a block
  ChanFields deleted = Kind(ChanOff);
  deleted.delKind = Marker;
  add(deleted, ChanOff, 0, 1);

  TempDir dir;
  OrfxFileBuilder b;
  for (size_t i = 0; i < cases.size(); ++i) b.SetChannel(static_cast<uint32_t>(i), cases[i].fields);
  const std::string path = Built(b, dir);
  TKel64File file;
  ASSERT_EQ(file.Open(path.c_str(), 1, 0), kOk);
  for (size_t i = 0; i < cases.size(); ++i) {
    const uint16_t c = static_cast<uint16_t>(i);
    EXPECT_EQ(file.ChanKind(c), cases[i].kind) << i;
    EXPECT_EQ(file.ChanDivide(c), cases[i].divide) << i;
    EXPECT_EQ(file.ItemSize(c), cases[i].kind ? cases[i].itemSize : kErrNoChannel) << i;
  }
  uint64_t rows = 0, cols = 0;
  EXPECT_EQ(file.GetExtMarkInfo(7, &rows, &cols), 0);
  EXPECT_EQ(rows, 10u);
  EXPECT_EQ(cols, 1u);
  EXPECT_EQ(file.GetFreeChan(), static_cast<int>(cases.size()) - 5);
}

TEST(ChanHead, AbsentChannelsGiveTheirDefaults) {
  TempDir dir;
  OrfxFileBuilder b;
  const std::string path = Built(b, dir);
  TKel64File file;
  ASSERT_EQ(file.Open(path.c_str(), 1, 0), kOk);
  char buf[8];
  double v = 0, w = 0;
  for (uint16_t c : {uint16_t{0}, uint16_t{32}, uint16_t{0xFFFF}}) {
    EXPECT_EQ(file.ChanKind(c), ChanOff);
    EXPECT_EQ(file.ChanDivide(c), 1);
    EXPECT_EQ(file.IdealRate(c, 5.0), 0.0);
    EXPECT_EQ(file.PhyChan(c), kErrNoChannel);
    EXPECT_EQ(file.ChanBytes(c), 0);
    EXPECT_EQ(file.ChanMaxTime(c), kErrNoChannel);
    EXPECT_EQ(file.ItemSize(c), kErrNoChannel);
    EXPECT_EQ(file.GetChanTitle(c, sizeof buf, buf), kErrNoChannel);
    EXPECT_EQ(file.SetChanUnits(c, "V"), kErrNoChannel);
    EXPECT_EQ(file.GetChanScale(c, &v), kErrNoChannel);
    EXPECT_EQ(file.GetChanYRange(c, &v, &w), kErrNoChannel);
    EXPECT_EQ(file.SetInitLevel(c, true), kErrNoChannel);
    EXPECT_EQ(file.GetExtMarkInfo(c, nullptr, nullptr), kErrNoChannel);
    EXPECT_FALSE(file.IsSaving(c));
    EXPECT_EQ(file.ReadEvents(c, nullptr, 10, 0, 100, nullptr), kErrNoChannel);
    EXPECT_EQ(file.PrevNTime(c, 100, 0, 1, nullptr, false), kErrNoChannel);
  }
  // Checks made before the channel is looked for.
  EXPECT_EQ(file.ReadEvents(40, nullptr, 0, 0, 100, nullptr), 0);
  EXPECT_EQ(file.ReadWaveS(40, nullptr, 10, 5, 5, nullptr, nullptr), 0);
  EXPECT_EQ(file.ReadExtMarks(40, nullptr, 10, 0, -1, nullptr), 0);
  EXPECT_EQ(file.PrevNTime(40, 100, 100, 1, nullptr, false), -1);
}

TEST(ChanHead, PropertiesComeFromTheRecord) {
  TempDir dir;
  OrfxFileBuilder b;
  ChanFields adc = Kind(Adc);
  adc.divide = 20;
  adc.scale = 2.5;
  adc.offset = -1.0;
  adc.yLow = -5;
  adc.yHigh = 5;
  adc.idealRate = 50000;
  adc.phyChan = 3;
  adc.lastTime = 777;
  adc.blocksUsed = 3;
  b.SetChannel(0, adc);
  ChanFields ev = Kind(EventA);
  ev.scale = 2.0;
  ev.offset = 1.0;
  ev.lastTime = 9000;  // kinds without a scale report none
  b.SetChannel(1, ev);
  ChanFields wm = Kind(WaveMark);
  wm.rows = 32;
  wm.cols = 4;
  wm.divide = 2;
  wm.preTrig = 10;
  wm.scale = 0.5;
  wm.itemSize = 16 + 32 * 4 * 2;  // consistent, so opening changes nothing
  b.SetChannel(2, wm);
  ChanFields huge = Kind(Marker);
  huge.blocksUsed = UINT64_MAX / 2;
  b.SetChannel(3, huge);
  b.SetHeadI64(fh::kMaxTime, -1);
  const std::string path = Built(b, dir);
  TKel64File file;
  ASSERT_EQ(file.Open(path.c_str(), 1, 0), kOk);

  double scale = 0, offset = 0, low = 0, high = 0;
  EXPECT_EQ(file.GetChanScale(0, &scale), kOk);
  EXPECT_EQ(file.GetChanOffset(0, &offset), kOk);
  EXPECT_EQ(scale, 2.5);
  EXPECT_EQ(offset, -1.0);
  EXPECT_EQ(file.GetChanYRange(0, &low, &high), kOk);
  EXPECT_EQ(low, -5.0);
  EXPECT_EQ(high, 5.0);
  EXPECT_EQ(file.IdealRate(0, -1), 50000.0);
  EXPECT_EQ(file.PhyChan(0), 3);
  EXPECT_EQ(file.ChanMaxTime(0), 777);
  EXPECT_EQ(file.ChanBytes(0), 3 * 65536);
  EXPECT_EQ(file.ChanBytes(3), kErrCorrupt);

  EXPECT_EQ(file.GetChanScale(1, &scale), kOk);
  EXPECT_EQ(file.GetChanOffset(1, &offset), kOk);
  EXPECT_EQ(scale, 1.0);
  EXPECT_EQ(offset, 0.0);

  uint64_t rows = 0, cols = 0;
  EXPECT_EQ(file.GetExtMarkInfo(2, &rows, &cols), 10);
  EXPECT_EQ(rows, 32u);
  EXPECT_EQ(cols, 4u);
  EXPECT_EQ(file.ItemSize(2), 16 + 32 * 4 * 2);
  EXPECT_EQ(file.GetChanScale(2, &scale), kOk);
  EXPECT_EQ(scale, 0.5);

  // With no stored maximum the channels are asked.
  EXPECT_EQ(file.MaxTime(false), 9000);
  EXPECT_FALSE(file.IsModified());
}

TEST(ChanHead, SettersChangeOnlyWhatTheyMayAndPersist) {
  TempDir dir;
  OrfxFileBuilder b;
  ChanFields level = Kind(Level);
  b.SetChannel(0, level);
  ChanFields adc = Kind(Adc);
  adc.divide = 1;
  adc.scale = 2.0;
  b.SetChannel(1, adc);
  const std::string path = Built(b, dir);
  {
    TKel64File file;
    ASSERT_EQ(file.Open(path.c_str(), 0, 0), kOk);
    EXPECT_EQ(file.SetChanScale(1, 0.0), kOk);  // ignored
    EXPECT_EQ(file.SetChanScale(1, 2.0), kOk);  // unchanged
    EXPECT_EQ(file.SetChanYRange(1, 3.0, 3.0), kErrBadArg);
    EXPECT_EQ(file.IdealRate(1, -1.0), 0.0);
    EXPECT_EQ(file.SetInitLevel(1, true), kErrWrongKind);
    EXPECT_FALSE(file.IsModified());

    EXPECT_EQ(file.SetChanOffset(1, 0.25), kOk);
    EXPECT_EQ(file.SetChanYRange(1, -2.0, 4.0), kOk);
    EXPECT_EQ(file.IdealRate(1, 1000.0), 0.0);
    EXPECT_EQ(file.IdealRate(1, -1.0), 1000.0);
    EXPECT_EQ(file.SetInitLevel(0, true), kOk);
    EXPECT_TRUE(file.IsModified());
    EXPECT_EQ(file.Commit(0), kOk);
    EXPECT_FALSE(file.IsModified());
  }
  TKel64File file;
  ASSERT_EQ(file.Open(path.c_str(), 1, 0), kOk);
  double v = 0, low = 0, high = 0;
  file.GetChanScale(1, &v);
  EXPECT_EQ(v, 2.0);
  file.GetChanOffset(1, &v);
  EXPECT_EQ(v, 0.25);
  file.GetChanYRange(1, &low, &high);
  EXPECT_EQ(low, -2.0);
  EXPECT_EQ(high, 4.0);
  EXPECT_EQ(file.IdealRate(1, -1.0), 1000.0);
  // The initial level lives in bit 0 of the record's flags.
  TChanHead h;
  std::vector<uint8_t> record(kChanHeadSize);
  ASSERT_EQ(file.ReadHeaderSpace(record.data(), kChanHeadSize, 2048), kOk);
  h.Decode(record.data());
  EXPECT_EQ(h.flags, 1u);
}

TEST(ChanHead, TextsComeFromTheStringTable) {
  TempDir dir;
  OrfxFileBuilder b;
  ChanFields a = Kind(Adc);
  a.divide = 1;
  a.titleId = 2;
  a.unitsId = 1;
  a.commentId = 4;
  ChanFields c = Kind(Marker);
  c.unitsId = 1;
  b.SetChannel(0, a);
  b.SetChannel(1, c);
  b.SetString(1, "\xC2\xB5V", 2);  // µV, shared by both channels
  b.SetString(2, "Input");
  b.SetString(4, "a comment", 2);  // also file comment 2; identifier 3 is free
  b.SetHeadU32(fh::kCommentIds + 4 * 2, 4);
  const std::string path = Built(b, dir);
  {
    TKel64File file;
    ASSERT_EQ(file.Open(path.c_str(), 0, 0), kOk);
    char buf[16];
    EXPECT_EQ(file.GetChanTitle(0, sizeof buf, buf), 6);
    EXPECT_STREQ(buf, "Input");
    EXPECT_EQ(file.GetChanUnits(1, 2, buf), 4);
    EXPECT_STREQ(buf, "");  // the two-byte µ does not fit beside the zero byte
    EXPECT_EQ(file.GetChanUnits(1, 3, buf), 4);
    EXPECT_STREQ(buf, "\xC2\xB5");
    EXPECT_EQ(file.GetChanUnits(1, 4, buf), 4);
    EXPECT_STREQ(buf, "\xC2\xB5V");
    EXPECT_EQ(file.GetChanComment(0, sizeof buf, buf), 10);
    EXPECT_EQ(file.GetChanComment(1, sizeof buf, buf), 1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(file.GetFileComment(2, sizeof buf, buf), 10);
    EXPECT_STREQ(buf, "a comment");

    EXPECT_EQ(file.SetChanUnits(1, "mV"), kOk);
    EXPECT_EQ(file.SetChanTitle(1, "Input"), kOk);
    EXPECT_EQ(file.SetChanComment(0, nullptr), kOk);
    EXPECT_EQ(file.Close(), kOk);
  }
  TKel64File file;
  ASSERT_EQ(file.Open(path.c_str(), 1, 0), kOk);
  char buf[16];
  file.GetChanUnits(0, sizeof buf, buf);
  EXPECT_STREQ(buf, "\xC2\xB5V");
  file.GetChanUnits(1, sizeof buf, buf);
  EXPECT_STREQ(buf, "mV");
  file.GetChanTitle(1, sizeof buf, buf);
  EXPECT_STREQ(buf, "Input");
  EXPECT_EQ(file.GetChanComment(0, sizeof buf, buf), 1);
  EXPECT_EQ(file.GetFileComment(2, sizeof buf, buf), 10);

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
  EXPECT_EQ(strings.RefCount(4), 1u);
}

TEST(ChanHead, MalformedStringTablesFailTheOpen) {
  TempDir dir;
  const std::vector<std::vector<uint32_t>> tables = {
      {5, 1, 1, 0x61, 0},  // W larger than the entries walked
      {3, 1, 1, 0x61},     // W smaller: the text runs past word W - 1
      {1, 0},              // W below 2
      {0xFFFFFFFFu, 0},    // W beyond the header space
  };
  for (const auto& words : tables) {
    OrfxFileBuilder b;
    b.SetStringWords(words);
    const std::string path = Built(b, dir);
    TKel64File file;
    EXPECT_EQ(file.Open(path.c_str(), 1, 0), kErrCorrupt);
    EXPECT_EQ(file.Close(), kErrNoFile);
  }
  // A table that fills the header space to its last byte is still read.
  OrfxFileBuilder b;
  b.SetHeadU32(fh::kStringsOffset, 65536 - 8);
  b.SetStringWords({2, 0});
  const std::string path = Built(b, dir);
  TKel64File file;
  EXPECT_EQ(file.Open(path.c_str(), 1, 0), kOk);
}

TEST(ChanHead, UndeleteQueriesTheRecord) {
  TempDir dir;
  OrfxFileBuilder b;
  ChanFields deleted = Kind(ChanOff);
  deleted.delKind = Marker;
  b.SetChannel(4, deleted);
  b.SetChannel(5, Kind(EventA));
  const std::string path = Built(b, dir);
  TKel64File file;
  ASSERT_EQ(file.Open(path.c_str(), 1, 0), kOk);
  EXPECT_EQ(file.ChanUndelete(4, 0), Marker);
  EXPECT_EQ(file.ChanUndelete(5, 0), 0);
  EXPECT_EQ(file.ChanUndelete(6, 0), 0);
  EXPECT_EQ(file.ChanUndelete(32, 0), kErrNoChannel);
  EXPECT_EQ(file.ChanUndelete(4, 7), kOk);
}

TEST(ChanHead, WritingOperationsKeepTheirGuards) {
  TempDir dir;
  OrfxFileBuilder b;
  b.SetChannel(0, Kind(EventA));
  const std::string path = Built(b, dir);
  const TSTime64 t = 5;
  TKel64File ro;
  EXPECT_EQ(ro.EmptyFile(), kErrNoFile);
  ASSERT_EQ(ro.Open(path.c_str(), 1, 0), kOk);
  EXPECT_EQ(ro.WriteEvents(0, &t, 1), kErrReadOnly);
  EXPECT_EQ(ro.WriteWaveS(0, nullptr, 0, 7), kErrReadOnly);
  EXPECT_EQ(ro.SetEventChan(1, 10, EventA, 0), kErrReadOnly);
  EXPECT_EQ(ro.EmptyFile(), kErrReadOnly);
  EXPECT_EQ(ro.ChanDelete(0), kErrReadOnly);
  EXPECT_EQ(ro.SetBuffering(-1, 0, 1.0), 0.0);
  EXPECT_EQ(ro.Create(dir.File("n.orfx").c_str(), 32, 0), kErrAlreadyOpen);
  EXPECT_EQ(ro.Close(), kOk);

  TKel64File rw;
  ASSERT_EQ(rw.Open(path.c_str(), 0, 0), kOk);
  EXPECT_EQ(rw.WriteEvents(1, &t, 1), kErrNoChannel);
  EXPECT_EQ(rw.WriteEvents(1, &t, 0), 0);
  EXPECT_EQ(rw.WriteWaveF(1, nullptr, 0, 7), 7);
  EXPECT_EQ(rw.EditMarker(0, t, nullptr, 7), kErrBadArg);
  EXPECT_EQ(rw.SetEventChan(0, 10, EventA, 0), kErrChannelUsed);
  EXPECT_EQ(rw.SetEventChan(32, 10, EventA, 0), kErrNoChannel);
  EXPECT_EQ(rw.SetEventChan(1, 10, RealWave, 0), kErrBadArg);
  EXPECT_EQ(rw.SetMarkerChan(1, 10, EventA, 0), kErrWrongKind);
  EXPECT_EQ(rw.SetExtMarkChan(1, 10, TextMark, 10, 2, 0, 0, 0), kErrBadArg);
  EXPECT_EQ(rw.SetExtMarkChan(1, 10, WaveMark, 10, 1, 0, 0, 0), kErrBadArg);
  EXPECT_EQ(rw.SetExtMarkChan(1, 10, WaveMark, 10, 1, 0, 1, 10), kErrBadArg);
  EXPECT_EQ(rw.SetExtMarkChan(1, 10, Marker, 10, 1, 0, 1, 0), kErrNoChannel);
  EXPECT_EQ(rw.SetWaveChan(0, 10, Adc, 0, 0), kErrChannelUsed);
  EXPECT_EQ(rw.SetBuffering(5, 0, 1.0), static_cast<double>(kErrNoChannel));
  EXPECT_EQ(rw.ChanDelete(9), kErrNoChannel);
}

TEST(ChanHead, ConcurrentPropertyCallsDoNotBlockEachOther) {
  TempDir dir;
  OrfxFileBuilder b;
  for (uint32_t c = 0; c < 4; ++c) b.SetChannel(c, Kind(Marker));
  const std::string path = Built(b, dir);
  TKel64File file;
  ASSERT_EQ(file.Open(path.c_str(), 1, 0), kOk);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&file, t] {
      char buf[32];
      for (int i = 0; i < 2000; ++i) {
        const uint16_t c = static_cast<uint16_t>((t + i) % 4);
        file.SetChanTitle(c, i % 2 ? "odd" : "even");
        file.GetChanTitle(c, sizeof buf, buf);
        file.SetFileComment(t, "comment");
        file.GetTimeBase();
        file.IsModified();
        file.MaxTime(true);
      }
    });
  }
  for (auto& th : threads) th.join();
  char buf[32];
  EXPECT_GT(file.GetChanTitle(0, sizeof buf, buf), 1);
}

}  // namespace
}  // namespace vslk64
