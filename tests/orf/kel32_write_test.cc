// TKel32File's writing side: what Create makes, the conversions of times
// and items to the format's 32-bit ones, text trimming, the buffering
// arithmetic and the argument checks, read back through the same object.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filelib/orf/kel32_file.h"
#include "filelib/orf/kel_lib.h"
#include "tests/support/temp_dir.h"

namespace orf_test {
namespace {

using namespace vslk64;

constexpr TSTime64 kEnd = 0x7000000000000000LL;

class Kel32WriteTest : public ::testing::Test {
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
  testing_support::TempDir dir_;
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
  EXPECT_EQ(file_.ReadEvents(0, got.data(), 8, 0, kEnd, nullptr), 3);
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
  ASSERT_EQ(file_.ReadMarkers(0, got.data(), 4, 0, kEnd, nullptr), 3);
  EXPECT_EQ(got[1].time, 250);
  EXPECT_EQ(got[1].code[0], 9);
  EXPECT_EQ(got[2].code[3], 4);
  ASSERT_EQ(file_.ReadMarkers(1, got.data(), 4, 0, kEnd, nullptr), 3);
  EXPECT_EQ(got[0].code[0], 0);  // the level before the first change, inverted by SetInitLevel
  EXPECT_EQ(got[1].code[0], 1);
  EXPECT_EQ(file_.WriteExtMarks(2, reinterpret_cast<const TExtMark*>(items.data()), 2), kErrReadOnly);
  std::vector<uint8_t> back(items.size());
  ASSERT_EQ(file_.ReadExtMarks(2, reinterpret_cast<TExtMark*>(back.data()), 2, 0, kEnd, nullptr), 2);
  EXPECT_EQ(back, items);
}

}  // namespace
}  // namespace orf_test

namespace orf_test {
namespace {
using namespace vslk64;

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
