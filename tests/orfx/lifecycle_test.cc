// Channel and file lifecycle in the 64-bit format: emptying a file and
// reusing its blocks, deleting and restoring channels, buffer sizing, and
// what a recording that was killed after a commit leaves readable.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/status.h"
#include "platform/host.h"
#include "tests/orfx/chan_file_util.h"
#include "tests/support/temp_dir.h"

namespace vslk64 {
namespace {

using testing_support::TempDir;

constexpr int kEventsPerBlock = 65520 / 8;
constexpr int kMarkersPerBlock = 65520 / 16;

using chantest::OpenFile;
using chantest::ReadEvents;
using chantest::Times;

std::vector<TMarker> Markers(const std::vector<TSTime64>& times) {
  std::vector<TMarker> m(times.size());
  for (size_t i = 0; i < times.size(); ++i) {
    m[i] = TMarker{};
    m[i].time = times[i];
    m[i].code[0] = static_cast<uint8_t>(i);
  }
  return m;
}

// The length on disk, taken without opening the file: a writer holds it
// unshared, and Windows refuses any other open while it does.
size_t FileLength(const std::string& path) {
  std::error_code error;
  const uintmax_t length = std::filesystem::file_size(path, error);
  EXPECT_FALSE(error) << path << ": " << error.message();
  return error ? 0 : static_cast<size_t>(length);
}

// The new data are fewer, and earlier, than the old: any old block read
// would show times after the new ones.
TEST(Reuse, EmptyFileShowsOnlyNewDataAndReusesTheBlocks) {
  TempDir dir;
  const std::string path = dir.File("e.orfx");
  const std::vector<TSTime64> old = Times(1000000, 10, 5 * kEventsPerBlock + 7);
  const std::vector<TSTime64> fresh = Times(1, 1, kEventsPerBlock + 100);
  size_t fullLength = 0;
  {
    std::unique_ptr<CKel64File> f = NewKel64File();
    ASSERT_EQ(f->Create(path.c_str(), 32, 0), kOk);
    ASSERT_EQ(f->SetEventChan(0, 100.0, EventA, 0), kOk);
    ASSERT_EQ(f->WriteEvents(0, old.data(), old.size()), kOk);
    ASSERT_EQ(f->Commit(0), kOk);
    fullLength = FileLength(path);

    ASSERT_EQ(f->EmptyFile(), kOk);
    EXPECT_EQ(f->MaxTime(false), -1);
    EXPECT_EQ(f->ChanMaxTime(0), -1);
    EXPECT_TRUE(ReadEvents(*f, 0, 0, 10).empty());

    ASSERT_EQ(f->WriteEvents(0, fresh.data(), fresh.size()), kOk);
    EXPECT_EQ(ReadEvents(*f, 0, 0, old.size()), fresh);
    // A search past the new data meets only old blocks, which must not count.
    EXPECT_TRUE(ReadEvents(*f, 0, fresh.back() + 1, old.size()).empty());
    ASSERT_EQ(f->Close(), kOk);
  }
  EXPECT_EQ(FileLength(path), fullLength);  // old blocks were taken again
  std::unique_ptr<CKel64File> r = OpenFile(path, 1);
  EXPECT_EQ(ReadEvents(*r, 0, 0, old.size()), fresh);
  EXPECT_TRUE(ReadEvents(*r, 0, fresh.back() + 1, old.size()).empty());
  EXPECT_EQ(r->MaxTime(true), fresh.back());
}

TEST(Reuse, DeletedChannelRestoresWithItsDataOrGivesItsBlocksToTheNext) {
  TempDir dir;
  const std::string path = dir.File("d.orfx");
  const std::vector<TSTime64> old = Times(500000, 3, 3 * kMarkersPerBlock + 11);
  {
    std::unique_ptr<CKel64File> f = NewKel64File();
    ASSERT_EQ(f->Create(path.c_str(), 32, 0), kOk);
    ASSERT_EQ(f->SetMarkerChan(2, 10.0, Marker, 0), kOk);
    const std::vector<TMarker> m = Markers(old);
    ASSERT_EQ(f->WriteMarkers(2, m.data(), m.size()), kOk);  // the last block only in memory
    EXPECT_EQ(f->ChanUndelete(2, 1), kErrWrongKind);         // a live channel
    ASSERT_EQ(f->ChanDelete(2), kOk);
    EXPECT_EQ(f->ChanKind(2), ChanOff);
    EXPECT_EQ(f->ChanDelete(2), kErrNoChannel);
    EXPECT_EQ(f->GetFreeChan(), 0);
    ASSERT_EQ(f->Close(), kOk);
  }
  {
    // The deletion reached the file; so does the restored channel, with
    // the block that was still in memory when it was deleted.
    std::unique_ptr<CKel64File> f = OpenFile(path, 0);
    EXPECT_EQ(f->ChanUndelete(2, 0), Marker);
    ASSERT_EQ(f->ChanUndelete(2, 1), kOk);
    EXPECT_EQ(f->ChanUndelete(2, 0), ChanOff);
    EXPECT_EQ(chantest::MarkerTimes(*f, 2, old.size()), old);
    ASSERT_EQ(f->Close(), kOk);
    f = OpenFile(path, 1);
    EXPECT_EQ(chantest::MarkerTimes(*f, 2, old.size()), old);
  }
  const size_t lengthBefore = FileLength(path);
  const std::vector<TSTime64> fresh = Times(10, 2, kEventsPerBlock / 2);
  {
    std::unique_ptr<CKel64File> f = OpenFile(path, 0);
    ASSERT_EQ(f->ChanDelete(2), kOk);
    EXPECT_EQ(f->SetEventChan(2, 50.0, EventB, 0), kOk);
    EXPECT_EQ(f->ChanUndelete(2, 0), ChanOff);
    ASSERT_EQ(f->WriteEvents(2, fresh.data(), fresh.size()), kOk);
    EXPECT_EQ(ReadEvents(*f, 2, 0, old.size()), fresh);
    EXPECT_TRUE(ReadEvents(*f, 2, fresh.back() + 1, old.size()).empty());
    ASSERT_EQ(f->Close(), kOk);
  }
  EXPECT_EQ(FileLength(path), lengthBefore);
  std::unique_ptr<CKel64File> r = OpenFile(path, 1);
  EXPECT_EQ(r->ChanKind(2), EventB);
  EXPECT_EQ(ReadEvents(*r, 2, 0, old.size()), fresh);
  EXPECT_TRUE(ReadEvents(*r, 2, fresh.back() + 1, old.size()).empty());
}

TEST(Buffering, SecondsFollowFromBytesAndTheChannelsRates) {
  TempDir dir;
  const std::string path = dir.File("b.orfx");
  std::unique_ptr<CKel64File> f = NewKel64File();
  ASSERT_EQ(f->Create(path.c_str(), 32, 0), kOk);
  ASSERT_EQ(f->SetEventChan(0, 1000.0, EventA, 0), kOk);  // 8000 bytes a second
  ASSERT_EQ(f->SetWaveChan(1, 10, Adc, 0.0, 0), kOk);     // 100 kHz: 200000 bytes a second
  EXPECT_EQ(f->SetBuffering(5, 1000, 1.0), kErrNoChannel);
  // One channel: the smaller of the bytes and the time decides.
  EXPECT_DOUBLE_EQ(f->SetBuffering(1, 100000, 1.0), 0.5);
  EXPECT_DOUBLE_EQ(f->SetBuffering(1, 0, 2.0), 2.0);
  // All channels: 1e6 bytes hold 1e6 / 208000 seconds, which are kept.
  EXPECT_DOUBLE_EQ(f->SetBuffering(-1, 1000000, 10.0), 1000000.0 / 208000);
  EXPECT_DOUBLE_EQ(f->SetBuffering(-1, 10000000, 2.0), 2.0);
  EXPECT_DOUBLE_EQ(f->SetBuffering(1, 0, -1.0), 2.0);  // the kept time
  ASSERT_EQ(f->Commit(4), kOk);                        // sizes every buffer to nothing
  EXPECT_DOUBLE_EQ(f->SetBuffering(1, 0, -1.0), 0.0);
  ASSERT_EQ(f->Close(), kOk);
  f = OpenFile(path, 1);
  EXPECT_DOUBLE_EQ(f->SetBuffering(-1, 1000, 1.0), 0.0);
}

// A recording process killed after a commit: what was committed reads back
// whole, and blocks written after the commit do not make the file unusable.
TEST(Crash, CommittedDataSurviveAKilledWriter) {
  TempDir dir;
  const std::string path = dir.File("c.orfx");
  const std::vector<TSTime64> committed = Times(100, 7, 2 * kEventsPerBlock + 500);
  const std::vector<TSTime64> later = Times(committed.back() + 7, 7, 4 * kEventsPerBlock);
  // The writer is a program of its own (killed_writer.cc) that kills itself
  // after the later writes: SIGKILL, or TerminateProcess on Windows.
  // Channel 0 writes straight through; channel 1 buffers its items and
  // channel 2 its samples: a commit writes out what they hold, and what
  // they move out later goes to blocks after it.
  std::vector<int16_t> samples(3 * 32752);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 13);
  const size_t samplesCommitted = 40000;
  const platform::ProgramRun run =
      platform::RunProgram(NSV_KILLED_WRITER_PATH,
                           {path, std::to_string(committed.size()), std::to_string(later.size())});
  ASSERT_TRUE(run.killed) << "writer exit code " << run.exitCode << "\n" << run.output;

  std::unique_ptr<CKel64File> f = NewKel64File();
  ASSERT_EQ(f->Open(path.c_str(), 1, 0), kOk);
  for (uint16_t chan : {0, 1}) {
    SCOPED_TRACE(chan);
    const std::vector<TSTime64> got = ReadEvents(*f, chan, 0, committed.size() + later.size());
    ASSERT_GE(got.size(), committed.size());
    EXPECT_TRUE(std::equal(committed.begin(), committed.end(), got.begin()));
    // Anything beyond is what the writer appended next, in order.
    EXPECT_TRUE(std::equal(got.begin() + committed.size(), got.end(), later.begin()));
    EXPECT_EQ(f->ChanMaxTime(chan), committed.back());
  }
  std::vector<int16_t> wave(samples.size() + 1);
  TSTime64 first = -1;
  const int n =
      f->ReadWaveS(2, wave.data(), static_cast<int>(wave.size()), 0, kMaxTime64, &first, nullptr);
  ASSERT_GE(n, static_cast<int>(samplesCommitted));
  EXPECT_EQ(first, 0);
  EXPECT_TRUE(std::equal(samples.begin(), samples.begin() + n, wave.begin()));
  f.reset();
  // The file also opens for writing and takes new data after the committed.
  f = OpenFile(path, 0);
  const TSTime64 next[] = {later.back() + 1000};
  EXPECT_EQ(f->WriteEvents(0, next, 1), kOk);
}

}  // namespace
}  // namespace vslk64
