// Buffered channels of a file being recorded, case by case: the buffer's
// size and the items it moves out, the save list's answers, buffered edits
// and searches. Resizing, the saved stretches in general and the circular
// buffers' pieces are the model test's (buffered_model_test.cc).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/status.h"
#include "tests/support/temp_dir.h"

namespace vslk64 {
namespace {

using testing_support::TempDir;

std::vector<TSTime64> Times(TSTime64 first, TSTime64 step, size_t n) {
  std::vector<TSTime64> t(n);
  for (size_t i = 0; i < n; ++i) t[i] = first + step * static_cast<TSTime64>(i);
  return t;
}

std::vector<TSTime64> ReadAll(CKel64File& f, uint16_t chan) {
  std::vector<TSTime64> out(100000);
  const int n = f.ReadEvents(chan, out.data(), static_cast<int>(out.size()), 0, kMaxTime64,
                             nullptr);
  EXPECT_GE(n, 0);
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

class Recording : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("r.orfx");
    f_ = NewKel64File();
    ASSERT_EQ(f_->Create(path_.c_str(), 32, 0), kOk);
    ASSERT_EQ(f_->SetEventChan(0, 100, EventA, 0), kOk);
    ASSERT_EQ(f_->SetMarkerChan(1, 100, Marker, 0), kOk);
    ASSERT_EQ(f_->SetWaveChan(2, 10, Adc, 0, 0), kOk);
    ASSERT_EQ(f_->SetLevelChan(3, 100, 0), kOk);
  }
  // A buffer of `items` for channel c (itemSize bytes each).
  void Buffer(uint16_t c, uint64_t items, uint64_t itemSize) {
    f_->SetBuffering(c, items * itemSize, 0.0);
  }
  std::unique_ptr<CKel64File> Reopen() {
    EXPECT_EQ(f_->Close(), kOk);
    std::unique_ptr<CKel64File> r = NewKel64File();
    EXPECT_EQ(r->Open(path_.c_str(), 1, 0), kOk);
    return r;
  }

  TempDir dir_;
  std::string path_;
  std::unique_ptr<CKel64File> f_;
};

// A buffer of 1000 holds 999; ten more move the oldest 31 (a 32nd of the
// capacity) out. With saving off they are gone.
TEST_F(Recording, AFullBufferMovesOutItsOldestChunk) {
  Buffer(0, 1000, 8);
  f_->Save(0, 0, false);
  EXPECT_FALSE(f_->IsSaving(0));
  const std::vector<TSTime64> t = Times(100, 2, 1009);
  ASSERT_EQ(f_->Commit(0), kOk);
  ASSERT_EQ(f_->WriteEvents(0, t.data(), 999), kOk);
  EXPECT_EQ(ReadAll(*f_, 0).size(), 999u);
  EXPECT_FALSE(f_->IsModified());  // nothing buffered is to be kept
  ASSERT_EQ(f_->WriteEvents(0, t.data() + 999, 10), kOk);
  const std::vector<TSTime64> got = ReadAll(*f_, 0);
  EXPECT_EQ(got, std::vector<TSTime64>(t.begin() + 31, t.end()));
  EXPECT_EQ(f_->ChanMaxTime(0), t.back());
  std::unique_ptr<CKel64File> r = Reopen();
  EXPECT_TRUE(ReadAll(*r, 0).empty());
}

// A negative channel addresses every channel, a channel number that one only.
TEST_F(Recording, SwitchesAddressOneChannelOrAll) {
  Buffer(0, 100, 8);
  Buffer(1, 100, 16);
  f_->Save(-1, 0, false);
  EXPECT_FALSE(f_->IsSaving(0));
  EXPECT_FALSE(f_->IsSaving(1));
  f_->Save(1, 0, true);
  EXPECT_FALSE(f_->IsSaving(0));
  EXPECT_TRUE(f_->IsSaving(1));
}

// Switched off from 500 and on again from 800: what lies between never
// reaches the file, and the list tells the two switches.
TEST_F(Recording, ItemsOfANonSavingStretchNeverReachTheFile) {
  Buffer(0, 100, 8);
  f_->Save(0, 500, false);
  f_->Save(0, 800, true);
  TSTime64 times[3];
  EXPECT_EQ(f_->NoSaveList(0, times, 3, 0, 1000), 2);
  EXPECT_EQ(times[0], 500);
  EXPECT_EQ(times[1], 800);
  EXPECT_EQ(f_->NoSaveList(0, times, 3, 600, 1000), 2);  // off at 600: the list starts there
  EXPECT_EQ(times[0], 600);
  EXPECT_EQ(f_->NoSaveList(0, nullptr, 0, 0, 1000), 2);  // counted, not stored
  EXPECT_TRUE(f_->IsSaving(0));
  const TSTime64 t[] = {400, 600, 700, 900};
  ASSERT_EQ(f_->WriteEvents(0, t, 4), kOk);
  EXPECT_TRUE(f_->IsModified());
  EXPECT_EQ(ReadAll(*f_, 0), (std::vector<TSTime64>{400, 600, 700, 900}));
  ASSERT_EQ(f_->Commit(0), kOk);
  EXPECT_FALSE(f_->IsModified());
  // Written out, the saved ones are on disk and in the buffer: read once.
  EXPECT_EQ(ReadAll(*f_, 0), (std::vector<TSTime64>{400, 600, 700, 900}));
  std::unique_ptr<CKel64File> r = Reopen();
  EXPECT_EQ(ReadAll(*r, 0), (std::vector<TSTime64>{400, 900}));
}

// A switch for a time the channel has already written acts after it; one at
// that time acts there. A saved range is raised the same way.
TEST_F(Recording, SavingNeverReachesBackOverWrittenData) {
  struct Case {
    TSTime64 at;
    TSTime64 listed;
  };
  const Case cases[] = {{150, 201}, {200, 200}, {250, 250}};
  uint16_t c = 4;
  for (const Case& k : cases) {
    ASSERT_EQ(f_->SetEventChan(c, 100, EventA, 0), kOk);
    Buffer(c, 100, 8);
    const TSTime64 t[] = {100, 200};
    ASSERT_EQ(f_->WriteEvents(c, t, 2), kOk);
    ASSERT_EQ(f_->Commit(0), kOk);  // 200 is the last written time
    f_->Save(c, k.at, false);
    TSTime64 first = -1;
    EXPECT_EQ(f_->NoSaveList(c, &first, 1, 0, 1000), 1) << k.at;
    EXPECT_EQ(first, k.listed) << k.at;
    ++c;
  }
  // Off from 201 on; then [201, 300) saved again.
  f_->Save(c - 1, 0, false);
  f_->SaveRange(c - 1, 150, 300);
  TSTime64 sw[4];
  ASSERT_EQ(f_->NoSaveList(c - 1, sw, 4, 0, 1000), 1);
  EXPECT_EQ(sw[0], 300);
}

// LatestTime keeps the newest 100 switches after the buffered data, taking
// the oldest away in pairs so that the state after them stays.
TEST_F(Recording, LatestTimePrunesOldSwitchesInPairs) {
  Buffer(0, 100, 8);
  const TSTime64 t[] = {10};
  ASSERT_EQ(f_->WriteEvents(0, t, 1), kOk);
  for (TSTime64 s = 100; s < 100 + 105; ++s) f_->Save(0, s, (s % 2) == 1);  // 105 switches
  const bool last = f_->IsSaving(0);
  EXPECT_EQ(f_->NoSaveList(0, nullptr, 0, 11, 100000), 105);
  f_->LatestTime(0, 150);  // 50 of them up to 150: not more than 101
  EXPECT_EQ(f_->NoSaveList(0, nullptr, 0, 11, 100000), 105);
  f_->LatestTime(0, 1000);  // 105 up to 1000: 4 go
  EXPECT_EQ(f_->NoSaveList(0, nullptr, 0, 11, 100000), 101);
  EXPECT_EQ(f_->IsSaving(0), last);
}

// Markers: an edit finds a buffered item at exactly its time, and also
// changes the copy already written out; level changes count buffered ones.
TEST_F(Recording, EditsAndLevelsSeeTheBuffer) {
  Buffer(1, 100, 16);
  std::vector<TMarker> m(4);
  for (int i = 0; i < 4; ++i) {
    m[i].time = 10 * (i + 1);
    m[i].code[0] = static_cast<uint8_t>(i);
  }
  ASSERT_EQ(f_->WriteMarkers(1, m.data(), 4), kOk);
  ASSERT_EQ(f_->Commit(0), kOk);
  TMarker e{};
  e.code[0] = 0x77;
  EXPECT_EQ(f_->EditMarker(1, 20, &e, 9), 1);
  EXPECT_EQ(f_->EditMarker(1, 25, &e, 9), 0);  // no item at 25
  EXPECT_EQ(f_->EditMarker(1, 20, &e, 17), kErrBadArg);
  TMarker got[4];
  ASSERT_EQ(f_->ReadMarkers(1, got, 4, 0, kMaxTime64, nullptr), 4);
  EXPECT_EQ(got[1].code[0], 0x77);
  EXPECT_EQ(got[2].code[0], 2);

  Buffer(3, 100, 16);
  const TSTime64 a[] = {5};
  const TSTime64 b[] = {7, 9};
  ASSERT_EQ(f_->WriteLevels(3, a, 1), kOk);  // a rise, buffered
  ASSERT_EQ(f_->WriteLevels(3, b, 2), kOk);  // falls after the buffered rise, rises again
  TMarker lv[3];
  ASSERT_EQ(f_->ReadMarkers(3, lv, 3, 0, kMaxTime64, nullptr), 3);
  EXPECT_EQ(lv[0].code[0], 1);
  EXPECT_EQ(lv[1].code[0], 0);
  EXPECT_EQ(lv[2].code[0], 1);
  TSTime64 changes[3];
  bool level = true;
  EXPECT_EQ(f_->ReadLevels(3, changes, 3, 6, kMaxTime64, &level), 2);
  EXPECT_FALSE(level);  // the change at 7 falls
  EXPECT_EQ(changes[0], 7);

  std::unique_ptr<CKel64File> r = Reopen();
  ASSERT_EQ(r->ReadMarkers(1, got, 4, 0, kMaxTime64, nullptr), 4);
  EXPECT_EQ(got[1].code[0], 0x77);
}

// Waveforms: the buffer holds one contiguous stretch; a gap writes it out
// and starts another; a write at or before the newest sample overwrites.
TEST_F(Recording, WaveformStretchesOverwritesAndSearches) {
  Buffer(2, 64, 2);
  std::vector<int16_t> s(100);
  for (int i = 0; i < 100; ++i) s[i] = static_cast<int16_t>(i);
  // Samples need tick times, buffered or not.
  EXPECT_EQ(f_->WriteWaveS(2, s.data(), 4, -10), kErrOutOfRange);
  EXPECT_EQ(f_->WriteWaveS(2, s.data(), 4, kMaxTime64 - 30), kErrOutOfRange);
  EXPECT_EQ(f_->WriteWaveS(2, s.data(), 20, 1000), 1200);
  // Fewer than n samples lie before: there is no n-th.
  EXPECT_EQ(f_->PrevNTime(2, 1200, 0, 20, nullptr, false), 1000);
  EXPECT_EQ(f_->PrevNTime(2, 1200, 0, 21, nullptr, false), -1);
  const int16_t over[] = {-1, -2, -3};
  EXPECT_EQ(f_->WriteWaveS(2, over, 3, 1180), 1210);  // two replaced, one appended
  EXPECT_EQ(f_->WriteWaveS(2, s.data(), 100, 1500), 2500);  // a gap, then more than fits
  std::vector<int16_t> buf(200);
  TSTime64 first = -1;
  ASSERT_EQ(f_->ReadWaveS(2, buf.data(), 200, 0, kMaxTime64, &first, nullptr), 21);
  EXPECT_EQ(first, 1000);
  EXPECT_EQ(buf[17], 17);
  EXPECT_EQ(buf[18], -1);
  EXPECT_EQ(buf[20], -3);
  ASSERT_EQ(f_->ReadWaveS(2, buf.data(), 200, 1210, kMaxTime64, &first, nullptr), 100);
  EXPECT_EQ(first, 1500);
  EXPECT_EQ(buf[99], 99);
  // Back from the end over the buffer and the disk before it; the gap ends
  // the contiguous data at 1500.
  EXPECT_EQ(f_->PrevNTime(2, 2500, 0, 90, nullptr, false), 1600);
  EXPECT_EQ(f_->PrevNTime(2, 2500, 0, 101, nullptr, false), 1500);
  // Overwriting samples already written out changes both copies.
  const int16_t x[] = {555};
  EXPECT_EQ(f_->WriteWaveS(2, x, 1, 1700), 1710);
  std::unique_ptr<CKel64File> r = Reopen();
  ASSERT_EQ(r->ReadWaveS(2, buf.data(), 200, 1500, kMaxTime64, &first, nullptr), 100);
  EXPECT_EQ(buf[20], 555);
}

// Wave marks read as a waveform join records on disk and in the buffer
// into one stretch, and the point search steps back over both.
TEST_F(Recording, WaveMarksReadAsOneWaveformAcrossDiskAndBuffer) {
  // Four points two ticks apart: a record every 8 ticks continues the last.
  ASSERT_EQ(f_->SetExtMarkChan(5, 100, WaveMark, 4, 1, 0, 2, 0), kOk);
  constexpr size_t kItem = 24, kRecords = 40;
  Buffer(5, 8, kItem);  // the oldest records move to disk
  std::vector<uint8_t> items(kRecords * kItem, 0);
  for (size_t i = 0; i < kRecords; ++i) {
    const TSTime64 t = 100 + 8 * static_cast<TSTime64>(i);
    std::memcpy(&items[i * kItem], &t, 8);
    for (int j = 0; j < 4; ++j) {
      const int16_t v = static_cast<int16_t>(4 * i + j);
      std::memcpy(&items[i * kItem + 16 + 2 * j], &v, 2);
    }
  }
  ASSERT_EQ(f_->WriteExtMarks(5, reinterpret_cast<const TExtMark*>(items.data()), kRecords), kOk);
  std::vector<int16_t> w(200);
  TSTime64 first = -1;
  ASSERT_EQ(f_->ReadWaveS(5, w.data(), 200, 0, kMaxTime64, &first, nullptr), 160);
  EXPECT_EQ(first, 100);
  for (int k = 0; k < 160; ++k) ASSERT_EQ(w[k], k) << k;
  // From inside the disk part, up to a point in the buffer.
  ASSERT_EQ(f_->ReadWaveS(5, w.data(), 200, 111, 400, &first, nullptr), 144);
  EXPECT_EQ(first, 112);
  EXPECT_EQ(w[0], 6);
  // 150 points back from the end lie partly on disk.
  EXPECT_EQ(f_->PrevNTime(5, kMaxTime64, 0, 150, nullptr, true), 100 + 2 * 10);
}

}  // namespace
}  // namespace vslk64
