// TKel32File: an ORF file through the common interface, with its range,
// record, filter and status conversions.
#include "filelib/orf/kel32_file.h"

#include <cstring>
#include <memory>
#include <random>

#include "tests/orf/orf_fixture.h"

namespace orf_test {
namespace {

using namespace vslk64;
namespace ob = orf_builder;

class Kel32Test : public OrfFileTest {
 protected:
  // Channels: 0 waveform (divide 2, blocks [0, 198], [200, 398], gap,
  // [1000, 1198]), 1 events, 2 level (initial level 1), 3 markers, 4
  // waveform markers with 10 attached bytes, 5 real markers, 6 text
  // markers with 8 characters.
  std::unique_ptr<CKel64File> OpenSample() {
    ob::OrfFile file(8, 40);
    file.timeBase = 1e-5;
    file.tickMultiplier = 3;
    file.chan(0).kind = 1;
    file.chan(0).divide = 2;
    file.chan(0).scale = 3.0f;
    file.chan(0).offset = -1.0f;
    file.chan(0).units = "mV";
    file.chan(0).title = "wave";
    file.chan(0).phyChan = 7;
    file.AddWave(0, 0, Ramp(100, 0));
    file.chan(1).kind = 2;
    file.chan(1).idealRate = 50.0f;
    file.AddEvents(1, {5, 15, 25});
    file.AddWave(0, 200, Ramp(100, 100));
    file.chan(2).kind = 4;
    file.chan(2).initLevel = 1;
    file.AddEvents(2, {10, 20, 30, 40});
    file.chan(3).kind = 5;
    file.AddMarks(3, {{7, {1, 2, 3, 4}, {}}, {9, {5, 6, 7, 8}, {}}});
    file.AddWave(0, 1000, Ramp(100, 500));
    file.chan(4).kind = 6;
    file.chan(4).extraBytes = 10;
    file.chan(4).preTrigger = 2;
    file.AddMarks(4, {{50, {9, 0, 0, 0}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}});
    file.chan(5).kind = 7;
    file.chan(5).extraBytes = 8;
    file.chan(5).minValue = -2.0f;
    file.chan(5).maxValue = 3.0f;
    file.chan(6).kind = 8;
    file.chan(6).extraBytes = 8;
    file.AddMarks(6, {{60, {1, 0, 0, 0}, {'h', 'i'}}, {61, {2, 0, 0, 0}, {'y', 'o'}}});
    file.fileComment[0] = "first";
    std::unique_ptr<CKel64File> k = NewKel32File();
    EXPECT_EQ(k->Open(Write(file.Build()).c_str(), 1, 0), 0);
    return k;
  }
};

TEST_F(Kel32Test, OpenAndCloseReportCommonCodes) {
  std::unique_ptr<CKel64File> k = NewKel32File();
  EXPECT_EQ(k->Close(), kErrNoFile);
  EXPECT_EQ(k->MaxChans(), kErrNoFile);
  EXPECT_EQ(k->ChanKind(0), ChanOff);
  EXPECT_EQ(k->GetTimeBase(), 0.0);
  EXPECT_FALSE(k->CanWrite());
  EXPECT_EQ(k->Open(dir_.File("missing.orf").c_str(), 1, 0), kErrNoFile);
  EXPECT_EQ(k->Open(Write(std::string(1024, '\0'), "zero.orf").c_str(), 1, 0), kErrBadHeader);
  std::unique_ptr<CKel64File> s = OpenSample();
  EXPECT_EQ(s->Open(dir_.File("t.orf").c_str(), 1, 0), kErrChannelUsed);
  EXPECT_EQ(k->Open(dir_.File("t.orf").c_str(), 0, 0), kErrReadOnly);
  EXPECT_EQ(k->Open(dir_.File("t.orf").c_str(), -1, 0), 0);  // falls back to reading
  EXPECT_FALSE(k->CanWrite());
  EXPECT_EQ(k->Close(), 0);
  EXPECT_EQ(s->Close(), 0);
}

TEST_F(Kel32Test, FileAndChannelProperties) {
  std::unique_ptr<CKel64File> k = OpenSample();
  EXPECT_DOUBLE_EQ(k->GetTimeBase(), 3e-5);
  EXPECT_EQ(k->MaxChans(), 40);
  EXPECT_EQ(k->GetVersion(), 8);
  EXPECT_EQ(k->MaxTime(true), 1198);
  EXPECT_EQ(k->GetFreeChan(), 7);
  EXPECT_EQ(k->ChanKind(4), WaveMark);
  EXPECT_EQ(k->ChanKind(40), ChanOff);
  EXPECT_EQ(k->ChanDivide(0), 2);
  EXPECT_EQ(k->ChanDivide(9), 1);
  EXPECT_EQ(k->ChanDivide(40), kErrNoChannel);
  EXPECT_EQ(k->PhyChan(0), 7);
  EXPECT_EQ(k->PhyChan(40), -1);
  EXPECT_FLOAT_EQ(static_cast<float>(k->IdealRate(1, 1000.0)), 50.0f);
  EXPECT_FLOAT_EQ(static_cast<float>(k->IdealRate(1, -1.0)), 50.0f);  // not stored: read-only
  EXPECT_EQ(k->ChanMaxTime(2), 40);
  EXPECT_EQ(k->ChanMaxTime(9), kErrNoChannel);
  EXPECT_EQ(k->ChanBytes(1), 1 * ((1024 - 20) / 4) * 4);
  EXPECT_EQ(k->ChanBytes(9), 0);
  EXPECT_EQ(k->ChanUndelete(9, 0), 0);
  EXPECT_EQ(k->ChanUndelete(9, 1), kErrWrongKind);
  EXPECT_EQ(k->GetExtraDataSize(), 0u);

  double a, b;
  EXPECT_EQ(k->GetChanScale(1, &a), 0);
  EXPECT_EQ(a, 1.0);
  EXPECT_EQ(k->GetChanOffset(1, &a), 0);
  EXPECT_EQ(a, 0.0);
  EXPECT_EQ(k->GetChanScale(0, &a), 0);
  EXPECT_EQ(a, 3.0);
  EXPECT_EQ(k->GetChanYRange(0, &a, &b), 0);
  EXPECT_EQ(a, -16.0);
  EXPECT_EQ(b, 14.0);
  EXPECT_EQ(k->GetChanYRange(1, &a, &b), 0);
  EXPECT_EQ(b, 50.0);
  EXPECT_EQ(k->GetChanYRange(5, &a, &b), 0);
  EXPECT_EQ(a, -2.0);
  EXPECT_EQ(b, 3.0);
  EXPECT_EQ(k->GetChanYRange(9, &a, &b), 0);
  EXPECT_EQ(b, 1.0);

  EXPECT_EQ(k->ItemSize(0), 2);
  EXPECT_EQ(k->ItemSize(1), 8);
  EXPECT_EQ(k->ItemSize(2), 16);
  EXPECT_EQ(k->ItemSize(3), 16);
  EXPECT_EQ(k->ItemSize(4), 32);  // 18 bytes on disk
  EXPECT_EQ(k->ItemSize(6), 24);  // 16 bytes on disk
  EXPECT_EQ(k->ItemSize(9), 0);
  EXPECT_EQ(k->ItemSize(40), kErrNoChannel);

  uint64_t rows = 0, cols = 0;
  EXPECT_EQ(k->GetExtMarkInfo(4, &rows, &cols), 2);
  EXPECT_EQ(rows, 5u);
  EXPECT_EQ(cols, 1u);
  EXPECT_EQ(k->GetExtMarkInfo(6, &rows, &cols), 0);
  EXPECT_EQ(rows, 8u);
}

TEST_F(Kel32Test, TextsReportTheirFieldSizes) {
  std::unique_ptr<CKel64File> k = OpenSample();
  char buf[100];
  EXPECT_EQ(k->GetFileComment(0, sizeof buf, buf), 80);
  EXPECT_STREQ(buf, "first");
  EXPECT_EQ(k->GetFileComment(6, sizeof buf, buf), 80);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(k->GetFileComment(9, sizeof buf, buf), kErrBadArg);
  EXPECT_EQ(k->GetFileComment(0, 0, nullptr), 80);
  EXPECT_EQ(k->GetFileComment(0, 3, buf), 80);
  EXPECT_STREQ(buf, "fi");
  EXPECT_EQ(k->GetChanTitle(0, sizeof buf, buf), 10);
  EXPECT_STREQ(buf, "wave");
  EXPECT_EQ(k->GetChanUnits(0, sizeof buf, buf), 6);
  EXPECT_STREQ(buf, "mV");
  EXPECT_EQ(k->GetChanUnits(1, sizeof buf, buf), 6);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(k->GetChanComment(1, sizeof buf, buf), 72);
  EXPECT_STREQ(buf, "No comment");
  EXPECT_EQ(k->GetChanComment(40, sizeof buf, buf), kErrNoChannel);
  EXPECT_EQ(k->SetFileComment(9, "x"), kErrBadArg);
  EXPECT_EQ(k->SetFileComment(6, "x"), 0);
  TAppID id;
  EXPECT_EQ(k->AppID(&id, nullptr), 0);
  EXPECT_EQ(std::memcmp(id.chID, "00000000", 8), 0);
  TTimeDate td;
  EXPECT_EQ(k->TimeDate(&td, nullptr), 0);
}

TEST_F(Kel32Test, WritingOperationsAreRefused) {
  std::unique_ptr<CKel64File> k = OpenSample();
  const TSTime64 t = 0;
  const int16_t s = 0;
  EXPECT_EQ(k->SetFileComment(0, "x"), kErrReadOnly);
  EXPECT_EQ(k->SetChanTitle(0, "x"), kErrReadOnly);
  EXPECT_EQ(k->SetChanScale(0, 2.0), kErrReadOnly);
  EXPECT_EQ(k->WriteEvents(1, &t, 1), kErrReadOnly);
  EXPECT_EQ(k->WriteWaveS(0, &s, 1, 2000), kErrReadOnly);
  EXPECT_EQ(k->SetEventChan(9, 10.0, EventA, 0), kErrReadOnly);
  EXPECT_EQ(k->ChanDelete(1), kErrReadOnly);
  EXPECT_EQ(k->Commit(0), kErrReadOnly);
  EXPECT_EQ(k->EmptyFile(), kErrReadOnly);
  EXPECT_EQ(k->LatestTime(0, 5), kErrReadOnly);
  EXPECT_EQ(k->SetBuffering(-1, 0, 1.0), 0.0);
  EXPECT_FALSE(k->IsModified());
  EXPECT_EQ(k->Create(dir_.File("new.orf").c_str(), 500, 0), kErrBadArg);
  double scale;
  k->GetChanScale(0, &scale);
  EXPECT_EQ(scale, 3.0);
}

TEST_F(Kel32Test, WaveformRangesAreHalfOpen) {
  std::unique_ptr<CKel64File> k = OpenSample();
  std::vector<int16_t> s(400);
  TSTime64 first = -1;
  EXPECT_EQ(k->ReadWaveS(0, s.data(), 400, 0, kMaxTime64, &first, nullptr), 200);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(s[199], 199);
  EXPECT_EQ(k->ReadWaveS(0, s.data(), 400, 399, kMaxTime64, &first, nullptr), 100);
  EXPECT_EQ(first, 1000);
  EXPECT_EQ(k->ReadWaveS(0, s.data(), 400, 10, 20, &first, nullptr), 5);  // 20 excluded
  EXPECT_EQ(s[4], 9);
  EXPECT_EQ(k->ReadWaveS(0, s.data(), 400, TSTime64(1) << 31, kMaxTime64, &first, nullptr), 0);
  EXPECT_EQ(k->ReadWaveS(0, s.data(), 400, 20, 20, &first, nullptr), 0);
  EXPECT_EQ(k->ReadWaveS(0, s.data(), 0, 0, 100, &first, nullptr), 0);
  EXPECT_EQ(k->ReadWaveS(1, s.data(), 400, 0, 100, &first, nullptr), kErrNoChannel);
  EXPECT_EQ(k->ReadWaveS(9, s.data(), 400, 0, 100, &first, nullptr), kErrNoChannel);
  std::vector<float> v(400);
  EXPECT_EQ(k->ReadWaveF(0, v.data(), 400, -50, 3, &first, nullptr), 2);
  EXPECT_EQ(first, 0);
  EXPECT_FLOAT_EQ(v[1], static_cast<float>(3.0f * static_cast<float>(1.0 / 6553.6) - 1.0));
  EXPECT_EQ(k->PrevNTime(0, 1000, 0, 1, nullptr, false), 398);
  EXPECT_EQ(k->PrevNTime(0, TSTime64(1) << 31, 0, 1, nullptr, false), kErrOutOfRange);
  EXPECT_EQ(k->PrevNTime(9, 100, 0, 1, nullptr, false), kErrNoChannel);
}

TEST_F(Kel32Test, EventsMarkersAndLevelsWiden) {
  std::unique_ptr<CKel64File> k = OpenSample();
  TSTime64 t[8];
  ASSERT_EQ(k->ReadEvents(1, t, 8, 5, 25, nullptr), 2);
  EXPECT_EQ(t[0], 5);
  EXPECT_EQ(t[1], 15);
  ASSERT_EQ(k->ReadEvents(3, t, 8, 0, 100, nullptr), 2);
  EXPECT_EQ(t[1], 9);

  TMarker m[8];
  std::memset(m, 0xAB, sizeof m);
  ASSERT_EQ(k->ReadMarkers(3, m, 8, 0, 100, nullptr), 2);
  EXPECT_EQ(m[1].time, 9);
  EXPECT_EQ(m[1].code[3], 8);
  EXPECT_EQ(m[1].pad[0], 0);
  CMarkFilter f;
  f.SetItem(0, -1, 0);
  f.SetItem(0, 5, 1);
  ASSERT_EQ(k->ReadMarkers(3, m, 8, 0, 100, &f), 1);
  EXPECT_EQ(m[0].time, 9);

  // A level channel starting high: the changes read as markers 1, 0, 1, 0.
  ASSERT_EQ(k->ReadMarkers(2, m, 8, 0, 100, nullptr), 4);
  EXPECT_EQ(m[0].code[0], 1);
  EXPECT_EQ(m[1].code[0], 0);
  EXPECT_EQ(m[2].code[0], 1);
  EXPECT_EQ(m[3].time, 40);
  CMarkFilter low;
  low.SetItem(0, 1, 0);
  ASSERT_EQ(k->ReadMarkers(2, m, 8, 0, 100, &low), 2);
  EXPECT_EQ(m[0].time, 20);
  EXPECT_EQ(m[1].time, 40);
  bool level = false;
  ASSERT_EQ(k->ReadLevels(2, t, 8, 15, 100, &level), 3);
  EXPECT_EQ(t[0], 20);
  EXPECT_FALSE(level);
  EXPECT_EQ(k->ReadLevels(2, t, 8, 50, 100, &level), 0);
  EXPECT_EQ(level, true);  // four changes: back to the initial level
}

TEST_F(Kel32Test, ExtendedMarkersWidenAtTheItemSize) {
  std::unique_ptr<CKel64File> k = OpenSample();
  const int size = k->ItemSize(6);
  std::vector<uint8_t> buf(static_cast<size_t>(3 * size), 0xCD);
  TExtMark* items = reinterpret_cast<TExtMark*>(buf.data());
  ASSERT_EQ(k->ReadExtMarks(6, items, 3, 0, 100, nullptr), 2);
  TMarker second;
  std::memcpy(&second, buf.data() + size, sizeof second);
  EXPECT_EQ(second.time, 61);
  EXPECT_EQ(second.code[0], 2);
  EXPECT_EQ(buf[static_cast<size_t>(size) + 16], 'y');
  EXPECT_EQ(buf[static_cast<size_t>(size) + 23], 0);
  EXPECT_EQ(buf[static_cast<size_t>(2 * size)], 0xCD);  // nothing beyond the count
  ASSERT_EQ(k->ReadExtMarks(4, items, 3, 0, 100, nullptr), 1);
  EXPECT_EQ(buf[16], 1);
  EXPECT_EQ(buf[25], 10);
  EXPECT_EQ(buf[26], 0);
  int16_t s[8];
  TSTime64 first;
  EXPECT_EQ(k->ReadWaveS(4, s, 8, 0, 100, &first, nullptr), 5);
  EXPECT_EQ(first, 50);
  EXPECT_EQ(s[0], 0x0201);
}

// Random reads through the interface agree with one sequential pass.
TEST_F(OrfFileTest, RandomWaveReadsAgreeWithASequentialRead) {
  ob::OrfFile file(9, 32);
  file.chan(0).kind = 1;
  file.chan(0).divide = 3;
  file.chan(0).blockBytes = 512;  // 246 samples a block
  file.chan(1).kind = 2;
  file.chan(1).blockBytes = 512;
  const int blocks = 2500;
  for (int b = 0; b < blocks; ++b) {
    file.AddWave(0, 3 * 246 * b, Ramp(246, 246 * b, 7));
    if (b % 4 == 0) file.AddEvents(1, {b});
  }
  std::unique_ptr<CKel64File> k = NewKel32File();
  ASSERT_EQ(k->Open(Write(file.Build()).c_str(), 1, 0), 0);
  const int total = 246 * blocks;
  std::vector<int16_t> all(static_cast<size_t>(total));
  int got = 0;
  TSTime64 t = 0, first = 0;
  while (got < total) {
    const int n = k->ReadWaveS(0, all.data() + got, 32000, t, kMaxTime64, &first, nullptr);
    ASSERT_GT(n, 0);
    ASSERT_EQ(first, 3 * got);
    got += n;
    t = 3 * static_cast<TSTime64>(got);
  }
  std::unique_ptr<CKel64File> r = NewKel32File();
  ASSERT_EQ(r->Open(dir_.File("t.orf").c_str(), 1, 0), 0);
  std::mt19937 rng(11);
  std::vector<int16_t> s(1000);
  for (int i = 0; i < 3000; ++i) {
    const int at = static_cast<int>(rng() % static_cast<uint32_t>(total));
    const TSTime64 from = 3 * static_cast<TSTime64>(at) - static_cast<TSTime64>(rng() % 3);
    const int n = r->ReadWaveS(0, s.data(), 1000, from, kMaxTime64, &first, nullptr);
    ASSERT_EQ(n, std::min(1000, total - at));
    ASSERT_EQ(first, 3 * static_cast<TSTime64>(at));
    ASSERT_EQ(std::memcmp(s.data(), all.data() + at, static_cast<size_t>(n) * 2), 0);
  }
}

}  // namespace
}  // namespace orf_test
