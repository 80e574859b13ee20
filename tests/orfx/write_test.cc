// Creating 64-bit format files and writing their channels, checked by
// reading the files back through a separate read-only file object.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/status.h"
#include "tests/orfx/chan_file_util.h"
#include "tests/orfx/recorder.h"
#include "tests/support/temp_dir.h"

namespace vslk64 {
namespace {

using testing_support::TempDir;

using chantest::Item;
using chantest::ReadEvents;

std::unique_ptr<CKel64File> Reopen(const std::string& path) { return chantest::OpenFile(path, 1); }

// Contiguous stretches of a waveform channel, as successive reads give them.
struct Stretch {
  TSTime64 start;
  std::vector<int16_t> samples;
};
std::vector<Stretch> ReadStretches(CKel64File& f, uint16_t chan) {
  std::vector<Stretch> out;
  TSTime64 from = 0;
  std::vector<int16_t> buf(200000);
  for (;;) {
    TSTime64 first = -1;
    const int n = f.ReadWaveS(chan, buf.data(), static_cast<int>(buf.size()), from, kMaxTime64,
                              &first, nullptr);
    EXPECT_GE(n, 0);
    if (n <= 0) return out;
    // A read stops at its buffer's end as well as at a gap.
    if (out.empty() || first != from) out.push_back({first, {}});
    out.back().samples.insert(out.back().samples.end(), buf.begin(), buf.begin() + n);
    from = first + n * f.ChanDivide(chan);
  }
}

TEST(Create, LaysOutSlotsAndRefusesBadArguments) {
  TempDir dir;
  const std::string path = dir.File("a.orfx");
  struct Case {
    uint16_t chans;
    uint32_t extra;
    int result;
    int slots;
  };
  const Case cases[] = {
      {10, 0, kOk, 32},   {2001, 0, kErrBadArg, 0}, {100, 65537, kErrBadArg, 0},
      {400, 0, kOk, 400}, {40, 65536, kOk, 40},
  };
  for (const Case& c : cases) {
    {
      std::unique_ptr<CKel64File> f = NewKel64File();
      ASSERT_EQ(f->Create(path.c_str(), c.chans, c.extra), c.result) << c.chans;
      if (c.result != kOk) continue;
      EXPECT_EQ(f->Create(path.c_str(), c.chans, c.extra), kErrAlreadyOpen);
      EXPECT_TRUE(f->CanWrite());
      EXPECT_EQ(f->Close(), kOk);
    }
    // 400 slots need a continuation block of header space; the file still
    // opens and keeps its extra-data area.
    std::unique_ptr<CKel64File> f = Reopen(path);
    EXPECT_EQ(f->MaxChans(), c.slots);
    EXPECT_EQ(f->GetExtraDataSize(), c.extra);
    EXPECT_EQ(f->MaxTime(false), -1);
    EXPECT_EQ(f->GetFreeChan(), 0);
  }
}

TEST(Create, ChannelCreationChecks) {
  TempDir dir;
  std::unique_ptr<CKel64File> f = NewKel64File();
  // No file yet: nothing to make a channel in.
  EXPECT_EQ(f->SetEventChan(0, 1, EventA, 0), kErrNoFile);
  ASSERT_EQ(f->Create(dir.File("c.orfx").c_str(), 32, 0), kOk);
  struct Case {
    const char* what;
    int result;
    int (*make)(CKel64File&);
  };
  const Case cases[] = {
      {"event", kOk, [](CKel64File& f) { return f.SetEventChan(0, 10, EventA, 3); }},
      {"write to an empty slot", kErrNoChannel,
       [](CKel64File& f) {
         const TSTime64 t = 5;
         return f.WriteEvents(5, &t, 1);
       }},
      {"edit with no item", kErrBadArg,
       [](CKel64File& f) { return f.EditMarker(0, 5, nullptr, 7); }},
      {"slot used", kErrChannelUsed, [](CKel64File& f) { return f.SetWaveChan(0, 10, Adc, 0, 0); }},
      {"slot out of range", kErrNoChannel,
       [](CKel64File& f) { return f.SetEventChan(32, 10, EventB, 0); }},
      {"event kind", kErrBadArg, [](CKel64File& f) { return f.SetEventChan(1, 10, RealWave, 0); }},
      {"marker kind", kErrWrongKind,
       [](CKel64File& f) { return f.SetMarkerChan(1, 10, EventA, 0); }},
      {"text cols", kErrBadArg,
       [](CKel64File& f) { return f.SetExtMarkChan(1, 1, TextMark, 10, 2, 0, 0, 0); }},
      {"wavemark divide", kErrBadArg,
       [](CKel64File& f) { return f.SetExtMarkChan(1, 1, WaveMark, 10, 1, 0, 0, 0); }},
      {"pretrig", kErrBadArg,
       [](CKel64File& f) { return f.SetExtMarkChan(1, 1, WaveMark, 10, 1, 0, 1, 10); }},
      {"ext kind", kErrNoChannel,
       [](CKel64File& f) { return f.SetExtMarkChan(1, 1, Marker, 10, 1, 0, 1, 0); }},
      {"too big", kErrBadArg,
       [](CKel64File& f) { return f.SetExtMarkChan(1, 1, RealMark, 4096, 4, 0, 0, 0); }},
      {"wave divide", kErrBadArg, [](CKel64File& f) { return f.SetWaveChan(1, 0, Adc, 0, 0); }},
      {"wave kind", kErrWrongKind,
       [](CKel64File& f) { return f.SetWaveChan(1, 10, EventA, 0, 0); }},
      {"wave", kOk, [](CKel64File& f) { return f.SetWaveChan(1, 10, Adc, 0, 7); }},
      {"level via event", kOk, [](CKel64File& f) { return f.SetEventChan(2, 10, Level, 0); }},
  };
  for (const Case& c : cases) EXPECT_EQ(c.make(*f), c.result) << c.what;
  EXPECT_EQ(f->ChanKind(0), EventA);
  EXPECT_EQ(f->PhyChan(0), 3);
  EXPECT_EQ(f->ChanKind(2), Level);
  EXPECT_DOUBLE_EQ(f->IdealRate(1, -1), 100000.0);  // 1 / (1e-6 * 10)
  EXPECT_EQ(f->ChanKind(3), ChanOff);
}

// Wave marks round trip byte for byte (the other kinds round trip in the
// buffered model); writes of the wrong kind are refused.
TEST(Write, WaveMarksRoundTripAndWrongKindsAreRefused) {
  TempDir dir;
  const std::string path = dir.File("kinds.orfx");
  const std::vector<TSTime64> events = {5, 9, 5000};
  constexpr uint64_t kRows = 5, kCols = 2;
  constexpr size_t kItem = 40;  // a 16-byte head and 10 shorts, padded
  std::vector<uint8_t> marks(3 * kItem, 0);
  for (int i = 0; i < 3; ++i) {
    uint8_t* p = &marks[i * kItem];
    const TSTime64 t = 1000 + i * 100;
    std::memcpy(p, &t, sizeof t);
    p[8] = static_cast<uint8_t>(i);
    for (size_t k = 16; k < 36; ++k) p[k] = static_cast<uint8_t>(i * 31 + k);
  }
  const int16_t shorts[1] = {0};
  const TMarker marker{};
  {
    std::unique_ptr<CKel64File> f = NewKel64File();
    ASSERT_EQ(f->Create(path.c_str(), 32, 0), kOk);
    ASSERT_EQ(f->SetEventChan(0, 10, EventA, 0), kOk);
    ASSERT_EQ(f->SetMarkerChan(1, 10, Marker, 0), kOk);
    ASSERT_EQ(f->SetExtMarkChan(2, 10, WaveMark, kRows, kCols, 0, 4, 2), kOk);
    EXPECT_EQ(f->WriteEvents(0, events.data(), events.size()), kOk);
    EXPECT_EQ(f->ChanBytes(0), 3 * 8);  // the write block's items count before a commit
    EXPECT_EQ(f->WriteExtMarks(2, reinterpret_cast<const TExtMark*>(marks.data()), 3), kOk);
    EXPECT_EQ(f->WriteMarkers(0, &marker, 1), kErrWrongKind);
    EXPECT_EQ(f->WriteWaveS(0, shorts, 1, 10000), kErrWrongKind);
    EXPECT_EQ(f->WriteEvents(1, events.data(), 1), kErrWrongKind);  // markers, not levels
    EXPECT_EQ(f->WriteEvents(9, events.data(), 1), kErrNoChannel);
    EXPECT_TRUE(f->IsModified());
    EXPECT_EQ(f->Commit(0), kOk);
    EXPECT_FALSE(f->IsModified());
    EXPECT_EQ(f->Close(), kOk);
  }
  std::unique_ptr<CKel64File> f = Reopen(path);
  std::vector<uint8_t> got(10 * kItem);
  ASSERT_EQ(f->ReadExtMarks(2, reinterpret_cast<TExtMark*>(got.data()), 10, 0, kMaxTime64, nullptr),
            3);
  EXPECT_EQ(0, std::memcmp(got.data(), marks.data(), marks.size()));
  uint64_t rows = 0, cols = 0;
  EXPECT_EQ(f->GetExtMarkInfo(2, &rows, &cols), 2);
  EXPECT_EQ(rows, kRows);
  EXPECT_EQ(cols, kCols);
  EXPECT_EQ(f->MaxTime(false), 5000);  // the last event
}

// Item times out of order are the equal-times test's.
TEST(Write, SampleTimesStayInTheTickRange) {
  TempDir dir;
  std::unique_ptr<CKel64File> f = NewKel64File();
  ASSERT_EQ(f->Create(dir.File("o.orfx").c_str(), 32, 0), kOk);
  ASSERT_EQ(f->SetWaveChan(1, 10, Adc, 0, 0), kOk);
  const int16_t s[4] = {};
  EXPECT_EQ(f->WriteWaveS(1, s, 4, -10), kErrOutOfRange);
  EXPECT_EQ(f->WriteWaveS(1, s, 4, kMaxTime64 - 30), kErrOutOfRange);
  EXPECT_EQ(f->WriteWaveS(1, s, 4, kMaxTime64 - 40), kMaxTime64);
}

// Items sharing a time are valid data (several events in one clock tick).
// Each kind stores a recording with runs of equal times inside one call,
// across a block boundary and across the 4000-item reads the Neuroshare
// scan makes; each item's codes carry its position, so reads show both the
// contents and the order. Reads from a run's time start at its first item.
TEST(Write, EqualTimesAreStoredInOrderAcrossBlocksAndReads) {
  struct Case {
    chantest::Kind kind;
    size_t perBlock;  // items of one data block
  };
  const Case cases[] = {{{"events", EventA, false}, 8190},
                        {{"markers", Marker, false}, 4095},
                        {{"text marks", TextMark, false}, 65520 / 24}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind.name);
    TempDir dir;
    const std::string path = dir.File("same.orfx");
    const size_t count = 2 * c.perBlock + 50;
    // Item i at time 10 * i, except for runs of equal times: five items at
    // the start, seven across the end of the first block, six across item
    // 4000, and the last eight.
    std::vector<Item> items(count);
    for (size_t i = 0; i < count; ++i) {
      items[i] = {10 * static_cast<TSTime64>(i),
                  c.kind.kind == EventA ? 0 : static_cast<uint32_t>(i), true};
    }
    const size_t runs[] = {0, c.perBlock - 3, 3997, count - 8};
    const size_t lengths[] = {5, 7, 6, 8};
    for (int r = 0; r < 4; ++r) {
      for (size_t k = 1; k < lengths[r]; ++k) items[runs[r] + k].time = items[runs[r]].time;
    }
    const auto part = [&](size_t from, size_t n) {
      return std::vector<Item>(items.begin() + from,
                               items.begin() + from + std::min(n, count - from));
    };
    chantest::Recorder rec(c.kind, path);
    constexpr uint16_t kChan = chantest::Recorder::kChan;
    // Whole contents, and a read from each run's time.
    const auto check = [&](CKel64File& f) {
      EXPECT_TRUE(rec.Read(f, 0, kMaxTime64, static_cast<int>(count) + 1) == items);
      for (size_t from : runs)
        EXPECT_TRUE(rec.Read(f, items[from].time, kMaxTime64, 9) == part(from, 9)) << from;
    };
    rec.Create(0);
    // A time that goes back refuses the whole call; so does a first item
    // at the last stored time.
    EXPECT_EQ(rec.Write({{5, 0, true}, {5, 0, true}, {0, 0, true}}), kErrTimeOrder);
    EXPECT_EQ(rec.File().ChanMaxTime(kChan), -1);
    // The first call ends inside the run across the block boundary, so the
    // next call's first time repeats the last stored one: refused.
    size_t split = c.perBlock - 1;
    ASSERT_EQ(rec.Write(part(0, split)), kOk);
    EXPECT_EQ(rec.Write(part(split, count - split)), kErrTimeOrder);
    EXPECT_EQ(rec.File().ChanMaxTime(kChan), items[split - 1].time);
    rec.Close();
    // Whole calls that each begin after the last stored time.
    rec.Create(0);
    split = c.perBlock + 10;
    ASSERT_EQ(rec.Write(part(0, split)), kOk);
    ASSERT_EQ(rec.Write(part(split, count - split)), kOk);
    check(rec.File());
    TMarker edit{};
    edit.code[0] = 0xEE;
    if (c.kind.kind != EventA) {
      // An edit in the write block, of the last run of equal times.
      EXPECT_EQ(rec.File().EditMarker(kChan, items.back().time, &edit, 9), 1);
      items[count - 8].value = (items[count - 8].value & ~0xFFu) | 0xEE;
      check(rec.File());
    }
    rec.Close();
    check(*Reopen(path));
    if (c.kind.kind == EventA) continue;
    // An edit of a time finds the first item of its run, in an earlier
    // block than the run's end.
    std::unique_ptr<CKel64File> f = chantest::OpenFile(path, 0);
    const size_t first = c.perBlock - 3;
    EXPECT_EQ(f->EditMarker(kChan, items[first].time, &edit, 9), 1);
    items[first].value = (items[first].value & ~0xFFu) | 0xEE;
    EXPECT_TRUE(rec.Read(*f, items[first].time, kMaxTime64, 7) == part(first, 7));
    // No item at the time, or more bytes than an item holds: nothing changes.
    EXPECT_EQ(f->EditMarker(kChan, items[10].time + 1, &edit, 9), 0);
    EXPECT_EQ(f->EditMarker(kChan, items[10].time, &edit, rec.ItemSize() + 1), kErrBadArg);
    EXPECT_TRUE(rec.Read(*f, 0, kMaxTime64, static_cast<int>(count)) == items);
  }
}

// Many blocks, so that the index grows a second level; gaps between
// writes; an overwrite reaching back across a block boundary; continuing
// the channel after the file was reopened for writing.
TEST(Write, LongWaveformWithGapsAndOverwrite) {
  TempDir dir;
  const std::string path = dir.File("long.orfx");
  constexpr TSTime64 kDiv = 2;
  // 300 blocks of 32752 samples need two index levels.
  constexpr int64_t kTotal = 300 * 32752 + 1000;
  std::vector<int16_t> data(kTotal);
  for (int64_t i = 0; i < kTotal; ++i) data[i] = static_cast<int16_t>(i * 7919);
  const int64_t half = kTotal / 2;
  const TSTime64 gapStart = 100 + (half - 1) * kDiv + 1000;  // a gap of 1000 ticks
  {
    std::unique_ptr<CKel64File> f = NewKel64File();
    ASSERT_EQ(f->Create(path.c_str(), 32, 0), kOk);
    ASSERT_EQ(f->SetWaveChan(0, kDiv, Adc, 0, 0), kOk);
    // The first half in uneven pieces, which continue one run.
    int64_t done = 0;
    TSTime64 t = 100;
    for (int64_t piece = 1; done < half; piece = piece * 3 + 1) {
      const int64_t n = std::min<int64_t>(piece, half - done);
      t = f->WriteWaveS(0, data.data() + done, static_cast<uint64_t>(n), t);
      ASSERT_GT(t, 0);
      done += n;
    }
    EXPECT_EQ(f->WriteWaveS(0, data.data() + half, kTotal - half, gapStart),
              gapStart + (kTotal - half) * kDiv);
    EXPECT_EQ(f->Close(), kOk);
  }
  // Reopened for writing: overwrite 40000 samples straddling blocks, then
  // go on past the end (the last 10 overlap stored samples).
  std::vector<int16_t> over(40000);
  for (size_t i = 0; i < over.size(); ++i) over[i] = static_cast<int16_t>(-static_cast<int>(i));
  const int64_t overAt = 50000;  // sample index
  std::vector<int16_t> tail(500, 1234);
  const TSTime64 end = gapStart + (kTotal - half) * kDiv;
  {
    std::unique_ptr<CKel64File> f = NewKel64File();
    ASSERT_EQ(f->Open(path.c_str(), 0, 0), kOk);
    EXPECT_EQ(f->WriteWaveS(0, over.data(), over.size(), 100 + overAt * kDiv),
              100 + (overAt + 40000) * kDiv);
    EXPECT_EQ(f->WriteWaveS(0, tail.data(), tail.size(), end - 10 * kDiv), end + 490 * kDiv);
    EXPECT_EQ(f->Close(), kOk);
  }
  std::copy(over.begin(), over.end(), data.begin() + overAt);
  std::fill(data.end() - 10, data.end(), 1234);
  std::unique_ptr<CKel64File> f = Reopen(path);
  const std::vector<Stretch> s = ReadStretches(*f, 0);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].start, 100);
  EXPECT_EQ(s[1].start, gapStart);
  ASSERT_EQ(static_cast<int64_t>(s[0].samples.size()), half);
  ASSERT_EQ(static_cast<int64_t>(s[1].samples.size()), kTotal - half + 490);
  EXPECT_TRUE(std::equal(s[0].samples.begin(), s[0].samples.end(), data.begin()));
  EXPECT_TRUE(std::equal(data.begin() + half, data.end(), s[1].samples.begin()));
  EXPECT_TRUE(std::all_of(s[1].samples.end() - 490, s[1].samples.end(),
                          [](int16_t v) { return v == 1234; }));
  EXPECT_EQ(f->MaxTime(false), end + 489 * kDiv);
}

}  // namespace
}  // namespace vslk64
