// TKel32File: an ORF file through the common interface, with its range,
// record, filter and status conversions.
#include "filelib/orf/kel32_file.h"

#include <cstring>
#include <memory>

#include "tests/orf/orf_fixture.h"

namespace orf_test {
namespace {

using namespace vslk64;
namespace ob = orf_builder;

class Kel32Test : public OrfFileTest {
 protected:
  // Channels: 0 waveform (divide 2, [0, 198]), 1 events, 2 level (initial
  // level 1), 3 markers, 4 waveform markers with 10 attached bytes, 6 text
  // markers with 8 characters.
  std::unique_ptr<CKel64File> OpenSample() {
    ob::OrfFile file(8, 40);
    file.timeBase = 1e-5;
    file.tickMultiplier = 3;
    file.chan(0).kind = 1;
    file.chan(0).divide = 2;
    file.AddWave(0, 0, Ramp(100, 0));
    file.chan(1).kind = 2;
    file.AddEvents(1, {5, 15, 25});
    file.chan(2).kind = 4;
    file.chan(2).initLevel = 1;
    file.AddEvents(2, {10, 20, 30, 40});
    file.chan(3).kind = 5;
    file.AddMarks(3, {{7, {1, 2, 3, 4}, {}}, {9, {5, 6, 7, 8}, {}}});
    file.chan(4).kind = 6;
    file.chan(4).extraBytes = 10;
    file.chan(4).preTrigger = 2;
    file.AddMarks(4, {{50, {9, 0, 0, 0}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}});
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
  EXPECT_EQ(k->Open(dir_.File("missing.orf").c_str(), 1, 0), kErrNoFile);
  EXPECT_EQ(k->Open(Write(std::string(1024, '\0'), "zero.orf").c_str(), 1, 0), kErrBadHeader);
  std::unique_ptr<CKel64File> s = OpenSample();
  EXPECT_EQ(s->Open(dir_.File("t.orf").c_str(), 1, 0), kErrChannelUsed);
  EXPECT_EQ(k->Open(dir_.File("t.orf").c_str(), 0, 0), kErrReadOnly);
  EXPECT_EQ(k->Open(dir_.File("t.orf").c_str(), -1, 0), 0);  // falls back to reading
  EXPECT_FALSE(k->CanWrite());
  EXPECT_EQ(k->Close(), 0);
}

// Item sizes, ranges, values, event and waveform reads are compared with the
// same recordings in the other format by the Neuroshare tests; here what
// those recordings leave out: the tick multiplier, texts' field sizes and
// cuts, times beyond the format, markers' padding and filters, level
// channels read as markers, and extended markers' records.
TEST_F(Kel32Test, ConversionsTheRecordingsLeaveOut) {
  std::unique_ptr<CKel64File> k = OpenSample();
  EXPECT_DOUBLE_EQ(k->GetTimeBase(), 3e-5);  // time base x tick multiplier
  char buf[100];
  EXPECT_EQ(k->GetFileComment(0, sizeof buf, buf), 80);
  EXPECT_STREQ(buf, "first");
  EXPECT_EQ(k->GetFileComment(9, sizeof buf, buf), kErrBadArg);
  EXPECT_EQ(k->GetFileComment(0, 3, buf), 80);
  EXPECT_STREQ(buf, "fi");
  EXPECT_EQ(k->GetChanComment(1, sizeof buf, buf), 72);
  EXPECT_EQ(k->GetChanComment(40, sizeof buf, buf), kErrNoChannel);
  int16_t s[8];
  TSTime64 first = -1;
  EXPECT_EQ(k->ReadWaveS(0, s, 8, TSTime64(1) << 31, kMaxTime64, &first, nullptr), 0);
  EXPECT_EQ(k->PrevNTime(0, TSTime64(1) << 31, 0, 1, nullptr, false), kErrOutOfRange);

  TMarker m[8];
  std::memset(m, 0xAB, sizeof m);
  ASSERT_EQ(k->ReadMarkers(3, m, 8, 0, 100, nullptr), 2);
  EXPECT_EQ(m[1].pad[0], 0);  // times and codes are compared by the recordings' tests
  CMarkFilter f;
  f.SetItem(0, -1, 0);
  f.SetItem(0, 5, 1);
  ASSERT_EQ(k->ReadMarkers(3, m, 8, 0, 100, &f), 1);
  EXPECT_EQ(m[0].time, 9);
  // A level channel starting high: the changes read as markers 1, 0, 1, 0.
  ASSERT_EQ(k->ReadMarkers(2, m, 8, 0, 100, nullptr), 4);
  EXPECT_EQ(m[0].code[0], 1);
  EXPECT_EQ(m[1].code[0], 0);
  CMarkFilter low;
  low.SetItem(0, 1, 0);
  ASSERT_EQ(k->ReadMarkers(2, m, 8, 0, 100, &low), 2);
  EXPECT_EQ(m[1].time, 40);
  bool level = false;
  TSTime64 t[8];
  ASSERT_EQ(k->ReadLevels(2, t, 8, 15, 100, &level), 3);
  EXPECT_FALSE(level);
  EXPECT_EQ(k->ReadLevels(2, t, 8, 50, 100, &level), 0);
  EXPECT_TRUE(level);  // four changes: back to the initial level

  const size_t size = static_cast<size_t>(k->ItemSize(6));
  std::vector<uint8_t> rec(3 * size, 0xCD);
  TExtMark* items = reinterpret_cast<TExtMark*>(rec.data());
  ASSERT_EQ(k->ReadExtMarks(6, items, 3, 0, 100, nullptr), 2);
  TMarker second;
  std::memcpy(&second, rec.data() + size, sizeof second);
  EXPECT_EQ(second.time, 61);
  EXPECT_EQ(second.code[0], 2);
  EXPECT_EQ(rec[size + 16], 'y');
  EXPECT_EQ(rec[size + 23], 0);
  EXPECT_EQ(rec[2 * size], 0xCD);  // nothing beyond the count
  ASSERT_EQ(k->ReadExtMarks(4, items, 3, 0, 100, nullptr), 1);
  EXPECT_EQ(rec[25], 10);
  EXPECT_EQ(rec[26], 0);
  EXPECT_EQ(k->ReadWaveS(4, s, 8, 0, 100, &first, nullptr), 5);  // a waveform marker as a waveform
  EXPECT_EQ(first, 50);
  EXPECT_EQ(s[0], 0x0201);
}

}  // namespace
}  // namespace orf_test
