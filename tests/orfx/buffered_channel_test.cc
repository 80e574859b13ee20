// Buffered channels of a file being recorded, case by case: the buffer's
// size and the items it moves out, switches for one channel or all and for
// times already written, the switches LatestTime keeps, levels, searches at
// a channel's start and wave marks. Saved stretches, the save list, edits,
// reads and searches in general are the model test's (buffered_model_test.cc).
// Also the walk over waveform runs of a file being written.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/le.h"
#include "filelib/status.h"
#include "tests/orfx/chan_file_util.h"
#include "tests/support/temp_dir.h"

namespace vslk64 {
namespace {

using chantest::Times;

class Recording : public ::testing::Test {
 protected:
  void SetUp() override {
    f_ = NewKel64File();
    ASSERT_EQ(f_->Create(dir_.File("r.orfx").c_str(), 32, 0), kOk);
    ASSERT_EQ(f_->SetEventChan(0, 100, EventA, 0), kOk);
    ASSERT_EQ(f_->SetMarkerChan(1, 100, Marker, 0), kOk);
    ASSERT_EQ(f_->SetWaveChan(2, 10, Adc, 0, 0), kOk);
    ASSERT_EQ(f_->SetLevelChan(3, 100, 0), kOk);
  }
  std::unique_ptr<CKel64File> Reopen() {
    EXPECT_EQ(f_->Close(), kOk);
    return chantest::OpenFile(dir_.File("r.orfx"), 1);
  }

  testing_support::TempDir dir_;
  std::unique_ptr<CKel64File> f_;
};

// A negative channel switches every channel, a channel number that one only.
// A buffer of 1000 holds 999; ten more move the oldest 31 (a 32nd of the
// capacity) out. With saving off they are gone.
TEST_F(Recording, AFullBufferMovesOutItsOldestChunk) {
  f_->SetBuffering(0, 1000 * 8, 0.0);
  f_->SetBuffering(1, 100 * 16, 0.0);
  f_->Save(-1, 0, false);
  EXPECT_FALSE(f_->IsSaving(1));
  f_->Save(1, 0, true);
  EXPECT_FALSE(f_->IsSaving(0));
  EXPECT_TRUE(f_->IsSaving(1));
  const std::vector<TSTime64> t = Times(100, 2, 1009);
  ASSERT_EQ(f_->Commit(0), kOk);
  ASSERT_EQ(f_->WriteEvents(0, t.data(), 999), kOk);
  EXPECT_EQ(chantest::ReadEvents(*f_, 0, 0, 2000).size(), 999u);
  EXPECT_FALSE(f_->IsModified());  // nothing buffered is to be kept
  ASSERT_EQ(f_->WriteEvents(0, t.data() + 999, 10), kOk);
  EXPECT_EQ(chantest::ReadEvents(*f_, 0, 0, 2000), std::vector<TSTime64>(t.begin() + 31, t.end()));
  EXPECT_TRUE(chantest::ReadEvents(*Reopen(), 0, 0, 2000).empty());
}

// A switch for a time the channel has already written acts after it; one at
// that time acts there. A saved range is raised the same way.
TEST_F(Recording, SavingNeverReachesBackOverWrittenData) {
  const TSTime64 t[] = {100, 200};  // 200 is the last written time
  for (uint16_t c : {4, 5, 6}) {
    ASSERT_EQ(f_->SetEventChan(c, 100, EventA, 0), kOk);
    f_->SetBuffering(c, 100 * 8, 0.0);
    ASSERT_EQ(f_->WriteEvents(c, t, 2), kOk);
    ASSERT_EQ(f_->Commit(0), kOk);
    f_->Save(c, 50 * (c - 1), false);  // at 150, 200, 250
    TSTime64 first = -1;
    EXPECT_EQ(f_->NoSaveList(c, &first, 1, 0, 1000), 1) << c;
    EXPECT_EQ(first, c == 4 ? 201 : 50 * (c - 1)) << c;
  }
  // Off from 250 on; then [150, 300) saved again: only the stop at 300 is left.
  f_->SaveRange(6, 150, 300);
  TSTime64 sw[4];
  ASSERT_EQ(f_->NoSaveList(6, sw, 4, 0, 1000), 1);
  EXPECT_EQ(sw[0], 300);
}

// LatestTime keeps the newest 100 switches after the buffered data, taking
// the oldest away in pairs so that the state after them stays.
TEST_F(Recording, LatestTimePrunesOldSwitchesInPairs) {
  f_->SetBuffering(0, 100 * 8, 0.0);
  const TSTime64 t[] = {10};
  ASSERT_EQ(f_->WriteEvents(0, t, 1), kOk);
  for (TSTime64 s = 100; s < 100 + 105; ++s) f_->Save(0, s, (s % 2) == 1);  // 105 switches
  const bool last = f_->IsSaving(0);
  for (const auto& c : {std::pair<TSTime64, int>{0, 105}, {150, 105}, {1000, 101}}) {
    if (c.first > 0) f_->LatestTime(0, c.first);  // up to 150: 50, not more than 101
    EXPECT_EQ(f_->NoSaveList(0, nullptr, 0, 11, 100000), c.second) << c.first;
  }
  EXPECT_EQ(f_->IsSaving(0), last);
}

// Level changes alternate from the initial low level, each call going on
// from the last change written (buffered or not); equal times cancel.
TEST_F(Recording, LevelsAlternateAndEqualTimesCancel) {
  ASSERT_EQ(f_->SetLevelChan(7, 100, 0), kOk);
  f_->SetBuffering(7, 100 * 16, 0.0);  // channel 3 writes straight through
  const TSTime64 a[] = {5, 5, 7, 20}, b[] = {30, 40, 40};
  for (uint16_t c : {3, 7}) {
    ASSERT_EQ(f_->WriteLevels(c, a, 4), kOk);
    ASSERT_EQ(f_->WriteLevels(c, b, 3), kOk);
  }
  const auto check = [](CKel64File& f) {
    for (uint16_t c : {3, 7}) {
      SCOPED_TRACE(c);
      TMarker m[8];
      ASSERT_EQ(f.ReadMarkers(c, m, 8, 0, kMaxTime64, nullptr), 3);
      const TSTime64 times[] = {7, 20, 30};
      for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(m[i].time, times[i]);
        EXPECT_EQ(m[i].code[0], i == 1 ? 0 : 1);
      }
      TSTime64 t[4];
      bool level = true;
      ASSERT_EQ(f.ReadLevels(c, t, 4, 8, kMaxTime64, &level), 2);
      EXPECT_FALSE(level);  // the change at 20 falls
      EXPECT_EQ(t[0], 20);
    }
  };
  check(*f_);
  check(*Reopen());
}

// Samples need tick times, buffered or not. Unbuffered, in the write block
// alone, a search back from inside the first stretch finds nothing when it
// runs past the channel's start (buffered searches are the model's).
TEST_F(Recording, WaveformSearchesMeetTheChannelStartOrAGap) {
  const TSTime64 t[] = {100, 110};
  const float v[] = {1, 2};
  ASSERT_EQ(f_->WriteEvents(0, t, 2), kOk);
  ASSERT_EQ(f_->SetWaveChan(6, 10, RealWave, 0, 0), kOk);
  ASSERT_EQ(f_->WriteWaveF(6, v, 2, 100), 120);
  for (uint16_t c : {0, 6}) {
    EXPECT_EQ(f_->PrevNTime(c, 115, -1, 2, nullptr, false), 100);
    EXPECT_EQ(f_->PrevNTime(c, 115, -1, 3, nullptr, false), -1);
  }
  f_->SetBuffering(2, 64 * 2, 0.0);
  const int16_t s[4] = {};
  EXPECT_EQ(f_->WriteWaveS(2, s, 4, -10), kErrOutOfRange);
  EXPECT_EQ(f_->WriteWaveS(2, s, 4, kMaxTime64 - 30), kErrOutOfRange);
}

// A run of one time that crosses blocks counts whole in a backward search,
// from the write block on into the disk, before and after a commit, and from
// block to block on disk once the file is closed.
TEST_F(Recording, BackwardSearchCountsRunsOfOneTimeAcrossBlocks) {
  std::vector<TSTime64> t = Times(0, 10, 8200);
  for (size_t i = 8187; i <= 8193; ++i) t[i] = 81870;  // a block holds 8190 events
  ASSERT_EQ(f_->WriteEvents(0, t.data(), t.size()), kOk);
  for (int pass = 0; pass < 3; ++pass) {
    std::unique_ptr<CKel64File> closed = pass == 2 ? Reopen() : nullptr;
    for (uint32_t n = 1; n <= 20; ++n) {
      EXPECT_EQ((closed ? *closed : *f_).PrevNTime(0, kMaxTime64, 0, n, nullptr, false),
                t[t.size() - n])
          << "pass " << pass << " n " << n;
    }
    if (pass == 0) {
      ASSERT_EQ(f_->Commit(0), kOk);
    }
  }
}

// Wave marks read as a waveform join records into one stretch, and the
// point search steps back over them: on disk and in the buffer (channel 5),
// or in a channel without a buffer (6).
TEST_F(Recording, WaveMarksReadAsOneWaveformAcrossDiskAndBuffer) {
  // Four points two ticks apart: a record every 8 ticks continues the last.
  constexpr size_t kItem = 24, kRecords = 40;
  std::vector<uint8_t> items(kRecords * kItem, 0);
  for (size_t i = 0; i < kRecords; ++i) {
    le::PutI64(&items[i * kItem], static_cast<int64_t>(100 + 8 * i));
    for (size_t j = 0; j < 4; ++j)
      le::PutU16(&items[i * kItem + 16 + 2 * j], static_cast<uint16_t>(4 * i + j));
  }
  for (uint16_t c : {5, 6}) {
    SCOPED_TRACE(c);
    ASSERT_EQ(f_->SetExtMarkChan(c, 100, WaveMark, 4, 1, 0, 2, 0), kOk);
    if (c == 5) f_->SetBuffering(5, 8 * kItem, 0.0);  // the oldest records move to disk
    ASSERT_EQ(f_->WriteExtMarks(c, reinterpret_cast<const TExtMark*>(items.data()), kRecords), kOk);
    std::vector<int16_t> w(200);
    TSTime64 first = -1;
    ASSERT_EQ(f_->ReadWaveS(c, w.data(), 200, 0, kMaxTime64, &first, nullptr), 160);
    EXPECT_EQ(first, 100);
    for (int k = 0; k < 160; ++k) ASSERT_EQ(w[k], k) << k;
    // From inside the disk part, up to a point in the buffer.
    ASSERT_EQ(f_->ReadWaveS(c, w.data(), 200, 111, 400, &first, nullptr), 144);
    EXPECT_EQ(first, 112);
    EXPECT_EQ(w[0], 6);
    // 150 points back from the end lie partly on disk.
    EXPECT_EQ(f_->PrevNTime(c, kMaxTime64, 0, 150, nullptr, true), 100 + 2 * 10);
  }
}

struct TCollect : CWaveRunSink {
  std::vector<std::pair<TSTime64, uint64_t>> runs;
  bool Put(TSTime64 first, uint64_t count) override {
    runs.emplace_back(first, count);
    return true;
  }
};

// ReadWaveRuns, which walks run heads, against the walk that reads the
// samples (the CKel64File version, built on ReadWaveS): data on disk, data
// still in the write block, gaps on either side of the boundary between
// them, and walks from inside a run.
TEST_F(Recording, RunHeadWalkMatchesTheReadingWalk) {
  // A 16-bit block holds 32752 samples of one run; writes that fill blocks
  // put them on disk, the rest stays in the write block.
  const struct {
    const char* what;
    std::vector<std::pair<TSTime64, size_t>> writes;  // first time, samples (divide 4)
  } cases[] = {
      {"contiguous into the write block", {{0, 40000}, {160000, 10}}},
      {"a gap just before the write block", {{0, 32752}, {131012, 500}}},
      {"a gap inside the write block", {{8, 32752}, {131016, 100}, {140000, 30}}},
      {"only the write block", {{100, 7}, {200, 3}}},
      {"several blocks, then a gap", {{0, 70000}, {400000, 32752}, {531008, 20}}},
  };
  uint16_t chan = 10;  // a channel for each case
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(f_->SetWaveChan(++chan, 4, Adc, 0, 0), kOk);
    for (const auto& w : c.writes) {
      const std::vector<int16_t> s(w.second, 5);
      ASSERT_GT(f_->WriteWaveS(chan, s.data(), s.size(), w.first), 0);
    }
    for (TSTime64 from : {TSTime64{0}, TSTime64{101}, TSTime64{131013}, TSTime64{160001}}) {
      TCollect heads, reads;
      ASSERT_EQ(f_->ReadWaveRuns(chan, from, heads), kOk);
      ASSERT_EQ(f_->CKel64File::ReadWaveRuns(chan, from, reads), kOk);
      EXPECT_EQ(heads.runs, reads.runs) << "from " << from;
    }
  }
}

}  // namespace
}  // namespace vslk64
